#include "shutdown.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/swap.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <optional>

#include "script_boot.hpp"
#include "spawn.hpp"
#include "text.hpp"

namespace shutdown {

using vesko::fail;
using vesko::shown;
using vesko::print_err;
using vesko::Result;

std::string display(const Error& error) {
    return std::visit(
        vesko::Overloaded{
            [](const Console& e) { return "console error: " + e.os.display(); },
            [](const ReadMountinfo& e) { return std::string("cannot read ") + kMountinfo + ": " + e.os.display(); },
            [](const MalformedMountinfo& e) {
                return std::string(kMountinfo) + ":" + std::to_string(e.line) + ": malformed mountinfo entry";
            },
            [](const System& e) { return std::string(e.operation) + " failed: " + e.os.display(); },
            [](const NotProcessOne&) {
                return std::string("refusing to shut down because this process is not PID 1");
            },
        },
        error);
}

namespace {

// A mount point as the kernel escapes it: each backslash followed by three octal digits of a
// value of at most 255. Anything else or a relative path is refused. Paths are bytes: they
// need not be UTF-8, and messages show them with vesko::shown.
std::optional<std::string> decode_mount_point(std::string_view raw) {
    std::string out;
    out.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\\') {
            out += raw[i];
            continue;
        }
        std::optional<unsigned char> byte = vesko::octal_escape(raw.substr(i));
        if (!byte) return std::nullopt;
        out += static_cast<char>(*byte);
        i += 3;
    }
    if (out.empty() || out[0] != '/') return std::nullopt;
    return out;
}

bool is_root(std::string_view path) { return vesko::path_components(path).empty(); }

}  // namespace

Result<std::vector<MountPoint>, Error> parse_mountinfo(std::string_view text) {
    std::vector<MountPoint> points;
    std::vector<std::string_view> lines = vesko::split_lines(text);
    for (size_t index = 0; index < lines.size(); ++index) {
        size_t number = index + 1;
        std::vector<std::string_view> fields = vesko::split_fields(lines[index]);
        std::optional<uint64_t> id;
        std::optional<std::string> path;
        if (fields.size() >= 6 && std::find(fields.begin(), fields.end(), "-") != fields.end()) {
            id = vesko::parse_unsigned(fields[0], UINT64_MAX);
            path = decode_mount_point(fields[4]);
        }
        if (!id || !path) return fail(Error{MalformedMountinfo{number}});
        points.push_back(MountPoint{std::move(*path), *id, number});
    }
    return points;
}

void sort_for_unmount(std::vector<MountPoint>& points) {
    // The root counts as one component, so every depth is one more than its components.
    auto depth = [](const MountPoint& point) { return vesko::path_components(point.path).size() + 1; };
    std::stable_sort(points.begin(), points.end(), [&](const MountPoint& a, const MountPoint& b) {
        size_t da = depth(a), db = depth(b);
        if (da != db) return da > db;
        return a.id > b.id;
    });
}

std::vector<std::string> swaps_last_first(std::string_view text) {
    std::vector<std::string_view> lines = vesko::split_lines(text);
    std::vector<std::string> paths;
    for (size_t index = lines.size(); index > 1; --index) {
        std::vector<std::string_view> fields = vesko::split_fields(lines[index - 1]);
        if (!fields.empty()) paths.emplace_back(fields[0]);
    }
    return paths;
}

