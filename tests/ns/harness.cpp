#include "harness.hpp"

#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdlib.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace ns {

namespace fs = std::filesystem;

namespace {

void write_text(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

[[noreturn]] void keeper_fail(int status_fd, const std::string& what) {
    write_text(status_fd, "error " + what + ": " + std::strerror(errno) + "\n");
    _exit(1);
}

ino_t mount_namespace_of(pid_t pid) {
    struct stat info;
    std::string path = "/proc/" + std::to_string(pid) + "/ns/mnt";
    if (stat(path.c_str(), &info) != 0) return 0;
    return info.st_ino;
}

struct StageConfig {
    const Image* image;
    std::string root;
    std::string terminal;
    int console_fd;
    int null_fd;
};

// Process 1 of the new namespaces: makes the tmpfs the root and executes /sbin/init.
int stage_main(void* argument) {
    auto* config = static_cast<StageConfig*>(argument);
    int terminal = config->terminal.empty() ? -1 : open(config->terminal.c_str(), O_RDWR | O_NOCTTY);
    int output = terminal >= 0 ? terminal : config->console_fd;
    dup2(output, 1);
    dup2(output, 2);
    dup2(terminal >= 0 ? terminal : config->null_fd, 0);
    if (terminal > 2) close(terminal);
    if (!config->terminal.empty() && terminal < 0) {
        write_text(2, "harness: cannot open the terminal\n");
        _exit(122);
    }
    // The guard: anything that mounts or pivots runs only as process 1 of a new PID namespace.
    if (getpid() != 1) {
        write_text(2, "harness: refusing to run: not process 1 of a new PID namespace\n");
        _exit(121);
    }
    auto die = [](const std::string& what) {
        write_text(2, "harness: " + what + ": " + std::strerror(errno) + "\n");
        _exit(122);
    };
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // A session of its own, like a real process 1: a signal to "the process group" from inside
    // (kill 0) can never reach the test.
    setsid();
    const std::string& root = config->root;
    if (config->image->host_tools) {
        std::string usr = root + "/usr";
        mkdir(usr.c_str(), 0755);
        if (mount("/usr", usr.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) die("bind /usr");
        // Read-only applies to this bind mount only, never to the host's /usr.
        if (mount(nullptr, usr.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
            die("read-only /usr");
        }
    }
    if (chdir(root.c_str()) != 0) die("chdir root");
    mkdir("oldroot", 0700);
    if (syscall(SYS_pivot_root, ".", "oldroot") != 0) die("pivot_root");
    if (chdir("/") != 0) die("chdir /");
    if (umount2("/oldroot", MNT_DETACH) != 0) die("detach old root");
    rmdir("/oldroot");
    if (config->image->proc_premounted) {
        mkdir("/proc", 0555);
        if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NOEXEC | MS_NODEV, nullptr) != 0) die("mount /proc");
    }
    for (const auto& [target, type] : config->image->premounted) {
        std::error_code ignored;
        fs::create_directories(target, ignored);
        if (mount(type.c_str(), target.c_str(), type.c_str(), 0, nullptr) != 0) die("mount " + target);
    }
    // The tmpfs is the root of this mount namespace by now: the host's root is out of reach.
    if (config->image->root_read_only &&
        mount(nullptr, "/", nullptr, MS_REMOUNT | MS_RDONLY | config->image->root_flags, nullptr) != 0) {
        die("remount / read-only");
    }
    std::vector<std::string> argv_text{"/sbin/init"};
    argv_text.insert(argv_text.end(), config->image->init_args.begin(), config->image->init_args.end());
    std::vector<std::string> env_text;
    for (const auto& [name, value] : config->image->env) env_text.push_back(name + "=" + value);
    std::vector<char*> argv, envp;
    for (auto& arg : argv_text) argv.push_back(arg.data());
    argv.push_back(nullptr);
    for (auto& entry : env_text) envp.push_back(entry.data());
    envp.push_back(nullptr);
    sigset_t empty;
    sigemptyset(&empty);
    sigprocmask(SIG_SETMASK, &empty, nullptr);
    if (config->image->without_standard_streams) {
        for (int fd = 0; fd <= 2; ++fd) close(fd);
    }
    // The kernel starts process 1 with the console alone: nothing the test process inherited
    // reaches it.
    syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC);
    execve("/sbin/init", argv.data(), envp.data());
    die("exec /sbin/init");
    return 122;
}

// The shared libraries (and the loader) that PROGRAM needs, as ldd lists them; none for a
// static program. Programs built with the sanitizers are dynamic.
std::vector<std::string> shared_libraries(const std::string& program) {
    std::vector<std::string> libraries;
    std::string command = "ldd '" + program + "' 2>/dev/null";
    FILE* listing = popen(command.c_str(), "r");
    if (listing == nullptr) return libraries;
    char line[4096];
    while (fgets(line, sizeof line, listing) != nullptr) {
        std::istringstream words(line);
        std::vector<std::string> fields;
        for (std::string word; words >> word;) fields.push_back(word);
        for (const std::string& field : fields) {
            if (!field.empty() && field[0] == '/') {
                libraries.push_back(field);
                break;
            }
        }
    }
    pclose(listing);
    return libraries;
}

void populate(const Image& image, const std::string& root) {
    auto place = [&](const std::string& path) {
        fs::path where = fs::path(root) / fs::path(path).relative_path();
        fs::create_directories(where.parent_path());
        return where;
    };
    fs::create_directories(fs::path(root) / "sbin");
    fs::copy_file(image.init_program, fs::path(root) / "sbin/init");
    fs::permissions(fs::path(root) / "sbin/init", fs::perms(0755));
    for (const std::string& dir : image.dirs) fs::create_directories(place(dir));
    for (const auto& [path, host] : image.copies) fs::copy_file(host, place(path));
    for (const auto& [path, device] : image.char_devices) {
        if (mknod(place(path).c_str(), S_IFCHR | 0666, device) != 0) throw std::runtime_error("mknod " + path);
    }
    for (const std::string& path : image.fifos) {
        if (mkfifo(place(path).c_str(), 0644) != 0) throw std::runtime_error("mkfifo " + path);
    }
    for (const auto& [path, content] : image.files) {
        std::ofstream(place(path), std::ios::binary) << content;
    }
    for (const auto& [path, content] : image.scripts) {
        fs::path where = place(path);
        std::ofstream(where, std::ios::binary) << content;
        fs::permissions(where, fs::perms(0755));
    }
    for (const auto& [path, target] : image.links) fs::create_symlink(target, place(path));
    if (image.host_tools) {
        for (const char* dir : {"bin", "lib", "lib64"}) {
            if (fs::exists(fs::path("/usr") / dir)) {
                fs::create_symlink(std::string("usr/") + dir, fs::path(root) / dir);
            }
        }
    }
}

// The keeper: owns the private mount namespace with the tmpfs and process 1.
[[noreturn]] void keeper_main(const Image& image, const std::string& root, const std::string& terminal,
                              pid_t test_pid, int status_fd, int control_fd, int console_fd) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != test_pid) _exit(1);
    ino_t host_namespace = mount_namespace_of(test_pid);
    if (unshare(CLONE_NEWNS) != 0) keeper_fail(status_fd, "unshare(CLONE_NEWNS)");
    if (host_namespace == 0 || mount_namespace_of(getpid()) == host_namespace) {
        errno = EPERM;
        keeper_fail(status_fd, "refusing to mount: still in the test's mount namespace");
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        keeper_fail(status_fd, "make / private");
    }
    if (mount("nsroot", root.c_str(), "tmpfs", 0, "mode=0755") != 0) keeper_fail(status_fd, "mount tmpfs");
    try {
        populate(image, root);
    } catch (const std::exception& e) {
        write_text(status_fd, std::string("error populate: ") + e.what() + "\n");
        _exit(1);
    }
    if (image.root_room > 0) {
        struct statvfs filled;
        if (statvfs(root.c_str(), &filled) != 0) keeper_fail(status_fd, "statvfs");
        std::string size = "size=" + std::to_string((filled.f_blocks - filled.f_bfree) * filled.f_frsize + image.root_room);
        if (mount(nullptr, root.c_str(), nullptr, MS_REMOUNT, size.c_str()) != 0) keeper_fail(status_fd, "remount tmpfs");
    }
    if (!terminal.empty()) {
        // The bind lives in the keeper's namespace and the copy process 1 gets.
        std::string console = root + "/dev/console";
        mkdir((root + "/dev").c_str(), 0755);
        int placeholder = open(console.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (placeholder < 0) keeper_fail(status_fd, "create /dev/console");
        close(placeholder);
        if (mount(terminal.c_str(), console.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            keeper_fail(status_fd, "bind the terminal over /dev/console");
        }
    }

    int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    StageConfig config{&image, root, terminal, console_fd, null_fd};
    constexpr size_t kStackSize = 1 << 20;
    std::vector<char> stack(kStackSize);
    int flags = CLONE_NEWNS | SIGCHLD;
    if (!image.without_pid_namespace) flags |= CLONE_NEWPID;
    pid_t init = clone(stage_main, stack.data() + kStackSize, flags, &config);
    if (init < 0) keeper_fail(status_fd, "clone");
    close(console_fd);
    write_text(status_fd, "pid " + std::to_string(init) + "\n");

    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, init, 0));
    if (pidfd < 0) keeper_fail(status_fd, "pidfd_open");
    bool alive = true;
    for (;;) {
        pollfd fds[2] = {{control_fd, POLLIN, 0}, {alive ? pidfd : -1, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            keeper_fail(status_fd, "poll");
        }
        if (fds[1].revents != 0) {
            int status = 0;
            while (waitpid(init, &status, 0) < 0 && errno == EINTR) {
            }
            alive = false;
            int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            write_text(status_fd, "exit " + std::to_string(code) + "\n");
        }
        if (fds[0].revents != 0) {
            unsigned char signal = 0;
            ssize_t n = read(control_fd, &signal, 1);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                // The test is done: killing process 1 ends every process of its namespace.
                if (alive) {
                    kill(init, SIGKILL);
                    while (waitpid(init, nullptr, 0) < 0 && errno == EINTR) {
                    }
                }
                _exit(0);
            }
            if (alive) kill(init, signal);
        }
    }
}

}  // namespace

