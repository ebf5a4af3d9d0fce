#include "ctl.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <map>

#include "control.hpp"
#include "fd.hpp"
#include "logging.hpp"
#include "pid1.hpp"
#include "result.hpp"
#include "script_action.hpp"
#include "script_dirs.hpp"
#include "script_order.hpp"
#include "spawn.hpp"
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
constexpr const char* kCommands =
    "usage: veskoctl logs [-f|--follow]\n"
    "       veskoctl status [NAME...]\n"
    "       veskoctl start|stop|restart NAME...\n"
    "       veskoctl reload [NAME...]\n"
    "       veskoctl help\n";

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
        struct stat open_info;
        if (position < 0 || ::fstat(log.get(), &open_info) != 0) return read_failure();
        auto named = vesko::path_names(path, vesko::FileId{open_info.st_dev, open_info.st_ino});
        if (!named) return fail(Error{Open{path, named.error()}});
        if (*named == vesko::Named::TheFile && open_info.st_size < position && ::lseek(log.get(), 0, SEEK_SET) < 0) {
            return read_failure();
        }
        if (*named == vesko::Named::AnotherFile) {
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
    if (!log && log.error().code == ENOENT && !logging::log_in_file(pid1::in_container())) {
        return fail(Error{NoLogInContainer{path}});
    }
    if (!log) return fail(Error{Open{path, log.error()}});
    auto copied = copy_to_end(log->get());
    if (!copied || !follow_flag) return copied;
    return follow(path, std::move(*log));
}

// Asks process 1 REQUEST: the text of its answer, or (after printing why) the exit status.
Result<std::string, int> ask_process_one(const std::string& request) {
    auto answer = control::ask(control::kSocketPath, request);
    if (!answer) {
        vesko::print_err("veskoctl: " + answer.error() + "\n");
        return fail(1);
    }
    if (answer->status != 0) {
        vesko::print_err(answer->text);
        return fail(answer->status);
    }
    return std::move(answer->text);
}

// Status lines by the name that begins each, of the kind KIND only when one is given.
std::map<std::string, std::string> by_name(std::string_view lines, std::string_view kind = {}) {
    std::map<std::string, std::string> named;
    for (std::string_view line : vesko::split_lines(lines)) {
        std::vector<std::string_view> fields = vesko::split_fields(line);
        if (!kind.empty() && (fields.size() < 2 || fields[1] != kind)) continue;
        named.emplace(line.substr(0, line.find(' ')), line);
    }
    return named;
}

// The request for the status of the direct services among NAMES (all when empty).
std::string status_request(const std::vector<std::string>& names) {
    return names.empty() ? "status\n" : "status " + vesko::join(names, " ") + "\n";
}

// The status line of the script service NAME. Its status action says by its exit status (0
// running, 3 stopped, 1 or 2 ended: LSB's dead with its pid or lock file left, else unknown),
// together with SEEN, process 1's line about it when the boot started it or passed it over.
// Unless its status says it runs (started by hand since), one that the boot passed over keeps
// that line (failed, and why), one whose daemon has failed says how (its pid file may be gone
// with it), and one that left no daemon (a one-shot) is `started` whatever its status says.
// One whose daemons run is running also when its script has no status action (which prints
// its usage and exits 1); one whose daemons all exited with status 0 is stopped when its
// status says so, else started.
std::string script_status_line(const admin::Directories& directories, const std::string& name,
                               const std::string* seen = nullptr) {
    auto done = admin::run_action(directories, name, "status", true);
    std::vector<std::string_view> fields = seen ? vesko::split_fields(*seen) : std::vector<std::string_view>{};
    std::string_view saw = fields.size() > 2 ? fields[2] : "";
    std::string state = "running";
    if (!done) {
        const auto* ended = std::get_if<admin::ActionFailed>(&done.error());
        std::string status = ended ? ended->status : "";
        if (saw == "failed" || saw == "ended") return *seen + "\n";
        if (saw == "started" || (saw == "done" && status != "3")) {
            state = "started";
        } else if (status == "3") {
            state = "stopped";
        } else if (saw != "running") {
            state = status == "1" || status == "2" ? "ended" : "unknown";
        }
    }
    return name + " script " + state + " - - - - -\n";
}

