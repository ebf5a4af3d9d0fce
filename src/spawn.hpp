// Starting child processes. Every child starts with an empty signal mask and SIGPIPE at its
// default action, and a program that cannot be executed fails the start itself.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>
#include <time.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "os_error.hpp"
#include "result.hpp"

namespace vesko {

// A user to run a child as: the supplementary groups, the group and the user are set in that
// order, real, effective and saved ids alike.
struct Credentials {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
};

struct SpawnOptions {
    // Descriptors to place in the child: {from, to} pairs applied in order with dup2.
    std::vector<std::pair<int, int>> redirects;
    // The environment; null keeps the parent's.
    const std::vector<std::string>* environment = nullptr;
    // Start the child in a session and process group of its own (setsid).
    bool new_session = false;
    // With new_session: make this descriptor of the child (after the redirects), a terminal,
    // its controlling terminal. The child starts without one when the terminal is taken.
    int controlling_terminal = -1;
    // Start the child in a process group of its own within the caller's session, and make
    // that group the foreground of the caller's controlling terminal when it has one (the
    // job control a shell gives the command it runs).
    bool foreground_group = false;
    // Run as this user; null keeps the caller's.
    const Credentials* credentials = nullptr;
    // Every signal at its default action, the ignored ones too (a shell's `&` job has SIGINT
    // and SIGQUIT ignored, which a daemon must not keep).
    bool default_signals = false;
    // After the redirects: change to this directory (null keeps the caller's), set this umask
    // (-1 keeps the caller's) and these resource limits.
    const char* working_directory = nullptr;
    int umask = -1;
    std::vector<std::pair<int, rlimit>> limits;
    // Capabilities (bit N for capability N) the program keeps across the change of user and
    // its exec, as ambient capabilities.
    uint64_t ambient_capabilities = 0;
};

// This process's environment with each NAME set to VALUE (replacing an entry it has), for
// children that must see particular values.
std::vector<std::string> environment_with(const std::vector<std::pair<std::string, std::string>>& settings);

// Starts ARGV[0] (an absolute path; no search path) with ARGV as its arguments. The child
// has only descriptors 0, 1 and 2, an empty signal mask, SIGPIPE and every caught signal at
// the default action, and keeps other ignored signals.
//
// The child is started with clone(CLONE_VM | CLONE_VFORK): the parent's memory is never
// copied and the parent waits only until the program is executed. A program that cannot be
// executed (missing, not executable, not loadable) fails the call with the exec error, which
// the child leaves in memory it shares with the parent. glibc's posix_spawn would do the
// same, but it leaves glibc's two internal signals ignored in every child it starts.
Result<pid_t, OsError> spawn(const std::vector<std::string>& argv, const SpawnOptions& options = {});

// For process 1 while its output is the log relay's pipe: from now on every child gets each
// of its descriptors 1 and 2 that is a pipe as an open file description of its own, blocking
// (opened again through /proc/self/fd), so that a child that makes its output non-blocking
// (libuv and Node programs do) changes no other writer's. Where /proc cannot open it, a pipe
// that is BLOCKING_END's is given BLOCKING_END, a blocking write end of it. -1 turns this off.
void give_children_own_output(int blocking_end);
// The same for this process, a copy of process 1 made with fork that writes on its own.
void take_own_output();

// NAME as a shell finds it: a name without a slash is looked up in PATH (or the usual
// directories when PATH is unset); NAME itself when it has a slash or is not found.
std::string search_path(const std::string& name);

// Bounded waits on the monotonic clock: the point MILLISECONDS from now, whether it has
// passed, and the milliseconds left until it (0 once it has passed).
timespec deadline_after(long milliseconds);
bool passed(const timespec& deadline);
long milliseconds_left(const timespec& deadline);

// Waits until a child of this process changes state or MILLISECONDS pass. For process 1,
// which keeps SIGCHLD blocked: the signal is taken here directly (the caller reaps every
// ended child after it), and no other pending signal is touched.
void wait_for_child(long milliseconds);

// For the boot race: with VESKO_SHUTDOWN_TIMES in the environment (set on the kernel command
// line), a line "veskoinit: time SECONDS STEP" with the monotonic time at which STEP of the
// shutdown ended; nothing without it.
void mark_time(std::string_view step);

}  // namespace vesko
