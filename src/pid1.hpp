// The life of process 1: the boot sequence, the event loop and the power requests.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "logging.hpp"
#include "mounts.hpp"
#include "os_error.hpp"
#include "service.hpp"
#include "shutdown.hpp"
#include "supervisor.hpp"

namespace pid1 {

struct LoggingSetup {
    logging::Error error;
};
struct FilesystemSetup {
    mounts::Error error;
};
struct ServiceConfiguration {
    service::Error error;
};
struct ServiceSupervision {
    supervisor::Error error;
};
struct ShutdownFailed {
    shutdown::Error error;
};
// OPERATION is one of "sigemptyset", "sigaddset", "sigdelset", "pthread_sigmask", "signalfd",
// "poll" and "read(signalfd)".
struct System {
    const char* operation;
    vesko::OsError os;
};
struct ShortSignalRecord {
    size_t expected;
    size_t got;
};

// How the life of process 1 can end.
using Error = std::variant<LoggingSetup, FilesystemSetup, ServiceConfiguration,
                           ServiceSupervision, ShutdownFailed, System, ShortSignalRecord>;

std::string display(const Error& error);

inline constexpr const char* kFstabPath = "/etc/fstab";
inline constexpr const char* kServiceDirectory = "/etc/veskoinit/services";
inline constexpr size_t kSignalRecordSize = 128;
// The event loop's pause after a pass that reaped adopted children.
inline constexpr long kOrphanPauseNs = 1000000;

// Adds the enabled units to CATALOG as direct services, at boot and at a reload: says on
// standard error how many and which were passed over and why, and returns those lines
// (without "veskoinit: ").
std::vector<std::string> add_units(service::Catalog& catalog);

// What a signal read from the signal descriptor asks for.
enum class Action { Reap, Reboot, PowerOff, Halt, Ignore };
Action action_for(unsigned signal);
// The line printed for a power request, without "veskoinit: " and the newline.
const char* request_line(Action action);

// Whether this process runs in a container. Never in the machine's initial PID namespace,
// whatever the root holds or the environment says; elsewhere when the environment has
// `container` (podman, LXC and systemd-nspawn set it), /run/.containerenv or /.dockerenv
// exists, or process 1 lacks CAP_SYS_BOOT (no machine's process 1 does; container runtimes
// drop it, and podman sets no marker for a --rootfs container with --read-only).
bool in_container();

// How process 1 was started: the main program of `veskoinit -- COMMAND ARG...` (empty for
// none), and whether it is the process 1 of a container (in_container).
struct Start {
    std::vector<std::string> main_program;
    bool container = false;
};

// Boots and supervises the machine; returns only on failure, or in a container with the exit
// status of process 1: the main program's (its exit code, or 128 + the signal that ended it,
// a stop's included) when there is one, else 0 after a requested stop.
vesko::Result<int, Error> run(const Start& start);

// The last stage of a shutdown, in the image that the shutdown started over process 1 (see
// shutdown::execute); returns only on failure.
Error finish_shutdown(const shutdown::FinalStage& stage);

// Reports REASON as the fatal line (on the console too, once standard error is the log).
void report_fatal(const std::string& reason);

// Process 1 must not exit, even after a fatal error: this reports REASON as the fatal line (on
// the console too, once standard error is the log), hands Ctrl-Alt-Del back to the kernel (an
// immediate reboot, the only way left to restart the machine), syncs and sleeps for ever.
[[noreturn]] void park_forever(const std::string& reason);

}  // namespace pid1