// Prints the status lines of NAMES, or of every service when none are named: the enabled
// script services in their start order (then those that cannot be ordered), then the direct
// services in theirs (the boot's order). Exit status 0 when each of them runs, 3 when one
// does not, 1 on an error.
int show_status(const std::vector<std::string>& names) {
    // Process 1 is asked first: it answers root alone, and only root's scripts run here.
    auto answer = ask_process_one(status_request(names));
    if (!answer) return answer.error();
    std::map<std::string, std::string> direct = by_name(*answer, "direct"), seen_scripts = by_name(*answer, "script");
    auto seen_script = [&](const std::string& name) {
        auto found = seen_scripts.find(name);
        return found != seen_scripts.end() ? &found->second : nullptr;
    };
    admin::Directories directories = admin::Directories::from_environment();
    std::string shown;
    auto failed = [&shown](const std::string& why) {
        vesko::print_out(shown);
        vesko::print_err("veskoctl: " + why + "\n");
        return 1;
    };
    if (names.empty()) {
        std::vector<admin::Error> skipped;
        auto plan = admin::current_plan(directories, skipped);
        if (!plan) return failed(admin::display(plan.error()));
        std::vector<std::string> scripts = plan->order;
        for (const admin::PassedOver& passed : plan->passed_over) scripts.push_back(passed.name);
        for (const std::string& name : scripts) shown += script_status_line(directories, name, seen_script(name));
        for (std::string_view line : vesko::split_lines(*answer)) {
            std::vector<std::string_view> fields = vesko::split_fields(line);
            if (fields.size() > 1 && fields[1] == "direct") shown += std::string(line) + "\n";
        }
    }
    for (const std::string& name : names) {
        if (direct.count(name) != 0) {
            shown += direct[name] + "\n";
        } else if (seen_script(name) != nullptr || admin::service_path(directories, name)) {
            shown += script_status_line(directories, name, seen_script(name));
        } else {
            return failed("no service named " + vesko::quoted(name));
        }
    }
    vesko::print_out(shown);
    for (std::string_view line : vesko::split_lines(shown)) {
        std::vector<std::string_view> fields = vesko::split_fields(line);
        if (fields.size() < 3 || (fields[2] != "running" && fields[2] != "started")) return 3;
    }
    return 0;
}

// The status lines of the direct services among NAMES by name, from process 1.
Result<std::map<std::string, std::string>, std::string> direct_status(const std::vector<std::string>& names) {
    auto answer = control::ask(control::kSocketPath, status_request(names));
    if (!answer) return fail(answer.error());
    if (answer->status != 0) return fail(answer->text);
    return by_name(answer->text, "direct");
}

// The pid field of a status line, "-" when it does not run.
std::string pid_of(const std::string& line) {
    std::vector<std::string_view> fields = vesko::split_fields(line);
    return fields.size() > 3 && (fields[2] == "running" || fields[2] == "starting") ? std::string(fields[3]) : "-";
}

// Start, stop or restart: direct services through process 1, which then waits (up to 15 s)
// until each has stopped or runs again with a new process; script services as
// vesko-service runs their action.
int control_services(const std::string& action, const std::vector<std::string>& names) {
    auto before = direct_status(names);
    if (!before) {
        vesko::print_err("veskoctl: " + before.error() + (before.error().back() == '\n' ? "" : "\n"));
        return 1;
    }
    std::vector<std::string> direct;
    for (const std::string& name : names) {
        if (before->count(name) != 0) {
            direct.push_back(name);
            continue;
        }
        auto done = admin::run_action(admin::Directories::from_environment(), name, action, true);
        if (!done) {
            vesko::print_err("veskoctl: " + admin::display(done.error()) + "\n");
            return 1;
        }
    }
    if (direct.empty()) return 0;
    auto answer = ask_process_one(action + " " + vesko::join(direct, " ") + "\n");
    if (!answer) return answer.error();
    vesko::print_out(*answer);
    if (action == "start" || action == "reload") return 0;
    timespec deadline = vesko::deadline_after(15000);
    for (;;) {
        auto now = direct_status(direct);
        bool done = now.ok();
        for (const std::string& name : direct) {
            std::string pid = now ? pid_of((*now)[name]) : "-";
            // A one-shot service that has done its work runs without a process.
            std::string was = pid_of((*before)[name]);
            bool again = was == "-" ? now && vesko::split_fields((*now)[name]).size() > 2 &&
                                          vesko::split_fields((*now)[name])[2] == "running"
                                    : pid != "-" && pid != was;
            done = done && (action == "stop" ? pid == "-" : again);
        }
        if (done) return 0;
        if (vesko::passed(deadline)) {
            vesko::print_err("veskoctl: " + action + " of " + vesko::join(direct, ", ") + " not done after 15 seconds\n");
            return 1;
        }
        timespec step{0, 100'000'000L};
        nanosleep(&step, nullptr);
    }
}

}  // namespace

Command parse_command(const std::vector<std::string>& args) {
    if (args.empty()) return Usage{"a command is required"};
    if (args.size() == 1 && (args[0] == "help" || args[0] == "--help" || args[0] == "-h")) return Help{};
    if (args.size() == 1 && args[0] == "logs") return ShowLog{false};
    if (args.size() == 2 && args[0] == "logs" && (args[1] == "-f" || args[1] == "--follow")) return ShowLog{true};
    if (args[0] == "status") return ShowStatus{{args.begin() + 1, args.end()}};
    if (args.size() == 1 && args[0] == "reload") return Reload{};
    if (args.size() > 1 && (args[0] == "start" || args[0] == "stop" || args[0] == "restart" || args[0] == "reload")) {
        return Control{args[0], {args.begin() + 1, args.end()}};
    }
    return Usage{"unknown command or option"};
}

int main(const std::vector<std::string>& args) {
    return std::visit(vesko::Overloaded{
                          [](const Help&) {
                              vesko::print_out(kCommands);
                              return 0;
                          },
                          [](const ShowStatus& command) { return show_status(command.names); },
                          [](const Control& command) { return control_services(command.action, command.names); },
                          [](const Reload&) {
                              auto answer = ask_process_one("reload\n");
                              if (!answer) return answer.error();
                              vesko::print_out(*answer);
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
