// A stand-in for process 1 in namespace tests: runs the file-system pass of boot the way
// process 1 does, prints the summary, then lists what is mounted, and exits. With --log it
// sets up the log file after the pass, as process 1 does, and the summary goes there; the
// listing ends with the root's mount options and its file system's. With
// --shutdown-in-child it calls the shutdown sequence from a process that is not process 1.
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "fd.hpp"
#include "logging.hpp"
#include "mounts.hpp"
#include "shutdown.hpp"

int main(int argc, char** argv) {
    std::string option = argc > 1 ? argv[1] : "";
    if (option == "--shutdown-in-child") {
        pid_t child = fork();
        if (child == 0) {
            service::Catalog catalog;
            supervisor::Supervisor supervisor(catalog);
            vesko::Fd console;
            shutdown::Error error = shutdown::execute(shutdown::PowerRequest::Reboot, supervisor, nullptr, console);
            vesko::print_out(shutdown::display(error) + "\n");
            _exit(0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    int runs = option == "--twice" ? 2 : 1;
    for (int run = 0; run < runs; ++run) {
        auto summary = mounts::mount_from_fstab("/etc/fstab");
        if (!summary) {
            vesko::print_err("veskoinit: fatal: filesystem setup failed: " + mounts::display(summary.error()) + "\n");
            return 1;
        }
        if (option == "--log") {
            auto path = logging::initialize();
            if (!path) {
                vesko::print_err("veskoinit: fatal: logging setup failed: " + logging::display(path.error()) + "\n");
                return 1;
            }
            vesko::print_err("veskoinit: " + mounts::describe(*summary) + "\n");
            vesko::print_err("veskoinit: logging output to " + *path + "\n");
            return 0;
        }
        vesko::print_err("veskoinit: " + mounts::describe(*summary) + "\n");
    }
    // Mount point, type and source of every mount, for the test to check.
    auto mountinfo = vesko::read_file("/proc/self/mountinfo");
    if (!mountinfo) return 2;
    std::string listing, root;
    size_t at = 0;
    while (at < mountinfo->size()) {
        size_t end = mountinfo->find('\n', at);
        std::string line = mountinfo->substr(at, end - at);
        at = end == std::string::npos ? mountinfo->size() : end + 1;
        size_t separator = line.find(" - ");
        std::string before = line.substr(0, separator), after = line.substr(separator + 3);
        size_t p = 0;
        for (int field = 0; field < 4; ++field) p = before.find(' ', p) + 1;
        std::string mount_point = before.substr(p, before.find(' ', p) - p);
        std::string type = after.substr(0, after.find(' '));
        size_t source_start = after.find(' ') + 1;
        std::string source = after.substr(source_start, after.find(' ', source_start) - source_start);
        listing += "mount: " + mount_point + " " + type + " " + source + "\n";
        // The root's mount options and its file system's, as the last line.
        if (mount_point == "/") {
            std::string options = before.substr(before.find(' ', p) + 1);
            std::string super = after.substr(after.find(' ', source_start) + 1);
            root = "root: " + options.substr(0, options.find(' ')) + " " + super + "\n";
        }
    }
    vesko::print_out(listing + root);
    return 0;
}
