// The boot-time cost of script services, through the calls process 1 makes: the metadata
// phase of 50 enabled services (one query each: the runner, a copy of the caller, and a shell
// with the prelude)
// against as many bare /bin/sh -c : runs; then the start phase, one start per service (a
// one-shot whose own work is running /bin/true), against as many bare shells plus the
// services' own work. Prints the medians and their ratios; asserts nothing.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "helpers.hpp"
#include "runner.hpp"
#include "script_action.hpp"
#include "script_order.hpp"
#include "spawn.hpp"

namespace {

using bench::median;
using bench::now_ms;

namespace fs = std::filesystem;

// Milliseconds to run each of COMMANDS to its end, one after another.
double run_all(const std::vector<std::vector<std::string>>& commands, int output) {
    vesko::SpawnOptions options;
    options.redirects = {{output, STDOUT_FILENO}};
    double start = now_ms();
    for (const auto& argv : commands) {
        auto pid = vesko::spawn(argv, options);
        if (!pid) {
            std::fprintf(stderr, "cannot start %s\n", argv[0].c_str());
            std::exit(1);
        }
        int status;
        waitpid(*pid, &status, 0);
    }
    return now_ms() - start;
}

}  // namespace

int main(int argc, char** argv) {
    // The prelude calls the running executable back as its helper.
    if (argc > 1 && std::string(argv[1]) == helpers::kServicePid) {
        return helpers::service_pid_main(std::vector<std::string>(argv + 2, argv + argc));
    }
    int services = argc > 1 ? std::atoi(argv[1]) : 50;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 7;
    fs::path dir = fs::temp_directory_path() / "vesko-script-bench";
    fs::remove_all(dir);
    fs::create_directories(dir / "svc");
    setenv("VESKO_CONF_DIR", (dir / "conf").c_str(), 1);
    setenv("VESKO_STATE_DIR", (dir / "state").c_str(), 1);
    admin::Directories directories{(dir / "svc").string(), (dir / "enabled").string()};
    fs::create_directories(directories.enabled_dir);
    std::vector<std::string> enabled, oneshots;
    std::vector<std::vector<std::string>> queries, shells, bare, work;
    for (int i = 0; i < services; ++i) {
        std::string name = "s" + std::to_string(i);
        std::ofstream(dir / "svc" / name) << "command=/bin/sleep\ncommand_args=100\ncommand_background=yes\n"
                                          << "depend() { " << (i > 0 ? "need s" + std::to_string(i - 1) + "; " : "")
                                          << "use log; }\n";
        enabled.push_back(name);
        queries.push_back({VESKOINIT_BINARY, "--vesko-run", (dir / "svc" / name).string(), "metadata"});
        shells.push_back(runner::shell_command((dir / "svc" / name).string(), "metadata", name));
        bare.push_back({"/bin/sh", "-c", ":"});
        std::string oneshot = "t" + std::to_string(i);
        std::ofstream(dir / "svc" / oneshot) << "service_type=oneshot\ncommand=/bin/true\n";
        oneshots.push_back(oneshot);
        work.push_back({"/bin/sh", "-c", ":"});
        work.push_back({"/bin/true"});
    }
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);  // the records are not the point here
    std::vector<double> query_ms, exec_ms, shell_ms, bare_ms, start_ms, work_ms;
    for (int round = 0; round < rounds; ++round) {
        double start = now_ms();
        if (!admin::enabled_start_order(directories, enabled)) {
            std::fprintf(stderr, "the metadata phase failed\n");
            return 1;
        }
        query_ms.push_back(now_ms() - start);
        exec_ms.push_back(run_all(queries, null));
        shell_ms.push_back(run_all(shells, null));
        bare_ms.push_back(run_all(bare, null));
        start = now_ms();
        for (const std::string& name : oneshots) {
            if (auto started = admin::run_action(directories, name, "start", true); !started) {
                std::fprintf(stderr, "the start of %s failed: %s\n", name.c_str(), admin::display(started.error()).c_str());
                return 1;
            }
        }
        start_ms.push_back(now_ms() - start);
        work_ms.push_back(run_all(work, null));
    }
    std::printf("== %d metadata queries (the boot-time cost of %d enabled script services), median of %d\n", services,
                services, rounds);
    std::printf("the metadata phase %.1f ms, bare /bin/sh -c : runs %.1f ms, ratio %.2f\n", median(query_ms),
                median(bare_ms), median(query_ms) / median(bare_ms));
    std::printf("(the same queries through the executable, veskoinit --vesko-run: %.1f ms, ratio %.2f;"
                " their shells alone: %.1f ms, ratio %.2f)\n",
                median(exec_ms), median(exec_ms) / median(bare_ms), median(shell_ms), median(shell_ms) / median(bare_ms));
    std::printf("== %d starts (one-shots running /bin/true), median of %d\n", services, rounds);
    std::printf("starts %.1f ms, bare shells plus the services' own work %.1f ms, ratio %.2f\n", median(start_ms),
                median(work_ms), median(start_ms) / median(work_ms));
    fs::remove_all(dir);
    return 0;
}