std::string unavailable() {
    if (geteuid() != 0) return "namespace tests need root";
    std::ifstream swaps("/proc/swaps");
    std::string header, line;
    std::getline(swaps, header);
    if (std::getline(swaps, line) && !line.empty()) {
        return "the host has active swap, which a shutdown inside a namespace would reach";
    }
    return "";
}

bool host_devtmpfs_has_mount_points() {
    std::ifstream in("/proc/self/mountinfo");
    std::stringstream text;
    text << in.rdbuf();
    return text.str().find(" /dev rw") != std::string::npos && text.str().find(" - devtmpfs ") != std::string::npos &&
           fs::is_directory("/dev/pts") && fs::is_directory("/dev/shm");
}

namespace {

// IMAGE with what its dynamic programs need to run in an otherwise empty root: their shared
// libraries and, for the sanitizers, no leak check at exit (it needs /proc, which a process 1
// mounts only later, if at all).
Image with_libraries(const Image& image) {
    Image prepared = image;
    if (image.host_tools) return prepared;  // the host's /usr is there
    std::vector<std::string> programs{image.init_program};
    for (const auto& [path, host] : image.copies) programs.push_back(host);
    bool dynamic = false;
    for (const std::string& program : programs) {
        for (const std::string& library : shared_libraries(program)) {
            prepared.copies.emplace(library, library);
            dynamic = true;
        }
    }
    // Their reports go to files in the root (/sanitizer.PID), never onto the console that
    // tests compare; an error still ends the program, which the test sees.
    if (dynamic) {
        prepared.env.emplace("ASAN_OPTIONS", "detect_leaks=0:log_path=/sanitizer");
        prepared.env.emplace("UBSAN_OPTIONS", "log_path=/sanitizer");
    }
    return prepared;
}

}  // namespace

