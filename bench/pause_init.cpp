// The smallest possible process 1 for comparison: says it is ready, then only pause()s.
#include <unistd.h>

int main() {
    (void)!write(STDERR_FILENO, "PID 1 event loop started\n", 25);
    for (;;) pause();
}
