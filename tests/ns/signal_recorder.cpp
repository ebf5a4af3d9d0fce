// A stand-in process 1 for tests of the power commands: runs one command (optionally as the
// unprivileged user nobody), then reports its exit status and every signal that reached
// process 1 meanwhile, one line each, and exits.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

void say(const std::string& text) { (void)!write(STDOUT_FILENO, text.data(), text.size()); }

}  // namespace

int main(int argc, char** argv) {
    // Blocked signals wait, even those that process 1 of a namespace would otherwise drop.
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, nullptr);
    int first = 1;
    bool as_nobody = argc > 1 && std::strcmp(argv[1], "--as-nobody") == 0;
    if (as_nobody) ++first;
    if (first >= argc) return 2;
    pid_t child = fork();
    if (child == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (as_nobody && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(126);
        execv(argv[first], argv + first);
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
    }
    say("exit " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)) + "\n");
    sigset_t pending;
    sigpending(&pending);
    for (int signal = 1; signal < 65; ++signal) {
        if (signal != SIGCHLD && sigismember(&pending, signal) == 1) say("signal " + std::to_string(signal) + "\n");
    }
    return 0;
}