namespace {

// Whether an fstab's lines name MOUNT_POINT (the second field of a line).
bool names(const std::string& fstab, const std::string& mount_point) {
    std::istringstream lines(fstab);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string source, target;
        if (fields >> source >> target && source[0] != '#' && target == mount_point) return true;
    }
    return false;
}

}  // namespace

System::System(const Image& requested) {
    if (std::string reason = unavailable(); !reason.empty()) throw std::runtime_error(reason);
    if (auto fstab = requested.files.find("/etc/fstab"); fstab != requested.files.end()) {
        if (!names(fstab->second, "/sys") || !names(fstab->second, "/dev")) {
            throw std::runtime_error("the image's /etc/fstab must name /sys and /dev (see kNoKernelMounts)");
        }
    }
    const Image image = with_libraries(requested);
    sanitized_ = image.env.count("ASAN_OPTIONS") != 0 && requested.env.count("ASAN_OPTIONS") == 0;
    char pattern[] = "/tmp/vesko-nsroot-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    int status_pipe[2], control_pipe[2], console_pipe[2];
    if (pipe2(status_pipe, O_CLOEXEC) != 0 || pipe2(control_pipe, O_CLOEXEC) != 0 ||
        pipe2(console_pipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    std::string terminal;
    if (image.console_pty) {
        terminal_fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (terminal_fd_ < 0 || grantpt(terminal_fd_) != 0 || unlockpt(terminal_fd_) != 0) {
            throw std::runtime_error("cannot open a pseudo-terminal");
        }
        terminal = ptsname(terminal_fd_);
        fcntl(terminal_fd_, F_SETFL, O_NONBLOCK);
    }
    pid_t test_pid = getpid();
    keeper_ = fork();
    if (keeper_ < 0) throw std::runtime_error("fork failed");
    if (keeper_ == 0) {
        close(status_pipe[0]);
        close(control_pipe[1]);
        close(console_pipe[0]);
        keeper_main(image, root_, terminal, test_pid, status_pipe[1], control_pipe[0], console_pipe[1]);
    }
    close(status_pipe[1]);
    close(control_pipe[0]);
    close(console_pipe[1]);
    status_fd_ = status_pipe[0];
    control_fd_ = control_pipe[1];
    console_fd_ = console_pipe[0];
    fcntl(console_fd_, F_SETFL, O_NONBLOCK);
    fcntl(status_fd_, F_SETFL, O_NONBLOCK);

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (init_pid_ < 0) {
        size_t newline = status_buffer_.find('\n');
        if (newline != std::string::npos) {
            std::string line = status_buffer_.substr(0, newline);
            status_buffer_.erase(0, newline + 1);
            if (line.rfind("pid ", 0) == 0) {
                init_pid_ = std::stoi(line.substr(4));
                break;
            }
            shut_down();
            throw std::runtime_error("namespace setup failed: " + line);
        }
        if (std::chrono::steady_clock::now() >= deadline || !read_status(100)) {
            if (std::chrono::steady_clock::now() >= deadline) {
                shut_down();
                throw std::runtime_error("namespace setup timed out");
            }
        }
    }
}

System::~System() { shut_down(); }

void System::shut_down() {
    close(control_fd_);  // the keeper kills process 1 and exits
    int status;
    bool reaped = false;
    for (int i = 0; i < 500 && !reaped; ++i) {
        pid_t done = waitpid(keeper_, &status, WNOHANG);
        reaped = done == keeper_ || (done < 0 && errno != EINTR);
        if (!reaped) usleep(10000);
    }
    if (!reaped) {
        kill(keeper_, SIGKILL);
        waitpid(keeper_, &status, 0);
    }
    close(status_fd_);
    close(console_fd_);
    if (terminal_fd_ >= 0) close(terminal_fd_);
    // The tmpfs went with the keeper's namespace; only the empty mount point is left.
    rmdir(root_.c_str());
}

bool System::read_status(int timeout_ms) {
    pollfd fd{status_fd_, POLLIN, 0};
    if (poll(&fd, 1, timeout_ms) <= 0) return false;
    char buffer[256];
    ssize_t n = read(status_fd_, buffer, sizeof buffer);
    if (n <= 0) {
        if (n == 0) usleep(static_cast<useconds_t>(timeout_ms) * 1000);  // keeper gone
        return false;
    }
    status_buffer_.append(buffer, static_cast<size_t>(n));
    return true;
}

void System::send(int signal) {
    unsigned char byte = static_cast<unsigned char>(signal);
    write_text(control_fd_, std::string(1, static_cast<char>(byte)));
}

std::optional<int> System::wait_exit(int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!exit_status_) {
        size_t newline = status_buffer_.find('\n');
        if (newline != std::string::npos) {
            std::string line = status_buffer_.substr(0, newline);
            status_buffer_.erase(0, newline + 1);
            if (line.rfind("exit ", 0) == 0) exit_status_ = std::stoi(line.substr(5));
            continue;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        read_status(static_cast<int>(left.count()));
    }
    collect_console(0);
    return exit_status_;
}

namespace {

// Removes the lines in which a sanitized program, started without /proc, says that it cannot
// name itself: printed before any option can send it elsewhere.
void drop_sanitizer_warnings(std::string& text) {
    static const std::string kWarning = "WARNING: reading executable name failed";
    for (size_t at = text.find(kWarning); at != std::string::npos; at = text.find(kWarning, at)) {
        size_t start = text.rfind('\n', at);
        start = start == std::string::npos ? 0 : start + 1;
        size_t end = text.find('\n', at);
        if (end == std::string::npos) break;  // the rest of the line is still to come
        text.erase(start, end + 1 - start);
        at = start;
    }
}

}  // namespace

void System::collect_console(int timeout_ms) {
    pollfd fd{console_fd_, POLLIN, 0};
    if (poll(&fd, 1, timeout_ms) <= 0) return;
    char buffer[4096];
    ssize_t n;
    while ((n = read(console_fd_, buffer, sizeof buffer)) > 0) console_.append(buffer, static_cast<size_t>(n));
    if (sanitized_) drop_sanitizer_warnings(console_);
}

bool System::wait_console(const std::string& text, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        collect_console(0);
        if (console_.find(text) != std::string::npos) return true;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        collect_console(static_cast<int>(std::min<long>(left.count(), 50)));
    }
}

std::string System::console() {
    collect_console(0);
    return console_;
}

bool System::wait_terminal(const std::string& text, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        char buffer[4096];
        ssize_t n;
        while ((n = read(terminal_fd_, buffer, sizeof buffer)) > 0) terminal_.append(buffer, static_cast<size_t>(n));
        if (sanitized_) drop_sanitizer_warnings(terminal_);
        if (terminal_.find(text) != std::string::npos) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        pollfd fd{terminal_fd_, POLLIN, 0};
        // Without an open slave the master reports a hang-up at once: sleep instead.
        if (poll(&fd, 1, 20) > 0 && (fd.revents & POLLHUP) != 0) usleep(20000);
    }
}

std::string System::terminal() {
    wait_terminal("\x01never\x01", 0);
    return terminal_;
}

void System::type(const std::string& keys) { write_text(terminal_fd_, keys); }

std::string System::in_root(const std::string& path) const {
    return "/proc/" + std::to_string(keeper_) + "/root" + root_ + path;
}

bool System::exists(const std::string& path) {
    struct stat info;
    return lstat(in_root(path).c_str(), &info) == 0;
}

std::optional<std::string> System::read_file(const std::string& path) {
    std::string where = in_root(path);
    if (!fs::is_regular_file(where)) return std::nullopt;  // a FIFO would hold the test
    std::ifstream in(where, std::ios::binary);
    if (!in) return std::nullopt;
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

}  // namespace ns
