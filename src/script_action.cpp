#include "script_action.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "daemons.hpp"
#include "fd.hpp"
#include "runner.hpp"
#include "spawn.hpp"
#include "text.hpp"

namespace admin {

using vesko::fail;
using vesko::Result;

namespace {

// The executable as installed: after an upgrade, the new one.
Result<std::string, Error> self_executable() {
    auto path = vesko::own_executable();
    if (path) return std::move(*path);
    if (path.error().code == ENOENT) {
        return fail(Error{LocateExecutable{vesko::fixed_error("no /proc/self/exe available. Is /proc mounted?")}});
    }
    return fail(Error{LocateExecutable{path.error()}});
}

// The time limit of an action that process 1 runs, taken when it starts; none for anyone
// else (a user at a terminal can interrupt what vesko-service runs).
struct Limit {
    long seconds = 0;
    std::optional<timespec> deadline;

    static Limit now() {
        if (getpid() != 1) return {};
        const char* value = std::getenv("VESKO_TEST_ACTION_TIMEOUT");
        std::optional<uint64_t> given = vesko::parse_unsigned(value != nullptr ? value : "", 24 * 3600);
        return of(given && *given > 0 ? static_cast<long>(*given) : kActionTimeoutSeconds);
    }
    static Limit of(long seconds) { return {seconds, vesko::deadline_after(seconds * 1000)}; }
};

// Kills every process of the session SESSION (the id of its leader, which has ended): what
// made a process group of its own in it (`timeout`, a job-control subshell) as well. The
// session's id cannot go to a new process while any process of it lives; the one process
// whose pid it could then be, a new session's leader, is passed over. A few rounds catch
// what forked while the first was read.
void kill_session(pid_t session) {
    for (int round = 0; round < 5; ++round) {
        std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir("/proc"), ::closedir);
        if (!listing) return;
        bool found = false;
        while (const dirent* entry = ::readdir(listing.get())) {
            std::optional<uint64_t> pid = vesko::parse_unsigned(entry->d_name, INT32_MAX);
            if (!pid || entry->d_name[0] == '+' || static_cast<pid_t>(*pid) == session) continue;
            // Held before its session is read, so that a pid reused meanwhile is not hit.
            vesko::Fd process(static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(*pid), 0)));
            if (!process.valid() && errno != ENOSYS) continue;
            auto seen = daemons::read_process(static_cast<pid_t>(*pid));
            if (!seen || seen->state == 'Z' || seen->session != session) continue;
            found = (process.valid() ? ::syscall(SYS_pidfd_send_signal, process.get(), SIGKILL, nullptr, 0)
                                     : ::kill(static_cast<pid_t>(*pid), SIGKILL)) == 0 ||
                    found;
        }
        if (!found) return;
    }
}

// Kills CHILD, an action's runner, with everything of GROUP (its session, when it has one).
void kill_action(pid_t child, pid_t group) {
    if (group > 0) (void)::kill(-group, SIGKILL);
    (void)::kill(child, SIGKILL);
    if (group > 0) kill_session(group);
}

// Waits for CHILD, an action's runner; other children that end meanwhile go to OTHER when
// there is one. With a DEADLINE, a child still running then is killed with everything of
// GROUP (its session, when it has one of its own), waited for a few seconds more (a process
// stuck in the kernel is left to the event loop's reaping), and the result is nullopt.
Result<std::optional<int>, vesko::OsError> wait_for(pid_t child, pid_t group, const OtherChild& other,
                                                    std::optional<timespec> deadline = std::nullopt) {
    bool killed = false;
    for (;;) {
        int status = 0;
        pid_t ended = ::waitpid(other ? -1 : child, &status, deadline ? WNOHANG : 0);
        if (ended < 0) {
            if (errno == EINTR) continue;
            return fail(vesko::last_os_error());
        }
        if (ended == child) {
            if (killed) return std::optional<int>();
            return std::optional<int>(status);
        }
        if (ended > 0) {
            other(ended, status);
            continue;
        }
        if (vesko::passed(*deadline)) {
            if (killed) return std::optional<int>();
            kill_action(child, group);
            killed = true;
            deadline = vesko::deadline_after(5000);
        }
        vesko::wait_for_child(vesko::milliseconds_left(*deadline));
    }
}

