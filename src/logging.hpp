// The log file of process 1: standard output and standard error are pointed at it, and
// through the log relay once that runs.
#pragma once

#include <sys/types.h>

#include <string>
#include <variant>

#include "fd.hpp"
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
// STEP is the system call that failed.
struct StartRelay {
    const char* step;
    vesko::OsError os;
};
using Error = std::variant<CreateDirectory, Open, Redirect, StartRelay>;

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

// The first argument of the relay process (this executable).
inline constexpr const char* kRelay = "--vesko-log-relay";

// The log relay: process 1 and every process it starts write into one pipe, and a process
// of this executable appends what comes out of it to the log file. Before each write the
// relay checks that the path still names the file it holds, and opens (creating) the path
// again when it does not, so that a rotation that renames or removes the log loses nothing,
// doubles nothing and needs no signal: the next line lands in the new file. One pipe keeps
// the order in which the lines were written.
class Relay {
public:
    // Starts the relay on the log at PATH and points standard output and error at the pipe.
    // On failure nothing has changed (the log file stays process 1's output).
    static vesko::Result<Relay, Error> start(const std::string& path);
    // Readable when the relay has ended (a process descriptor; -1 when none could be had).
    int ended_descriptor() const { return process_.get(); }
    // Collects the ended relay (when the reaping of orphans has not) and starts another on
    // the same pipe: what was written meanwhile waits in it. Returns the old one's status
    // as waitid(2) gives it, or -1 when it was already collected.
    vesko::Result<int, Error> restart();
    // For the shutdown, before every remaining process is signalled: the relay writes out
    // what the pipe holds and ends, process 1 writes to the file directly from then on, and
    // drain() takes what the last processes still write into the pipe.
    void stop();
    void drain();

private:
    vesko::Result<void, Error> spawn();

    std::string path_;
    vesko::Fd read_end_, write_end_, process_;
    pid_t pid_ = -1;
};

// The relay process: standard input is the pipe, standard output the log file.
int relay_main();

}  // namespace logging
