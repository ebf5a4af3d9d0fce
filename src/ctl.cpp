#include "ctl.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "fd.hpp"
#include "logging.hpp"
#include "result.hpp"
#include "text.hpp"

namespace ctl {

using vesko::fail;
using vesko::Result;
using vesko::Unexpected;

std::string display(const Error& error) {
    return std::visit(vesko::Overloaded{
                          [](const Open& e) { return "cannot open " + vesko::shown(e.path) + ": " + e.os.display(); },
                          [](const Read& e) { return "cannot read log: " + e.os.display(); },
                          [](const Write& e) { return "cannot write log output: " + e.os.display(); },
                          [](const NoLogInContainer& e) {
                              return "no log at " + vesko::shown(e.path) +
                                     ": in a container process 1 logs to its standard output (podman logs or "
                                     "docker logs CONTAINER), or to the file VESKO_LOG_PATH names";
                          },
                      },
                      error);
}

namespace {

constexpr const char* kUsage = "usage: veskoctl logs [-f|--follow]\n";

Unexpected<Error> read_failure() { return fail(Error{Read{vesko::last_os_error()}}); }

// Copies from the current position of LOG to its end onto standard output.
Result<void, Error> copy_to_end(int log) {
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(log, buffer, sizeof buffer);
        if (n == 0) return {};
        if (n < 0) {
            if (errno == EINTR) continue;
            return read_failure();
        }
        auto written = vesko::write_all(STDOUT_FILENO, std::string_view(buffer, static_cast<size_t>(n)));
        if (!written) return fail(Error{Write{written.error()}});
    }
}

void sleep_quarter_second() {
    timespec interval{0, 250'000'000L};
    while (nanosleep(&interval, &interval) != 0 && errno == EINTR) {
    }
}

// Keeps copying what is appended; survives truncation and replacement of the file.
Result<void, Error> follow(const std::string& path, vesko::Fd log) {
    for (;;) {
        // Output goes out with write(2) unbuffered, so there is nothing to flush here.
        sleep_quarter_second();
        off_t position = ::lseek(log.get(), 0, SEEK_CUR);
        if (position < 0) return read_failure();
        struct stat open_info;
        if (::fstat(log.get(), &open_info) != 0) {
            return read_failure();
        }
        struct stat path_info;
        if (::stat(path.c_str(), &path_info) != 0) {
            if (errno != ENOENT) return fail(Error{Open{path, vesko::last_os_error()}});
        } else if (path_info.st_dev == open_info.st_dev && path_info.st_ino == open_info.st_ino) {
            if (path_info.st_size < position && ::lseek(log.get(), 0, SEEK_SET) < 0) {
                return read_failure();
            }
        } else {
            auto replaced = vesko::open_fd(path, O_RDONLY);
            if (!replaced) return fail(Error{Open{path, replaced.error()}});
            log = std::move(*replaced);
        }
        auto copied = copy_to_end(log.get());
        if (!copied) return copied;
    }
}

Result<void, Error> show(bool follow_flag) {
    std::string path = logging::log_path();
    auto log = vesko::open_fd(path, O_RDONLY);
    if (!log && log.error().code == ENOENT && !logging::log_in_file(logging::in_container())) {
        return fail(Error{NoLogInContainer{path}});
    }
    if (!log) return fail(Error{Open{path, log.error()}});
    auto copied = copy_to_end(log->get());
    if (!copied || !follow_flag) return copied;
    return follow(path, std::move(*log));
}

}  // namespace

Command parse_command(const std::vector<std::string>& args) {
    if (args.empty()) return Usage{"a command is required"};
    if (args.size() == 1 && (args[0] == "help" || args[0] == "--help" || args[0] == "-h")) return Help{};
    if (args.size() == 1 && args[0] == "logs") return ShowLog{false};
    if (args.size() == 2 && args[0] == "logs" && (args[1] == "-f" || args[1] == "--follow")) return ShowLog{true};
    return Usage{"unknown command or option"};
}

int main(const std::vector<std::string>& args) {
    return std::visit(vesko::Overloaded{
                          [](const Help&) {
                              vesko::print_out(kUsage);
                              return 0;
                          },
                          [](const Usage& usage) {
                              vesko::print_err(std::string("veskoctl: ") + usage.problem + "\n" + kUsage);
                              return 2;
                          },
                          [](const ShowLog& command) {
                              auto shown = show(command.follow);
                              if (shown) return 0;
                              vesko::print_err("veskoctl: " + display(shown.error()) + "\n");
                              return 1;
                          },
                      },
                      parse_command(args));
}

}  // namespace ctl