std::string status_text(int status) {
    return WIFEXITED(status) ? std::to_string(WEXITSTATUS(status)) : std::string("signal");
}

// How ACTION of NAME ended, as wait_for reports it under LIMIT: success, or why not. The
// runner reports a shell killed by a signal as status 1; a runner killed by one (an action
// that ends its parent) has failed with "signal".
Result<void, Error> judge(const std::string& action, const std::string& name, const std::optional<int>& status,
                          const Limit& limit) {
    if (!status) return fail(Error{ActionTimedOut{action, name, limit.seconds}});
    if (!WIFEXITED(*status) || WEXITSTATUS(*status) != 0) return fail(Error{ActionFailed{action, name, status_text(*status)}});
    return {};
}

// An action's runner and the process group it runs in.
struct Runner {
    pid_t pid = 0;
    pid_t group = 0;
};

// Starts ACTION of the script at PATH with the given standard streams, through a runner that
// stands between the caller and the script's shell, as vesko-run does: an action that
// signals or kills its parent ($PPID) reaches the runner, never the caller (for process 1, a
// request), and the caller reports the action as failed. The runner is a copy of the caller
// made with fork, which saves an executable's start per action.
Result<Runner, Error> start_runner(const Directories& directories, const std::string& name, const std::string& path,
                                   const std::string& action, std::vector<std::pair<int, int>> redirects) {
    // The shell gets this executable (VESKO_HELPER), so it must be found.
    auto executable = self_executable();
    if (!executable) return fail(std::move(executable.error()));
    int errors = STDERR_FILENO, output = STDOUT_FILENO;
    for (const auto& [from, to] : redirects) {
        if (to == STDERR_FILENO) errors = from;
        if (to == STDOUT_FILENO) output = from;
    }
    std::vector<std::string> environment = runner::shell_environment(
        *executable, {{"VESKO_SERVICE_DIR", directories.service_dir}, {"VESKO_ENABLED_DIR", directories.enabled_dir}});
    Runner started;
    vesko::SpawnOptions options;
    options.environment = &environment;
    options.redirects = std::move(redirects);
    // From vesko-service the action stays in the caller's process group, where the terminal's
    // Ctrl-C reaches it.
    bool own_session = getpid() == 1;
    pid_t runner = ::fork();
    if (runner < 0) return fail(Error{RunAction{action, name, vesko::last_os_error()}});
    if (runner == 0) {
        // Process 1's runner leads a session of its own, so that a `kill 0` in a script never
        // reaches process 1; it opens no terminal, so that none that the shell opens becomes
        // the session's controlling terminal, and keeps process 1's blocked signals blocked:
        // a script's SIGTERM or SIGINT to its parent does nothing. The runner ends with the
        // shell's status, 1 for a shell killed by a signal, as vesko-run does.
        if (own_session && ::setsid() < 0) ::_exit(1);
        vesko::take_own_output();
        // The metadata of a script with an LSB header is its header's records: the runner
        // writes them itself, which spares a shell's start that would only print them.
        if (action == "metadata") {
            if (std::optional<std::string> records = runner::lsb_metadata(path)) {
                ::_exit(vesko::write_all(output, *records) ? 0 : 1);
            }
        }
        std::vector<std::string> command = runner::shell_command(path, action, name);
        auto shell = vesko::spawn(command, options);
        if (!shell) {
            (void)vesko::write_all(errors, runner::cannot_execute(command[0], shell.error()));
            ::_exit(1);
        }
        int status = 0;
        while (::waitpid(*shell, &status, 0) < 0) {
            if (errno != EINTR) ::_exit(1);
        }
        ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
    }
    started.pid = runner;
    started.group = own_session ? runner : 0;
    return started;
}

// Metadata output beyond this is refused: process 1 reads it, and no script declares that much.
constexpr size_t kMaxMetadataOutput = 1 << 20;
constexpr long kDrainIntervalMs = 100;

}  // namespace

