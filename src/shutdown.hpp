// Taking the machine down after a power request: stop everything, deactivate swap, unmount,
// remount / read-only and ask the kernel to reboot or power off (for halt, after asking on
// the console which of the two).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "fd.hpp"
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
// OPERATION is "remount / read-only" or "reboot".
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

// Runs the sequence for REQUEST. Returns only when it cannot finish; on success the kernel
// reboots or powers off. BOOT_CONSOLE is the console process 1 was started with (or no
// descriptor); standard output and error are pointed back at it before / is remounted, so
// that the log file no longer holds / open for writing.
Error execute(PowerRequest request, supervisor::Supervisor& supervisor, const vesko::Fd& boot_console);

}  // namespace shutdown
