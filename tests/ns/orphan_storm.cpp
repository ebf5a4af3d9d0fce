// A service for namespace tests. With a COUNT, it leaves COUNT orphans to process 1, one after
// another (each a grandchild whose parent is gone before it ends), then prints a line and
// sleeps. With --thread-leader it leaves one orphan whose main thread has exited while its
// other thread runs on (the kernel lists it as a zombie), and exits. With --own-group it moves
// to a process group of its own and, 6 s later, creates /tmp/late.
#include <fcntl.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void* idle(void*) {
    for (;;) pause();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--thread-leader") == 0) {
        if (fork() == 0) {
            pthread_t thread;
            if (pthread_create(&thread, nullptr, idle, nullptr) != 0) _exit(1);
            pthread_exit(nullptr);
        }
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "--own-group") == 0) {
        // Leaves its process group for one of its own, as `timeout` does, and marks the
        // moment when it outlived what should have ended it.
        if (setpgid(0, 0) != 0) return 1;
        sleep(6);
        return creat("/tmp/late", 0644) >= 0 ? 0 : 1;
    }
    long count = argc > 1 ? std::atol(argv[1]) : 0;
    for (long i = 0; i < count; ++i) {
        pid_t child = fork();
        if (child < 0) return 1;
        if (child == 0) {
            if (fork() == 0) _exit(0);  // the orphan: its parent exits first, or at once after
            _exit(0);
        }
        while (waitpid(child, nullptr, 0) < 0) {
        }
    }
    std::string done = "storm of " + std::to_string(count) + " orphans done\n";
    (void)!write(STDOUT_FILENO, done.data(), done.size());
    for (;;) pause();
}
