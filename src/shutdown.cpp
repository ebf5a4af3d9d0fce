#include "shutdown.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/swap.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <optional>

#include "admin.hpp"
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
// value of at most 255. Anything else, text that is not UTF-8, or a relative path is refused.
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
    if (!vesko::is_utf8(out) || out.empty() || out[0] != '/') return std::nullopt;
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
// do not count (a zombie holds no file open). Without /proc the count falls back to whether
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
        if (fields.size() < 7 || fields[0] == "Z") continue;
        std::optional<uint64_t> flags = vesko::parse_unsigned(fields[6], UINT64_MAX);
        if (flags && (*flags & kKernelThread) != 0) continue;
        ++count;
    }
    closedir(directory);
    return count;
}

// Waits until a child changes state or MILLISECONDS pass. SIGCHLD is blocked in process 1
// and the signal descriptor is no longer read, so it can be taken here directly; the
// power requests that may be pending stay where they are.
void wait_for_child(long milliseconds) {
    sigset_t child;
    sigemptyset(&child);
    sigaddset(&child, SIGCHLD);
    timespec timeout{0, milliseconds * 1000000L};
    (void)sigtimedwait(&child, nullptr, &timeout);
}

bool passed(const timespec& deadline) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec > deadline.tv_sec || (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
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
    for (const Round& round : kRounds) {
        (void)supervisor.reap_during_shutdown();
        if (count_remaining() == 0) return;
        say(std::string("sending ") + round.name + " to all remaining processes");
        if (kill(-1, round.signal) != 0) {
            if (errno == ESRCH) return;
            say(std::string("warning: cannot send ") + round.name +
                " to remaining processes: " + vesko::last_os_error().display());
        }
        timespec deadline;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += round.seconds;
        for (;;) {
            (void)supervisor.reap_during_shutdown();
            if (count_remaining() == 0) return;
            if (passed(deadline)) break;
            wait_for_child(10);
        }
    }
    say("warning: some processes are still present after SIGKILL");
}

void deactivate_swaps() {
    auto text = vesko::read_text_file("/proc/swaps");
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
    auto text = vesko::read_text_file(kMountinfo);
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
            say("unmounted " + point.path);
        } else if (errno != ENOENT && errno != EINVAL) {
            say("warning: cannot unmount " + point.path + ": " + vesko::last_os_error().display());
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

}  // namespace

Error execute(PowerRequest request, supervisor::Supervisor& supervisor, const vesko::Fd& boot_console) {
    // The last guard: nothing below may ever run in a process that is not process 1.
    if (getpid() != 1) return NotProcessOne{};

    // /dev goes away with the unmounts, so the console is opened before anything else.
    vesko::Fd console;
    if (request == PowerRequest::Halt) {
        auto opened = vesko::open_fd("/dev/console", O_RDWR | O_NOCTTY);
        if (!opened) return Console{opened.error()};
        console = std::move(*opened);
    }

    auto stopped = supervisor.stop_all();
    if (!stopped) say("warning: direct service shutdown was incomplete: " + supervisor::display(stopped.error()));
    // Then the script services, the reverse of boot. Their stops wait for their daemons to
    // go, which only counts once process 1 has reaped them: it does so while it waits.
    auto scripts = admin::stop_enabled([](pid_t pid, int status) {
        print_err(supervisor::adopted_child_line(pid, supervisor::ExitStatus{status}, true));
    });
    if (!scripts) say("warning: script service shutdown was incomplete: " + admin::display(scripts.error()));

    terminate_remaining(supervisor);
    deactivate_swaps();
    auto unmounted = unmount_all();
    if (!unmounted) return std::move(unmounted.error());

    leave_the_log(boot_console);
    ::sync();
    if (::mount(nullptr, "/", nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
        return System{"remount / read-only", vesko::last_os_error()};
    }
    say("remounted / read-only");

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