namespace {

void say(const std::string& line) { print_err("veskoinit: " + line + "\n"); }

// Processes that are still running, other than process 1 itself: kernel threads and zombies
// do not count (a zombie holds no file open), but a zombie whose other threads still run
// (its main thread called pthread_exit) does. Without /proc the count falls back to whether
// kill(-1) would reach anything, which is exact inside a PID namespace.
size_t count_remaining() {
    DIR* directory = ::access("/proc/self/stat", F_OK) == 0 ? opendir("/proc") : nullptr;
    if (directory == nullptr) return kill(-1, 0) == 0 ? 1 : 0;
    constexpr unsigned long kKernelThread = 0x00200000;  // PF_KTHREAD
    size_t count = 0;
    pid_t self = getpid();
    while (dirent* entry = readdir(directory)) {
        std::optional<uint64_t> pid = vesko::parse_unsigned(entry->d_name, INT32_MAX);
        if (!pid || entry->d_name[0] == '+' || static_cast<pid_t>(*pid) == self) continue;
        auto stat = vesko::read_file("/proc/" + std::string(entry->d_name) + "/stat");
        if (!stat) continue;  // gone meanwhile
        // The command name in parentheses may hold anything; the fields after it are plain.
        size_t close = stat->rfind(')');
        if (close == std::string::npos) continue;
        std::vector<std::string_view> fields = vesko::split_fields(std::string_view(*stat).substr(close + 1));
        // After the name: state, ..., flags (the 7th), ..., the number of threads (the 18th).
        if (fields.size() < 18) continue;
        std::optional<uint64_t> threads = vesko::parse_unsigned(fields[17], UINT64_MAX);
        if (fields[0] == "Z" && threads.value_or(0) <= 1) continue;
        std::optional<uint64_t> flags = vesko::parse_unsigned(fields[6], UINT64_MAX);
        if (flags && (*flags & kKernelThread) != 0) continue;
        ++count;
    }
    closedir(directory);
    return count;
}

// Every process that outlived its service (a user's background job, a daemon that left its
// service) would keep its file system busy: SIGTERM, up to 5 s, then SIGKILL, up to 2 s.
void terminate_remaining(supervisor::Supervisor& supervisor) {
    struct Round {
        int signal;
        const char* name;
        time_t seconds;
    };
    constexpr Round kRounds[] = {{SIGTERM, "SIGTERM", 5}, {SIGKILL, "SIGKILL", 2}};
    // Whether nothing is left. A process that ends between the reap and the count is a zombie
    // by then, which the count passes over: the second reap reports it.
    auto gone = [&supervisor] {
        (void)supervisor.reap_during_shutdown();
        if (count_remaining() != 0) return false;
        (void)supervisor.reap_during_shutdown();
        return true;
    };
    for (const Round& round : kRounds) {
        if (gone()) return;
        say(std::string("sending ") + round.name + " to all remaining processes");
        if (kill(-1, round.signal) != 0) {
            if (errno == ESRCH) return;
            say(std::string("warning: cannot send ") + round.name +
                " to remaining processes: " + vesko::last_os_error().display());
        }
        // A stopped process (a suspended job) acts on SIGTERM only once it is continued.
        if (round.signal == SIGTERM) (void)kill(-1, SIGCONT);
        timespec deadline = vesko::deadline_after(round.seconds * 1000L);
        for (;;) {
            if (gone()) return;
            if (vesko::passed(deadline)) break;
            vesko::wait_for_child(10);
        }
    }
    say("warning: some processes are still present after SIGKILL");
}

void deactivate_swaps() {
    auto text = vesko::read_file("/proc/swaps");
    if (!text) return;
    for (const std::string& path : swaps_last_first(*text)) {
        if (path.find('\0') != std::string::npos) {
            say("warning: swap path contains a NUL byte");
        } else if (::swapoff(path.c_str()) == 0) {
            say("deactivated swap " + shown(path));
        } else {
            say("warning: cannot deactivate swap " + shown(path) + ": " + vesko::last_os_error().display());
        }
    }
}

Result<void, Error> unmount_all() {
    auto text = vesko::read_file(kMountinfo);
    if (!text) return fail(Error{ReadMountinfo{text.error()}});
    auto points = parse_mountinfo(*text);
    if (!points) return fail(std::move(points.error()));
    sort_for_unmount(*points);
    for (const MountPoint& point : *points) {
        if (is_root(point.path)) continue;
        if (point.path.find('\0') != std::string::npos) return fail(Error{MalformedMountinfo{point.line}});
        int rc = ::umount2(point.path.c_str(), 0);
        if (rc != 0 && errno == EBUSY) rc = ::umount2(point.path.c_str(), MNT_DETACH);
        if (rc == 0) {
            say("unmounted " + shown(point.path));
        } else if (errno != ENOENT && errno != EINVAL) {
            say("warning: cannot unmount " + shown(point.path) + ": " + vesko::last_os_error().display());
        }
    }
    return {};
}

// Standard output and error leave the log (closing it, so that / can become read-only and a
// lazily detached file system that held it can go) for the console process 1 started with.
void leave_the_log(const vesko::Fd& boot_console) {
    if (!boot_console.valid()) {
        ::close(STDOUT_FILENO);
        ::close(STDERR_FILENO);
        return;
    }
    for (int stream : {STDOUT_FILENO, STDERR_FILENO}) {
        if (!vesko::duplicate_onto(boot_console.get(), stream)) {
            say("warning: cannot point output back at the console: " + vesko::last_os_error().display());
        }
    }
}

// The halt prompt: raw mode, then Enter or Return reboots and Space powers off.
Result<int, Error> ask_on_console(int console) {
    termios mode;
    if (tcgetattr(console, &mode) != 0) return fail(Error{Console{vesko::last_os_error()}});
    mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    mode.c_cc[VMIN] = 1;
    mode.c_cc[VTIME] = 0;
    if (tcsetattr(console, TCSANOW, &mode) != 0) return fail(Error{Console{vesko::last_os_error()}});
    // Keys typed while the services stopped (an Enter pressed in passing) must not answer.
    if (tcflush(console, TCIFLUSH) != 0) return fail(Error{Console{vesko::last_os_error()}});
    auto written = vesko::write_all(console, "\nSystem Halted: press enter to reboot or space to shutdown\n");
    if (!written) return fail(Error{Console{written.error()}});
    for (;;) {
        char key = 0;
        ssize_t n = ::read(console, &key, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail(Error{Console{vesko::last_os_error()}});
        if (n == 0) return fail(Error{Console{vesko::fixed_error("end of input on the console")}});
        if (key == '\n' || key == '\r') return RB_AUTOBOOT;
        if (key == ' ') return RB_POWER_OFF;
    }
}

const char* const kRequestWords[] = {"reboot", "poweroff", "halt"};

// The path of this executable as installed, when the file it was started from has been
// removed or replaced since; nullopt when it has not, or when /proc cannot tell.
std::optional<std::string> replaced_executable() {
    auto self = vesko::open_fd("/proc/self/exe", O_PATH);
    struct stat info;
    if (!self || ::fstat(self->get(), &info) != 0 || info.st_nlink != 0) return std::nullopt;
    auto path = vesko::own_executable();
    if (!path) return std::nullopt;
    return std::move(*path);
}

// Executes PATH as the final stage of the sequence; returns only when that fails.
void start_final_stage(const std::string& path, PowerRequest request, const vesko::Fd& boot_console,
                       const vesko::Fd& halt_console) {
    FinalStage stage{request, boot_console.get(), halt_console.get()};
    std::vector<std::string> words{path, kFinalStage};
    for (std::string& argument : final_stage_arguments(stage)) words.push_back(std::move(argument));
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    say("the executable was replaced; the shutdown goes on in " + shown(path));
    const vesko::Fd* kept[] = {&boot_console, &halt_console};
    for (const vesko::Fd* fd : kept) {
        if (fd->valid()) (void)::fcntl(fd->get(), F_SETFD, 0);
    }
    ::execve(path.c_str(), argv.data(), environ);
    vesko::OsError error = vesko::last_os_error();
    for (const vesko::Fd* fd : kept) {
        if (fd->valid()) (void)::fcntl(fd->get(), F_SETFD, FD_CLOEXEC);
    }
    say("warning: cannot execute " + shown(path) + ": " + error.display());
}

}  // namespace

std::vector<std::string> final_stage_arguments(const FinalStage& stage) {
    return {kRequestWords[static_cast<int>(stage.request)], std::to_string(stage.boot_console),
            std::to_string(stage.halt_console)};
}

std::optional<FinalStage> parse_final_stage(const std::vector<std::string>& arguments) {
    if (arguments.size() != 3) return std::nullopt;
    FinalStage stage;
    auto word = std::find(std::begin(kRequestWords), std::end(kRequestWords), arguments[0]);
    if (word == std::end(kRequestWords)) return std::nullopt;
    stage.request = static_cast<PowerRequest>(word - std::begin(kRequestWords));
    int* descriptors[] = {&stage.boot_console, &stage.halt_console};
    for (size_t i = 0; i < 2; ++i) {
        if (arguments[i + 1] == "-1") continue;
        std::optional<uint64_t> fd = vesko::parse_unsigned(arguments[i + 1], INT32_MAX);
        if (!fd || arguments[i + 1][0] == '+') return std::nullopt;
        *descriptors[i] = static_cast<int>(*fd);
    }
    if (stage.request == PowerRequest::Halt && stage.halt_console < 0) return std::nullopt;
    return stage;
}

FinalStage fallback_final_stage(const std::vector<std::string>& arguments) {
    FinalStage stage;
    if (!arguments.empty()) {
        auto word = std::find(std::begin(kRequestWords), std::end(kRequestWords), arguments[0]);
        if (word != std::end(kRequestWords)) stage.request = static_cast<PowerRequest>(word - std::begin(kRequestWords));
    }
    if (stage.request == PowerRequest::Halt) stage.request = PowerRequest::PowerOff;
    return stage;
}

Result<void, Error> stop_processes(supervisor::Supervisor& supervisor, logging::Relay* relay,
                                   const std::set<std::string>& passed_over) {
    // The last guard: nothing below may ever run in a process that is not process 1.
    if (getpid() != 1) return fail(Error{NotProcessOne{}});
    auto stopped = supervisor.stop_all();
    if (!stopped) say("warning: direct service shutdown was incomplete: " + supervisor::display(stopped.error()));
    // Then the script services, the reverse of boot. Their stops wait for their daemons to
    // go, which only counts once process 1 has reaped them: it does so while it waits.
    auto scripts = admin::stop_enabled([](pid_t pid, int status) {
        print_err(supervisor::adopted_child_line(pid, supervisor::ExitStatus{status}, true));
    }, passed_over);
    if (!scripts) say("warning: script service shutdown was incomplete: " + admin::display(scripts.error()));
    // The relay would be among the remaining processes: it ends first, having written out
    // what it holds, and what the last ones write before they go is taken afterwards.
    if (relay != nullptr) relay->stop();
    vesko::mark_time("end of the log relay");
    terminate_remaining(supervisor);
    vesko::mark_time("remaining processes");
    if (relay != nullptr) relay->drain();
    return {};
}

Error execute(PowerRequest request, supervisor::Supervisor& supervisor, logging::Relay* relay,
              const vesko::Fd& boot_console, const std::set<std::string>& passed_over) {
    // The last guard: nothing below may ever run in a process that is not process 1.
    if (getpid() != 1) return NotProcessOne{};

    // /dev goes away with the unmounts, so the console is opened before anything else.
    vesko::Fd console;
    if (request == PowerRequest::Halt) {
        auto opened = vesko::open_fd("/dev/console", O_RDWR | O_NOCTTY);
        if (!opened) return Console{opened.error()};
        console = std::move(*opened);
    }

    auto stopped = stop_processes(supervisor, relay, passed_over);
    if (!stopped) return std::move(stopped.error());
    if (std::optional<std::string> installed = replaced_executable()) {
        start_final_stage(*installed, request, boot_console, console);
    }
    return finish(request, boot_console, std::move(console));
}

Error finish(PowerRequest request, const vesko::Fd& boot_console, vesko::Fd console) {
    if (getpid() != 1) return NotProcessOne{};
    deactivate_swaps();
    vesko::mark_time("swaps");
    auto unmounted = unmount_all();
    if (!unmounted) return std::move(unmounted.error());
    vesko::mark_time("unmounts");

    leave_the_log(boot_console);
    ::sync();
    vesko::mark_time("sync");
    // A root that stays writable is synced and the machine still goes down: stopping here
    // would leave it with nothing running and no way back but a reset.
    if (::mount(nullptr, "/", nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0) {
        say("remounted / read-only");
    } else {
        say("warning: cannot remount / read-only: " + vesko::last_os_error().display());
        ::sync();
    }
    vesko::mark_time("remount");

    int command = request == PowerRequest::Reboot ? RB_AUTOBOOT : RB_POWER_OFF;
    if (request == PowerRequest::Halt) {
        auto chosen = ask_on_console(console.get());
        if (!chosen) return std::move(chosen.error());
        command = *chosen;
    }
    if (::reboot(command) != 0) return System{"reboot", vesko::last_os_error()};
    return System{"reboot", vesko::fixed_error("the kernel returned from the reboot call")};
}

}  // namespace shutdown
