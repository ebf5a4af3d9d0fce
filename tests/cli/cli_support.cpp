#include "cli_support.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

namespace cli {

namespace fs = std::filesystem;

const char* binary() { return VESKOINIT_BINARY; }

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "vesko-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    ::chmod(pattern.c_str(), 0755);  // reachable by the unprivileged runs too
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::string TempDir::write(const std::string& file, const std::string& content, mode_t mode) const {
    fs::path target = fs::path(path_) / file;
    fs::create_directories(target.parent_path());
    std::ofstream(target, std::ios::binary | std::ios::trunc) << content;
    ::chmod(target.c_str(), mode);
    return target.string();
}

std::string TempDir::mkdir(const std::string& dir) const {
    fs::path target = fs::path(path_) / dir;
    fs::create_directories(target);
    return target.string();
}

std::string TempDir::symlink(const std::string& target, const std::string& link) const {
    fs::path where = fs::path(path_) / link;
    fs::create_directories(where.parent_path());
    fs::create_symlink(target, where);
    return where.string();
}

std::string personality_link(const TempDir& dir, const std::string& name) {
    return dir.symlink(binary(), "bin/" + name);
}

namespace {

// The children this process started and waits for itself; every other child is an orphan.
std::mutex children_lock;
std::set<pid_t> own_children;

void forget(pid_t pid) {
    std::lock_guard<std::mutex> lock(children_lock);
    own_children.erase(pid);
}

// Forks and executes PROGRAM with ARGV (an empty ARGV starts it without even argv[0]), with
// IN, OUT and ERR as its standard streams and OPTIONS applied.
pid_t start(const std::string& program, const std::vector<std::string>& argv, const RunOptions& options,
            int in, int out, int err) {
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    std::unique_lock<std::mutex> lock(children_lock);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid != 0) {
        own_children.insert(pid);
        return pid;
    }
    dup2(in, 0);
    if (!options.stdout_file.empty()) {
        int fd = open(options.stdout_file.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) _exit(126);
        dup2(fd, out);
    }
    if (options.stdout_broken_pipe) {
        int broken[2];
        if (pipe(broken) != 0) _exit(126);
        close(broken[0]);
        dup2(broken[1], out);
    }
    dup2(out, 1);
    dup2(err, 2);
    for (int fd : options.closed) close(fd);
    for (const auto& [name, value] : options.env) {
        if (value) {
            setenv(name.c_str(), value->c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    if (options.uid >= 0 && (setgid(options.uid) != 0 || setuid(options.uid) != 0)) _exit(126);
    if (options.address_space != 0) {
        rlimit limit{options.address_space, options.address_space};
        if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(126);
    }
    execv(program.c_str(), args.data());
    _exit(127);
}

}  // namespace

Outcome run(const std::string& program, const std::vector<std::string>& argv,
            const RunOptions& options) {
    int out_pipe[2], err_pipe[2], in_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0 ||
        pipe2(in_pipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    pid_t pid = start(program, argv, options, in_pipe[0], out_pipe[1], err_pipe[1]);
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (!options.input.empty()) {
        (void)!write(in_pipe[1], options.input.data(), options.input.size());
    }
    close(in_pipe[1]);

    Outcome outcome;
    // The output ends when the program does, even if something it left behind (a daemon it
    // started) still holds the pipes.
    int ended = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    pollfd fds[3] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}, {ended, POLLIN, 0}};
    std::string* sinks[2] = {&outcome.out, &outcome.err};
    int open_count = 2;
    bool exited = false;
    while (open_count > 0) {
        if (poll(fds, 3, 20000) <= 0) break;  // a hung child ends the read after 20 s
        if (fds[2].revents != 0 && !exited) {
            exited = true;
            fds[2].fd = -1;
            fcntl(out_pipe[0], F_SETFL, O_NONBLOCK);
            fcntl(err_pipe[0], F_SETFL, O_NONBLOCK);
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || (fds[i].revents == 0 && !exited)) continue;
            char buffer[4096];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
                if (exited) --i;  // drain it before leaving
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd >= 0) close(fds[i].fd);
    }
    if (ended >= 0) close(ended);
    int status = 0;
    if (open_count > 0 && !exited) kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    forget(pid);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return outcome;
}

Outcome run_as(const std::string& name, const std::vector<std::string>& args,
               const RunOptions& options) {
    TempDir links;
    std::string link = personality_link(links, name);
    if (options.uid >= 0) {
        // Another user may not reach the build directory (a checkout under /root): the link
        // points at a copy in the temporary directory instead.
        std::string copy = links / "veskoinit";
        fs::copy_file(binary(), copy);
        ::chmod(copy.c_str(), 0755);
        fs::remove(link);
        fs::create_symlink(copy, link);
    }
    std::vector<std::string> argv{link};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(link, argv, options);
}

Background::Background(const std::string& program, const std::vector<std::string>& argv,
                       const RunOptions& options) {
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC | O_NONBLOCK) != 0 || pipe2(err_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    pid_ = start(program, argv, options, null, out_pipe[1], err_pipe[1]);
    close(null);
    close(out_pipe[1]);
    close(err_pipe[1]);
    out_fd_ = out_pipe[0];
    err_fd_ = err_pipe[0];
}

Background::~Background() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    forget(pid_);
    close(out_fd_);
    close(err_fd_);
}

void Background::collect(int timeout_ms) {
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    if (poll(fds, 2, timeout_ms) <= 0) return;
    std::string* sinks[2] = {&out_, &err_};
    for (int i = 0; i < 2; ++i) {
        char buffer[4096];
        ssize_t n;
        while ((n = read(fds[i].fd, buffer, sizeof buffer)) > 0) sinks[i]->append(buffer, n);
    }
}

bool Background::wait_for_output(const std::string& text, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (out_.find(text) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        collect(static_cast<int>(left.count()));
    }
    return true;
}

void Background::collect_for(int ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        collect(static_cast<int>(left.count()));
    }
}

void adopt_orphans() {
    static std::once_flag once;
    std::call_once(once, [] {
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        std::thread([] {
            for (;;) {
                siginfo_t info{};
                if (waitid(P_ALL, 0, &info, WEXITED | WNOWAIT) != 0) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                    continue;
                }
                bool own;
                {
                    std::lock_guard<std::mutex> lock(children_lock);
                    own = own_children.count(info.si_pid) != 0;
                    if (!own) waitpid(info.si_pid, nullptr, 0);
                }
                // A child of our own is left for its waiter.
                if (own) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }).detach();
    });
}

std::string unreachable_by_others(const std::string& path) {
    for (fs::path at = fs::path(path); !at.empty(); at = at.parent_path()) {
        struct stat info;
        if (::stat(at.c_str(), &info) != 0 || (info.st_mode & S_IXOTH) == 0) {
            return at.string() + " cannot be entered by other users";
        }
        if (at == at.root_path()) break;
    }
    return "";
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

}  // namespace cli