Result<std::string, Error> query_metadata(const Directories& directories, const std::string& name,
                                          const std::string& path, const OtherChild& other,
                                          std::optional<long> seconds) {
    auto failed = [&](vesko::OsError os) { return fail(Error{RunAction{"metadata", name, os}}); };
    auto null = vesko::open_fd("/dev/null", O_RDWR);
    if (!null) return failed(null.error());
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return failed(vesko::last_os_error());
    vesko::Fd reader(ends[0]), writer(ends[1]);
    if (::fcntl(reader.get(), F_SETFL, O_NONBLOCK) != 0) return failed(vesko::last_os_error());
    // A pipe that holds more than any accepted output: the child never waits for it, and its
    // output is read once it has ended instead of at every line it writes. Where the pipe
    // cannot grow, it is read as it fills.
    bool roomy = ::fcntl(reader.get(), F_SETPIPE_SZ, static_cast<int>(kMaxMetadataOutput + 1)) > 0;
    Limit limit = seconds ? Limit::of(*seconds) : Limit::now();
    auto child = start_runner(directories, name, path, "metadata",
                              {{null->get(), STDIN_FILENO}, {writer.get(), STDOUT_FILENO}, {null->get(), STDERR_FILENO}});
    if (!child) return fail(std::move(child.error()));
    writer.reset();
    vesko::Fd ended(static_cast<int>(::syscall(SYS_pidfd_open, child->pid, 0)));
    roomy = roomy && ended.valid();
    std::string output;
    bool too_long = false, child_ended = false;
    // Reads what the pipe holds; false at its end (every writer gone) or on an error.
    auto drain = [&] {
        for (;;) {
            char buffer[16384];
            ssize_t n = ::read(reader.get(), buffer, sizeof buffer);
            if (n > 0) {
                if (output.size() + static_cast<size_t>(n) > kMaxMetadataOutput) too_long = true;
                if (!too_long) output.append(buffer, static_cast<size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            return n < 0 && errno == EAGAIN;
        }
    };
    for (;;) {
        // Once the child has ended, what the pipe holds is taken and the reading stops, even
        // if a daemon that the script's top level left still holds the pipe.
        if (!drain() || child_ended) break;
        if (too_long) {
            // Refused already: the rest is not waited for.
            kill_action(child->pid, child->group);
            break;
        }
        long left = limit.deadline ? vesko::milliseconds_left(*limit.deadline) : -1;
        // A roomy pipe is only emptied now and then, for a child that writes too much.
        long wait = roomy ? (left < 0 ? kDrainIntervalMs : std::min(left, kDrainIntervalMs)) : left;
        pollfd fds[2] = {{reader.get(), static_cast<short>(roomy ? 0 : POLLIN), 0},
                         {ended.valid() ? ended.get() : -1, POLLIN, 0}};
        int ready = ::poll(fds, 2, static_cast<int>(wait));
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (ready == 0 && limit.deadline && vesko::passed(*limit.deadline)) break;  // wait_for ends the child
        if (fds[1].revents != 0) child_ended = true;
    }
    auto status = wait_for(child->pid, child->group, other, limit.deadline);
    if (!status) return failed(status.error());
    if (too_long) return fail(Error{InvalidMetadata{name, "metadata output is larger than 1 MiB"}});
    auto judged = judge("metadata", name, *status, limit);
    if (!judged) return fail(std::move(judged.error()));
    return output;
}

Result<void, Error> run_action(const Directories& directories, const std::string& name, const std::string& action,
                               bool quiet, const OtherChild& other) {
    auto path = service_path(directories, name);
    if (!path) return fail(std::move(path.error()));
    vesko::Fd null;
    std::vector<std::pair<int, int>> redirects;
    if (quiet) {
        auto opened = vesko::open_fd("/dev/null", O_WRONLY);
        if (!opened) return fail(Error{RunAction{action, name, opened.error()}});
        null = std::move(*opened);
        redirects.emplace_back(null.get(), STDOUT_FILENO);
    }
    Limit limit = Limit::now();
    auto child = start_runner(directories, name, *path, action, std::move(redirects));
    if (!child) return fail(std::move(child.error()));
    auto status = wait_for(child->pid, child->group, other, limit.deadline);
    if (!status) return fail(Error{RunAction{action, name, status.error()}});
    return judge(action, name, *status, limit);
}

}  // namespace admin
