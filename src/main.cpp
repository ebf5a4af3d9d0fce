#include "main.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <optional>

#include "admin.hpp"
#include "ctl.hpp"
#include "fd.hpp"
#include "helpers.hpp"
#include "logging.hpp"
#include "pid1.hpp"
#include "power.hpp"
#include "runner.hpp"
#include "service.hpp"
#include "shutdown.hpp"
#include "spawn.hpp"
#include "text.hpp"

namespace entry {

namespace {

using vesko::shown;
using vesko::print_err;

// Descriptors 0, 1 and 2 must be open before anything else is opened, or a later open would
// land on one of them and be written to as standard output. A kernel that found no console
// starts process 1 with none of them, often before /dev exists: aborting there would panic
// the machine, so process 1 holds the places with a path descriptor of / (reads and writes
// fail on it) until the log takes over.
void ensure_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        int opened = open("/dev/null", O_RDWR);
        if (opened < 0 && getpid() == 1) opened = open("/", O_PATH);
        if (opened != fd) std::abort();
    }
}

// Writes the check mode's report: a report that cannot be written is a failure.
int report(std::string_view text) {
    auto written = vesko::write_all(STDOUT_FILENO, text);
    if (written) return 0;
    print_err("veskoinit: cannot write report: " + written.error().display() + "\n");
    return 1;
}

// Process 1: the kernel hands it every word of its command line that it does not know itself
// (single, splash, a typo). None of them may make it exit, which would panic the machine;
// only `-- COMMAND` means something (the main program). In a container process 1 exits:
// with 1 after a fatal failure, so that the runtime reports it and applies its policy.
int process_one(const std::vector<std::string>& arguments) {
    std::optional<shutdown::FinalStage> final_stage;
    pid1::Start start;
    start.container = pid1::in_container();
    if (!arguments.empty() && arguments[0] == shutdown::kFinalStage) {
        // Started by a shutdown: it must end one, never boot again (which would restart every
        // service of a machine that was asked to power off).
        std::vector<std::string> rest(arguments.begin() + 1, arguments.end());
        final_stage = shutdown::parse_final_stage(rest);
        if (!final_stage) {
            final_stage = shutdown::fallback_final_stage(rest);
            const char* words[] = {"a reboot", "a power-off", "a halt"};
            print_err(std::string("veskoinit: warning: the arguments of the shutdown's last stage are another "
                                  "version's; finishing it with ") + words[static_cast<int>(final_stage->request)] + "\n");
        }
    } else if (arguments.size() > 1 && arguments[0] == "--") {
        start.main_program.assign(arguments.begin() + 1, arguments.end());
        start.main_program[0] = vesko::search_path(start.main_program[0]);
    }
    if (!arguments.empty() && !final_stage && start.main_program.empty()) {
        std::string ignored;
        for (const std::string& argument : arguments) ignored += " " + shown(argument);
        print_err("veskoinit: ignoring arguments:" + ignored + "\n");
    }
    std::string reason;
    // Nothing may end process 1: whatever escapes the boot or the loop is reported like any
    // other fatal failure.
    try {
        if (final_stage) {
            reason = pid1::display(pid1::finish_shutdown(*final_stage));
        } else {
            auto ended = pid1::run(start);
            if (ended) return *ended;
            reason = pid1::display(ended.error());
        }
    } catch (const std::exception& failure) {
        reason = std::string("unexpected failure: ") + failure.what();
    } catch (...) {
        reason = "unexpected failure";
    }
    if (!start.container) pid1::park_forever(reason);
    pid1::report_fatal(reason);
    return 1;
}

int init_personality(const std::vector<std::string>& arguments) {
    if (getpid() == 1) return process_one(arguments);
    if (arguments.empty()) {
        print_err("veskoinit: refusing to run because this process is not PID 1\n");
        print_err("veskoinit: use --check for a safe host-side smoke test\n");
        return 1;
    }
    if (arguments[0] == "--check") {
        if (arguments.size() == 1) return report("veskoinit: binary check passed\n");
        if (arguments.size() == 2) return check_services(arguments[1]);
        print_err("veskoinit: usage: veskoinit --check [SERVICE_DIRECTORY]\n");
        return 2;
    }
    print_err("veskoinit: unknown argument: " + shown(arguments[0]) + "\n");
    return 2;
}

}  // namespace

std::string program_name(std::string_view argv0) {
    std::vector<std::string_view> components = vesko::path_components(argv0);
    if (components.empty() || components.back() == "." || components.back() == "..") return "veskoinit";
    return std::string(components.back());
}

int check_services(const std::string& directory) {
    auto catalog = service::Catalog::load(directory);
    if (!catalog) {
        print_err("veskoinit: configuration error: " + service::display(catalog.error()) + "\n");
        return 1;
    }
    std::string text = "veskoinit: validated " + std::to_string(catalog->services.size()) +
                         " service(s) in " + shown(directory) + "\n";
    size_t position = 0;
    for (const std::string& name : catalog->start_order) {
        text += vesko::pad_left(std::to_string(++position), 4) + ". " + name + "\n";
    }
    return report(text);
}

int dispatch(const std::vector<std::string>& argv) {
    std::string name = argv.empty() ? "veskoinit" : program_name(argv[0]);
    std::vector<std::string> arguments;
    if (argv.size() > 1) arguments.assign(argv.begin() + 1, argv.end());
    if (name == "veskoctl") return ctl::main(arguments);
    if (name == "vesko-run") return runner::main(arguments);
    if (name == "vesko-service") return admin::main(arguments);
    if (name == "halt" || name == "shutdown" || name == "reboot") return power::main(name, arguments);
    if (!arguments.empty() && arguments[0] == "--vesko-run") {
        return runner::main(std::vector<std::string>(arguments.begin() + 1, arguments.end()));
    }
    if (arguments.size() == 1 && arguments[0] == logging::kRelay) return logging::relay_main();
    // What the script services' prelude calls.
    if (!arguments.empty() && arguments[0] == helpers::kDaemon) {
        return helpers::daemon_main(std::vector<std::string>(arguments.begin() + 1, arguments.end()));
    }
    if (!arguments.empty() && arguments[0] == helpers::kServicePid) {
        return helpers::service_pid_main(std::vector<std::string>(arguments.begin() + 1, arguments.end()));
    }
    if (!arguments.empty() && arguments[0] == helpers::kCheckpath) {
        return helpers::checkpath_main(std::vector<std::string>(arguments.begin() + 1, arguments.end()));
    }
    return init_personality(arguments);
}

}  // namespace entry

int main(int argc, char** argv) {
    entry::ensure_standard_descriptors();
    signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args(argv, argv + argc);
    return entry::dispatch(args);
}
