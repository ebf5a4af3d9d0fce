// The payload that every init runs in the peer benchmark, so that all of them start the same
// program, and the launcher that records when the init is executed. Static, no library.
//   launch [--age DIR] PATH ARGV0 [ARG...]
//                                write the monotonic clock to /exec-time, then execute PATH;
//                                --age first dates DIR an hour back (runsvdir passes over a
//                                directory changed within the current second)
//   stamp FILE                   write the monotonic clock to FILE, then sleep (SIGTERM ends it)
//   now                          print the monotonic clock
//   trio FILE                    two children and itself sleeping; SIGTERM ends all three;
//                                FILE is written once all three run
//   orphans N GO DONE            once GO exists, leave N orphans to process 1; then write DONE
//   crash FILE                   append one byte to FILE and exit with status 1
//   spawnloop N PROGRAM [ARG...] start PROGRAM N times, waiting for each, and print the CPU
//                                time of this process per start in nanoseconds
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern char** environ;

namespace {

long long monotonic_ns() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

void write_text(const char* path, const std::string& text, int flags = O_TRUNC) {
    int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0644);
    if (fd < 0) return;
    (void)!write(fd, text.data(), text.size());
    close(fd);
}

[[noreturn]] void sleep_forever() {
    for (;;) pause();
}

pid_t trio_children[2];

void end_trio(int) {
    for (pid_t child : trio_children) kill(child, SIGTERM);
    for (pid_t child : trio_children) waitpid(child, nullptr, 0);
    _exit(0);
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "launch" && argc > 3) {
        int first = 2;
        if (std::strcmp(argv[2], "--age") == 0 && argc > 5) {
            timespec times[2];
            clock_gettime(CLOCK_REALTIME, &times[0]);
            times[0].tv_sec -= 3600;
            times[1] = times[0];
            utimensat(AT_FDCWD, argv[3], times, 0);
            first = 4;
        }
        write_text("/exec-time", std::to_string(monotonic_ns()));
        execv(argv[first], argv + first + 1);
        return 127;
    }
    if (mode == "now") {
        std::printf("%lld\n", monotonic_ns());
        return 0;
    }
    if (mode == "stamp" && argc > 2) {
        write_text(argv[2], std::to_string(monotonic_ns()));
        sleep_forever();
    }
    if (mode == "trio" && argc > 2) {
        for (pid_t& child : trio_children) {
            child = fork();
            if (child == 0) sleep_forever();
        }
        signal(SIGTERM, end_trio);
        write_text(argv[2], "3");
        sleep_forever();
    }
    if (mode == "orphans" && argc > 4) {
        long count = std::atol(argv[2]);
        while (access(argv[3], F_OK) != 0) usleep(1000);
        for (long i = 0; i < count; ++i) {
            pid_t child = fork();
            if (child < 0) return 1;
            if (child == 0) {
                if (fork() == 0) _exit(0);
                _exit(0);
            }
            while (waitpid(child, nullptr, 0) < 0) {
            }
        }
        write_text(argv[4], "done");
        sleep_forever();
    }
    if (mode == "crash" && argc > 2) {
        write_text(argv[2], "x", O_APPEND);
        return 1;
    }
    if (mode == "spawnloop" && argc > 3) {
        long count = std::atol(argv[2]);
        for (long i = 0; i < count; ++i) {
            pid_t pid;
            if (posix_spawn(&pid, argv[3], nullptr, nullptr, argv + 3, environ) != 0) return 1;
            while (waitpid(pid, nullptr, 0) < 0) {
            }
        }
        rusage usage;
        getrusage(RUSAGE_SELF, &usage);
        long long ns = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000000LL +
                       (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1000LL;
        std::printf("%lld\n", ns / count);
        return 0;
    }
    std::fprintf(stderr, "payload: unknown mode\n");
    return 2;
}
