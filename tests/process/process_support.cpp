#include "process_support.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace process {

CapturedStderr::CapturedStderr() {
    char pattern[] = "/tmp/vesko-stderr-XXXXXX";
    int fd = mkstemp(pattern);
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    path_ = pattern;
    saved_ = fcntl(2, F_DUPFD_CLOEXEC, 3);
    dup2(fd, 2);
    close(fd);
}

CapturedStderr::~CapturedStderr() {
    dup2(saved_, 2);
    close(saved_);
    unlink(path_.c_str());
}

std::string CapturedStderr::text() const { return slurp(path_); }

bool eventually(const std::function<bool()>& done, int timeout_ms, const std::function<void()>& step) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (step) step();
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void kill_children() {
    for (int round = 0; round < 50; ++round) {
        std::istringstream children(slurp("/proc/self/task/" + std::to_string(gettid()) + "/children"));
        bool any = false;
        for (pid_t pid; children >> pid;) {
            kill(pid, SIGKILL);
            any = true;
        }
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        if (!any) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

}  // namespace process
