// The log file of process 1: standard output and standard error are pointed at it.
#pragma once

#include <string>
#include <variant>

#include "os_error.hpp"
#include "result.hpp"

namespace logging {

inline constexpr const char* kDefaultLogPath = "/var/log/veskoinit.log";

struct CreateDirectory {
    std::string directory;
    vesko::OsError os;
};
struct Open {
    std::string path;
    vesko::OsError os;
};
// STREAM is "standard error" or "standard output".
struct Redirect {
    const char* stream;
    vesko::OsError os;
};
using Error = std::variant<CreateDirectory, Open, Redirect>;

std::string display(const Error& error);

// VESKO_LOG_PATH when set (even empty), else the default.
std::string log_path();

// Whether this process runs in a container. Never in the machine's initial PID namespace,
// whatever the root holds or the environment says; elsewhere when the environment has
// `container` (podman, LXC and systemd-nspawn set it), /run/.containerenv or /.dockerenv
// exists, or process 1 lacks CAP_SYS_BOOT (no machine's process 1 does; container runtimes
// drop it, and podman sets no marker for a --rootfs container with --read-only).
bool in_container();
// Whether process 1 keeps its log in a file: always on a machine; in a container only when
// VESKO_LOG_PATH is set, for there the runtime collects process 1's output (podman logs) and
// the root may be read-only.
bool log_in_file(bool container);

// Creates the log's directory, opens the log for appending and points descriptors 2 and 1
// at it. Returns the path used.
vesko::Result<std::string, Error> initialize();

}  // namespace logging
