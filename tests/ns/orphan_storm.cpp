// A service for soak tests: leaves COUNT orphans to process 1, one after another (each a
// grandchild whose parent is gone before it ends), then prints a line and sleeps.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
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
