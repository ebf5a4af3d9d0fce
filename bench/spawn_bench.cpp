// Measures the cost of starting one child the way the Supervisor does, against glibc's
// posix_spawn and fork + exec, from a process with a large resident heap (fork copies page
// tables; a vfork-style start does not). Prints the median and 90th percentile.
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include "spawn.hpp"

extern char** environ;

namespace {

double now_us() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

void measure(const char* label, int runs, const std::function<pid_t()>& start) {
    std::vector<double> samples;
    samples.reserve(runs);
    for (int i = 0; i < runs; ++i) {
        double begin = now_us();
        pid_t pid = start();
        samples.push_back(now_us() - begin);
        waitpid(pid, nullptr, 0);
    }
    std::sort(samples.begin(), samples.end());
    std::printf("%-28s median %7.1f us   p90 %7.1f us   (%d runs)\n", label, samples[runs / 2],
                samples[runs * 9 / 10], runs);
}

}  // namespace

int main(int argc, char** argv) {
    int runs = argc > 1 ? std::atoi(argv[1]) : 2000;
    const char* program = "/bin/true";
    // A resident heap the size of a busy process, so that copying it would show.
    size_t ballast_size = 64u << 20;
    char* ballast = static_cast<char*>(std::malloc(ballast_size));
    std::memset(ballast, 1, ballast_size);

    std::vector<std::string> command{program};
    measure("vesko::spawn (clone VM|VFORK)", runs, [&] { return *vesko::spawn(command); });
    measure("posix_spawn", runs, [&] {
        pid_t pid;
        char* args[] = {const_cast<char*>(program), nullptr};
        posix_spawn(&pid, program, nullptr, nullptr, args, environ);
        return pid;
    });
    measure("fork + exec (64 MB heap)", runs, [&] {
        pid_t pid = fork();
        if (pid == 0) {
            execl(program, program, nullptr);
            _exit(127);
        }
        return pid;
    });
    std::printf("(times run from the call until the child has executed %s)\n", program);
    return ballast[ballast_size - 1] == 1 ? 0 : 1;
}
