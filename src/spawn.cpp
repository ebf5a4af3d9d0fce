#include "spawn.hpp"

#include <linux/capability.h>
#include <linux/close_range.h>
#include <sys/prctl.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "fd.hpp"

extern char** environ;

namespace vesko {

namespace {

// The kernel's view of signals: raw system calls reach every signal, including the two that
// glibc reserves and refuses to touch through its own wrappers.
constexpr int kSignalCount = 64;
constexpr size_t kKernelSigsetSize = 8;

struct KernelSigaction {
    void (*handler)(int);
    unsigned long flags;
    void (*restorer)();
    uint64_t mask;
};

bool raw_sigmask(int how, const uint64_t* set, uint64_t* old) {
    return syscall(SYS_rt_sigprocmask, how, set, old, kKernelSigsetSize) == 0;
}

struct ChildContext {
    const char* path;
    char* const* argv;
    char* const* envp;
    const SpawnOptions* options;
    int error;  // set by the child when it cannot execute the program
};

// Ends the child after a failure, which it has left in the shared context. A plain system
// call: _exit is a no-return call that AddressSanitizer would try to unwind on this stack.
void exit_child() { syscall(SYS_exit_group, 127); }

// Marks every descriptor from 3 up close-on-exec, with system calls only (it runs in the
// child). close_range takes CLOSE_RANGE_CLOEXEC from Linux 5.11 on; before (Debian 11 runs
// 5.10) the descriptors that /proc/self/fd lists are marked one by one, and without /proc
// every number below the limit on open files.
void mark_close_on_exec_from_3() {
    if (syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
    int listing = static_cast<int>(syscall(SYS_openat, AT_FDCWD, "/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (listing >= 0) {
        struct Entry {
            uint64_t inode;
            int64_t offset;
            unsigned short length;
            unsigned char type;
            char name[1];
        };
        alignas(8) char buffer[2048];
        long got;
        while ((got = syscall(SYS_getdents64, listing, buffer, sizeof buffer)) > 0) {
            for (long at = 0; at < got;) {
                const auto* entry = reinterpret_cast<const Entry*>(buffer + at);
                at += entry->length;
                long fd = 0;
                const char* digit = entry->name;
                for (; *digit >= '0' && *digit <= '9' && fd < INT32_MAX / 10; ++digit) fd = fd * 10 + (*digit - '0');
                if (*digit == '\0' && digit != entry->name && fd >= 3 && fd != listing) {
                    syscall(SYS_fcntl, static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
                }
            }
        }
        syscall(SYS_close, listing);
        if (got == 0) return;
    }
    struct rlimit files {};
    if (syscall(SYS_prlimit64, 0, RLIMIT_NOFILE, nullptr, &files) != 0) return;
    rlim_t end = files.rlim_cur < static_cast<rlim_t>(INT32_MAX) ? files.rlim_cur : INT32_MAX;
    for (rlim_t fd = 3; fd < end; ++fd) syscall(SYS_fcntl, static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
}

// Set by give_children_own_output: -1 off, else the blocking write end.
int own_output_fallback = -1;

// Makes descriptor FD of the child, when it is a pipe, an open file description of its own,
// blocking. Opened without blocking first, so that a named FIFO without a reader fails
// instead of holding the child (and the parent, which waits for the exec).
void own_output(int fd) {
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISFIFO(info.st_mode)) return;
    char path[] = "/proc/self/fd/N";
    path[sizeof path - 2] = static_cast<char>('0' + fd);
    int own = static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    if (own >= 0) {
        if (syscall(SYS_fcntl, own, F_SETFL, 0) == 0) (void)dup2(own, fd);
        syscall(SYS_close, own);
        return;
    }
    struct stat kept;
    if (fstat(own_output_fallback, &kept) == 0 && kept.st_dev == info.st_dev && kept.st_ino == info.st_ino) {
        (void)dup2(own_output_fallback, fd);
    }
}

// In the child, after its descriptors: its directory, umask and limits, then its user with the
// ambient capabilities it keeps.
void take_settings(ChildContext* context) {
    const SpawnOptions& options = *context->options;
    auto check = [context](bool ok) {
        if (ok) return;
        context->error = errno;
        exit_child();
    };
    if (options.working_directory != nullptr) check(syscall(SYS_chdir, options.working_directory) == 0);
    if (options.umask >= 0) (void)syscall(SYS_umask, options.umask);
    for (const auto& [resource, limit] : options.limits) {
        check(syscall(SYS_prlimit64, 0, resource, &limit, nullptr) == 0);
    }
    const uint64_t ambient = options.ambient_capabilities;
    // Permitted capabilities survive the change of user only when asked to.
    if (ambient != 0 && options.credentials != nullptr) check(syscall(SYS_prctl, PR_SET_KEEPCAPS, 1, 0, 0, 0) == 0);
    if (const Credentials* user = options.credentials) {
        check(syscall(SYS_setgroups, user->groups.size(), user->groups.data()) == 0 &&
              syscall(SYS_setresgid, user->gid, user->gid, user->gid) == 0 &&
              syscall(SYS_setresuid, user->uid, user->uid, user->uid) == 0);
    }
    if (ambient != 0) {
        // An ambient capability must be permitted and inheritable; another user keeps only
        // those, root keeps what it has.
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2]{};
        check(syscall(SYS_capget, &header, data) == 0);
        bool other_user = options.credentials != nullptr && options.credentials->uid != 0;
        for (int i = 0; i < 2; ++i) {
            auto part = static_cast<uint32_t>(ambient >> (32 * i));
            data[i].inheritable |= part;
            if (other_user) data[i].permitted = data[i].effective = part;
        }
        check(syscall(SYS_capset, &header, data) == 0);
        for (int capability = 0; capability < 64; ++capability) {
            if ((ambient >> capability & 1) == 0) continue;
            check(syscall(SYS_prctl, PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, capability, 0, 0) == 0);
        }
    }
}

// Runs in the child, on its own stack but in the parent's memory, while the parent is
// suspended. Only system calls: no allocation, no locks.
int child_main(void* argument) {
    auto* context = static_cast<ChildContext*>(argument);
    // Caught signals would run the parent's handlers in shared memory: set them to default.
    // SIGPIPE, which every personality ignores, goes back to default as well.
    for (int sig = 1; sig <= kSignalCount; ++sig) {
        if (sig == SIGKILL || sig == SIGSTOP) continue;
        KernelSigaction current{};
        if (syscall(SYS_rt_sigaction, sig, nullptr, &current, kKernelSigsetSize) != 0) continue;
        bool ignored = current.handler == SIG_IGN;
        if (current.handler == SIG_DFL || (ignored && sig != SIGPIPE && !context->options->default_signals)) continue;
        KernelSigaction default_action{};
        default_action.handler = SIG_DFL;
        syscall(SYS_rt_sigaction, sig, &default_action, nullptr, kKernelSigsetSize);
    }
    for (const auto& [from, to] : context->options->redirects) {
        int rc;
        do {
            rc = dup2(from, to);
        } while (rc < 0 && errno == EINTR);
        if (rc < 0) {
            context->error = errno;
            exit_child();
        }
    }
    take_own_output();
    if (context->options->new_session) {
        // A fresh child leads no process group, so setsid cannot fail; checked all the same.
        if (setsid() < 0) {
            context->error = errno;
            exit_child();
        }
        // A terminal that is another session's controlling terminal stays that session's;
        // the child then runs without one, as it would on a terminal that is not a tty.
        if (context->options->controlling_terminal >= 0) {
            (void)ioctl(context->options->controlling_terminal, TIOCSCTTY, 0);
        }
    }
    if (context->options->foreground_group) {
        // A fresh child leads no group, so setpgid cannot fail. Every signal is still blocked
        // here, so taking the terminal raises no SIGTTOU; without a terminal it fails, which
        // is fine.
        if (setpgid(0, 0) < 0) {
            context->error = errno;
            exit_child();
        }
        pid_t group = getpid();
        (void)ioctl(STDIN_FILENO, TIOCSPGRP, &group);
    }
    // Whatever an earlier stage left open without close-on-exec stays out of the child.
    mark_close_on_exec_from_3();
    take_settings(context);
    uint64_t empty = 0;
    if (!raw_sigmask(SIG_SETMASK, &empty, nullptr)) {
        context->error = errno;
        exit_child();
    }
    execve(context->path, context->argv, context->envp);
    context->error = errno;
    exit_child();
    return 127;
}

}  // namespace

std::vector<std::string> environment_with(const std::vector<std::pair<std::string, std::string>>& settings) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string_view text = *entry;
        bool replaced = false;
        for (const auto& [name, value] : settings) {
            replaced = replaced || (text.size() > name.size() && text.compare(0, name.size(), name) == 0 &&
                                    text[name.size()] == '=');
        }
        if (!replaced) environment.emplace_back(text);
    }
    for (const auto& [name, value] : settings) environment.push_back(name + "=" + value);
    return environment;
}

Result<pid_t, OsError> spawn(const std::vector<std::string>& argv, const SpawnOptions& options) {
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    std::vector<char*> env;
    if (options.environment != nullptr) {
        env.reserve(options.environment->size() + 1);
        for (const std::string& entry : *options.environment) {
            env.push_back(const_cast<char*>(entry.c_str()));
        }
        env.push_back(nullptr);
    }
    ChildContext context{args[0], args.data(), options.environment != nullptr ? env.data() : environ,
                         &options, 0};

    constexpr size_t kStackSize = 64 * 1024;
    const size_t size = kStackSize;
    void* stack = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (stack == MAP_FAILED) return fail(last_os_error());

    // No signal may run a handler in the child before its dispositions are reset.
    uint64_t all = ~uint64_t{0}, previous = 0;
    if (!raw_sigmask(SIG_BLOCK, &all, &previous)) {
        OsError error = last_os_error();
        munmap(stack, size);
        return fail(error);
    }
    pid_t pid = clone(child_main, static_cast<char*>(stack) + kStackSize, CLONE_VM | CLONE_VFORK | SIGCHLD, &context);
    OsError clone_error = last_os_error();
    raw_sigmask(SIG_SETMASK, &previous, nullptr);
    munmap(stack, size);
    if (pid < 0) return fail(clone_error);
    if (context.error != 0) {
        // The child has exited already; collect it so that no one else sees it.
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        return fail(OsError{context.error});
    }
    return pid;
}

void give_children_own_output(int blocking_end) { own_output_fallback = blocking_end; }

void take_own_output() {
    if (own_output_fallback < 0) return;
    own_output(STDOUT_FILENO);
    own_output(STDERR_FILENO);
}

std::string search_path(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    const char* path = std::getenv("PATH");
    std::string_view directories = path != nullptr ? path : "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
    for (;;) {
        std::string_view directory = directories.substr(0, directories.find(':'));
        std::string candidate = (directory.empty() ? std::string(".") : std::string(directory)) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        if (directory.size() >= directories.size()) return name;
        directories.remove_prefix(directory.size() + 1);
    }
}

timespec deadline_after(long milliseconds) {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += (milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return deadline;
}

long milliseconds_left(const timespec& deadline) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    long left = (deadline.tv_sec - now.tv_sec) * 1000L + (deadline.tv_nsec - now.tv_nsec) / 1000000L;
    return left > 0 ? left : 0;
}

bool passed(const timespec& deadline) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec > deadline.tv_sec || (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

void mark_time(std::string_view step) {
    static const bool wanted = std::getenv("VESKO_SHUTDOWN_TIMES") != nullptr;
    if (!wanted) return;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::string micro = std::to_string(now.tv_nsec / 1000);
    print_err("veskoinit: time " + std::to_string(now.tv_sec) + "." + std::string(6 - micro.size(), '0') + micro + " " +
              std::string(step) + "\n");
}

void wait_for_child(long milliseconds) {
    sigset_t child;
    sigemptyset(&child);
    sigaddset(&child, SIGCHLD);
    timespec timeout{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    (void)sigtimedwait(&child, nullptr, &timeout);
}

}  // namespace vesko
