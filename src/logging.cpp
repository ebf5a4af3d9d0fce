#include "logging.hpp"

#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "fd.hpp"
#include "spawn.hpp"
#include "text.hpp"

namespace logging {

using vesko::fail;
using vesko::shown;

std::string display(const Error& error) {
    return std::visit(
        vesko::Overloaded{
            [](const CreateDirectory& e) { return "cannot create " + shown(e.directory) + ": " + e.os.display(); },
            [](const Open& e) { return "cannot open " + shown(e.path) + ": " + e.os.display(); },
            [](const Redirect& e) { return std::string("cannot redirect ") + e.stream + ": " + e.os.display(); },
            [](const StartRelay& e) { return std::string("cannot start the log relay: ") + e.step + ": " + e.os.display(); },
        },
        error);
}

std::string log_path() {
    const char* value = std::getenv("VESKO_LOG_PATH");
    return value != nullptr ? value : kDefaultLogPath;
}

namespace {

constexpr unsigned kSysBoot = 22;  // CAP_SYS_BOOT

// Whether process 1 lacks CAP_SYS_BOOT: from /proc/1/status, or for process 1 before /proc is
// mounted from the kernel directly; false when neither can tell.
bool process_one_cannot_reboot() {
    auto status = vesko::read_file("/proc/1/status");
    if (status) {
        size_t at = status->find("\nCapEff:\t");
        if (at == std::string::npos) return false;
        uint64_t effective = std::strtoull(status->c_str() + at + 9, nullptr, 16);
        return (effective >> kSysBoot & 1) == 0;
    }
    if (::getpid() != 1) return false;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (::syscall(SYS_capget, &header, data) != 0) return false;
    return (data[0].effective >> kSysBoot & 1) == 0;
}

// Whether this process runs in the machine's initial PID namespace, where no container's
// process 1 is. The kernel gives that namespace a fixed inode number; before /proc is
// mounted, process 1 asks the kernel to keep Ctrl-Alt-Del as a request (which a machine's
// process 1 does anyway): only that namespace's process 1 may, the call is refused in any
// other (EINVAL) and without CAP_SYS_BOOT (EPERM).
bool in_initial_pid_namespace() {
    constexpr ino_t kInitialPidNamespace = 0xEFFFFFFC;  // PROC_PID_INIT_INO
    struct stat info;
    if (::stat("/proc/self/ns/pid", &info) == 0) return info.st_ino == kInitialPidNamespace;
    return ::getpid() == 1 && ::reboot(RB_DISABLE_CAD) == 0;
}

}  // namespace

bool in_container() {
    // The markers stay behind in a root exported from a container and installed on a machine,
    // and container=... on a kernel command line becomes process 1's environment: they only
    // decide for a process 1 that is not the machine's.
    if (in_initial_pid_namespace()) return false;
    return std::getenv("container") != nullptr || ::access("/run/.containerenv", F_OK) == 0 ||
           ::access("/.dockerenv", F_OK) == 0 || process_one_cannot_reboot();
}

bool log_in_file(bool container) { return !container || std::getenv("VESKO_LOG_PATH") != nullptr; }

vesko::Result<std::string, Error> initialize() {
    std::string path = log_path();
    std::optional<std::string> parent = vesko::parent_path(path);
    if (parent && !parent->empty()) {
        auto created = vesko::create_directories(*parent, 0777);
        if (!created) return fail(Error{CreateDirectory{*parent, created.error()}});
    }
    auto log = vesko::open_fd(path, O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (!log) return fail(Error{Open{path, log.error()}});
    if (!vesko::duplicate_onto(log->get(), STDERR_FILENO)) {
        return fail(Error{Redirect{"standard error", vesko::last_os_error()}});
    }
    if (!vesko::duplicate_onto(log->get(), STDOUT_FILENO)) {
        return fail(Error{Redirect{"standard output", vesko::last_os_error()}});
    }
    return path;
}

namespace {

constexpr size_t kPipeSize = 1 << 20;  // what waits while the relay is restarted or slow

// Points descriptors 1 and 2 of this process at the log file PATH names, when it no longer
// names the file they hold (renamed or removed by a rotation). When it cannot be opened the
// held file keeps taking the lines.
void follow_rotation(const std::string& path) {
    struct stat held, named;
    if (::fstat(STDOUT_FILENO, &held) != 0) return;
    if (::stat(path.c_str(), &named) == 0 && named.st_dev == held.st_dev && named.st_ino == held.st_ino) return;
    auto reopened = vesko::open_fd(path, O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (!reopened) return;
    (void)vesko::duplicate_onto(reopened->get(), STDOUT_FILENO);
    (void)vesko::duplicate_onto(reopened->get(), STDERR_FILENO);
}

volatile sig_atomic_t relay_told_to_stop = 0;
void tell_relay_to_stop(int) { relay_told_to_stop = 1; }

}  // namespace

vesko::Result<Relay, Error> Relay::start(const std::string& path) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return fail(Error{StartRelay{"pipe2", vesko::last_os_error()}});
    Relay relay;
    relay.path_ = path;
    relay.read_end_ = vesko::Fd(ends[0]);
    relay.write_end_ = vesko::Fd(ends[1]);
    // A larger pipe is a convenience: the kernel's limit for it may be lower.
    (void)::fcntl(relay.write_end_.get(), F_SETPIPE_SZ, static_cast<int>(kPipeSize));
    if (auto spawned = relay.spawn(); !spawned) return fail(std::move(spawned.error()));
    for (int stream : {STDOUT_FILENO, STDERR_FILENO}) {
        if (!vesko::duplicate_onto(relay.write_end_.get(), stream)) {
            auto failure = vesko::last_os_error();
            relay.stop();
            return fail(Error{StartRelay{"dup2", failure}});
        }
    }
    return relay;
}

vesko::Result<void, Error> Relay::spawn() {
    auto log = vesko::open_fd(path_, O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (!log) return fail(Error{Open{path_, log.error()}});
    auto self = vesko::own_executable();
    vesko::SpawnOptions options;
    options.redirects = {{read_end_.get(), STDIN_FILENO}, {log->get(), STDOUT_FILENO}, {log->get(), STDERR_FILENO}};
    auto pid = vesko::spawn({self ? *self : "/proc/self/exe", kRelay}, options);
    if (!pid) return fail(Error{StartRelay{"spawn", pid.error()}});
    pid_ = *pid;
    // Without a process descriptor the relay runs all the same; process 1 only cannot tell
    // when it ends.
    process_ = vesko::Fd(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
    return {};
}

vesko::Result<int, Error> Relay::restart() {
    siginfo_t info{};
    int status = -1;
    if (process_.valid() && ::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(process_.get()), &info,
                                     WEXITED | WNOHANG) == 0 && info.si_pid != 0) {
        status = info.si_code == CLD_EXITED ? info.si_status << 8 : info.si_status | (info.si_code == CLD_DUMPED ? 0x80 : 0);
    }
    process_.reset();
    pid_ = -1;
    if (auto spawned = spawn(); !spawned) return fail(std::move(spawned.error()));
    return status;
}

void Relay::stop() {
    if (pid_ > 0) {
        (void)::kill(pid_, SIGTERM);
        for (int signal : {SIGTERM, SIGKILL}) {
            if (signal == SIGKILL) (void)::kill(pid_, SIGKILL);
            pollfd ended{process_.get(), POLLIN, 0};
            int ready;
            while ((ready = ::poll(&ended, 1, process_.valid() ? 2000 : 100)) < 0 && errno == EINTR) {
            }
            if (ready > 0) break;
        }
        siginfo_t info{};
        if (process_.valid()) {
            (void)::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(process_.get()), &info, WEXITED | WNOHANG);
        }
        process_.reset();
        pid_ = -1;
    }
    // Straight into the file from now on; the null device when it cannot be opened, for a
    // pipe that nobody reads would stop process 1 once it is full.
    auto log = vesko::open_fd(path_, O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (!log) log = vesko::open_fd("/dev/null", O_WRONLY);
    if (log) {
        (void)vesko::duplicate_onto(log->get(), STDOUT_FILENO);
        (void)vesko::duplicate_onto(log->get(), STDERR_FILENO);
    }
    drain();
}

void Relay::drain() {
    if (!read_end_.valid()) return;
    int flags = ::fcntl(read_end_.get(), F_GETFL);
    if (flags < 0 || ::fcntl(read_end_.get(), F_SETFL, flags | O_NONBLOCK) != 0) return;
    char buffer[16384];
    for (;;) {
        ssize_t n = ::read(read_end_.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        if (!vesko::write_all(STDERR_FILENO, std::string_view(buffer, static_cast<size_t>(n)))) return;
    }
}

int relay_main() {
    std::string path = log_path();
    // SIGTERM is taken only while the relay waits for the pipe, so that it is never lost
    // between a check and the wait.
    sigset_t term, waiting;
    if (sigemptyset(&term) != 0 || sigaddset(&term, SIGTERM) != 0 || sigemptyset(&waiting) != 0 ||
        sigprocmask(SIG_BLOCK, &term, nullptr) != 0) {
        return 1;
    }
    struct sigaction action {};
    action.sa_handler = tell_relay_to_stop;
    if (sigaction(SIGTERM, &action, nullptr) != 0) return 1;
    char buffer[65536];
    for (;;) {
        if (relay_told_to_stop) {
            // What the pipe holds now, and no more.
            int flags = ::fcntl(STDIN_FILENO, F_GETFL);
            if (flags < 0 || ::fcntl(STDIN_FILENO, F_SETFL, flags | O_NONBLOCK) != 0) return 1;
        } else {
            pollfd input{STDIN_FILENO, POLLIN, 0};
            if (::ppoll(&input, 1, nullptr, &waiting) < 0) continue;
        }
        ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n == 0) return 0;
        if (n < 0) {
            if (errno == EAGAIN && relay_told_to_stop) return 0;
            if (errno == EINTR || errno == EAGAIN) continue;
            return 1;
        }
        follow_rotation(path);
        // A line that cannot be written (a full disk) is dropped, as a direct write's would be.
        (void)vesko::write_all(STDOUT_FILENO, std::string_view(buffer, static_cast<size_t>(n)));
    }
}

}  // namespace logging
