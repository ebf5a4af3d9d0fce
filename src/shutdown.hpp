// Taking the machine down after a power request: stop everything, deactivate swap, unmount,
// remount / read-only and ask the kernel to reboot or power off (for halt, after asking on
// the console which of the two).
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "fd.hpp"
#include "logging.hpp"
#include "os_error.hpp"
#include "result.hpp"
#include "supervisor.hpp"

namespace shutdown {

enum class PowerRequest { Reboot, PowerOff, Halt };

// Opening the console, setting its mode, writing the prompt or reading a key failed.
struct Console {
    vesko::OsError os;
};
struct ReadMountinfo {
    vesko::OsError os;
};
struct MalformedMountinfo {
    size_t line;
};
// OPERATION is "reboot".
struct System {
    const char* operation;
    vesko::OsError os;
};
// The sequence was called in a process other than process 1 and touched nothing.
struct NotProcessOne {};

using Error = std::variant<Console, ReadMountinfo, MalformedMountinfo, System, NotProcessOne>;

std::string display(const Error& error);

inline constexpr const char* kMountinfo = "/proc/self/mountinfo";

// One line of the kernel's mount table.
struct MountPoint {
    std::string path;  // decoded; may hold a NUL byte, which the unmount step refuses
    uint64_t id = 0;
    size_t line = 0;

    bool operator==(const MountPoint&) const = default;
};

// Parses /proc/self/mountinfo; the first bad line is a MalformedMountinfo error.
vesko::Result<std::vector<MountPoint>, Error> parse_mountinfo(std::string_view text);

// Deepest mount points first, the newest mount first among equal depths; stable.
void sort_for_unmount(std::vector<MountPoint>& points);

// The swap paths of /proc/swaps, last listed first, as written (escapes not decoded).
std::vector<std::string> swaps_last_first(std::string_view text);

// The part of the sequence that stops what runs: the direct services (the main program
// first), the script services in reverse start order, then every other process (SIGTERM,
// up to 5 s, SIGKILL). All that a container's process 1 does before it exits. RELAY, when
// the log has one, is ended before the last step, which it would not outlive. The script
// services that the boot passed over (PASSED_OVER) are stopped only when they run.
vesko::Result<void, Error> stop_processes(supervisor::Supervisor& supervisor, logging::Relay* relay,
                                          const std::set<std::string>& passed_over = {});

// Runs the sequence for REQUEST. Returns only when it cannot finish; on success the kernel
// reboots or powers off. BOOT_CONSOLE is the console process 1 was started with (or no
// descriptor); standard output and error are pointed back at it before / is remounted, so
// that the log file no longer holds / open for writing.
//
// When the executable has been replaced since it started (a package upgrade renames the new
// one over it), the deleted file that process 1 still maps would keep / from becoming
// read-only. So once the services and every other process are gone, process 1 executes the
// installed executable with kFinalStage and the arguments of final_stage_arguments, and that
// image runs the rest of the sequence (finish).
Error execute(PowerRequest request, supervisor::Supervisor& supervisor, logging::Relay* relay,
              const vesko::Fd& boot_console, const std::set<std::string>& passed_over = {});

// The first argument of the final stage, and what follows it: the request and the two
// consoles' descriptors, which stay open across the exec (-1 for none).
inline constexpr const char* kFinalStage = "--vesko-final-stage";
struct FinalStage {
    PowerRequest request = PowerRequest::Reboot;
    int boot_console = -1;
    int halt_console = -1;

    bool operator==(const FinalStage&) const = default;
};
std::vector<std::string> final_stage_arguments(const FinalStage& stage);
// The stage from the arguments after kFinalStage; nullopt when they are not what
// final_stage_arguments writes.
std::optional<FinalStage> parse_final_stage(const std::vector<std::string>& arguments);
// The stage for arguments that do not parse (another version's format): the shutdown is
// finished all the same, without consoles, for the request that the first argument names
// (a halt, with no console to ask on, powers off) or else a reboot.
FinalStage fallback_final_stage(const std::vector<std::string>& arguments);

// The rest of the sequence from swap on, in the image that execute started: swap, unmounts,
// the read-only remount and the reboot call. Takes over the descriptors (the boot console is
// BOOT_CONSOLE's, which the caller keeps).
Error finish(PowerRequest request, const vesko::Fd& boot_console, vesko::Fd halt_console);

}  // namespace shutdown
