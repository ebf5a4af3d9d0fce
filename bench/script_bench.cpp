// The boot-time cost of script services: one metadata query per enabled service, each a run
// of the executable's runner and a shell with the prelude, against as many bare /bin/sh -c :
// runs; then the start phase, one start per service (a one-shot whose own work is running
// /bin/true), against as many bare shells plus the services' own work. Prints the medians and
// their ratios; asserts nothing.
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
    int services = argc > 1 ? std::atoi(argv[1]) : 50;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 7;
    fs::path dir = fs::temp_directory_path() / "vesko-script-bench";
    fs::remove_all(dir);
    fs::create_directories(dir / "svc");
    setenv("VESKO_CONF_DIR", (dir / "conf").c_str(), 1);
    setenv("VESKO_STATE_DIR", (dir / "state").c_str(), 1);
    std::vector<std::vector<std::string>> queries, bare, starts, work;
    for (int i = 0; i < services; ++i) {
        std::string name = "s" + std::to_string(i);
        std::ofstream(dir / "svc" / name) << "command=/bin/sleep\ncommand_args=100\ncommand_background=yes\n"
                                          << "depend() { need s" << (i > 0 ? i - 1 : 0) << "; use log; }\n";
        queries.push_back({VESKOINIT_BINARY, "--vesko-run", (dir / "svc" / name).string(), "metadata"});
        bare.push_back({"/bin/sh", "-c", ":"});
        std::string oneshot = "t" + std::to_string(i);
        std::ofstream(dir / "svc" / oneshot) << "service_type=oneshot\ncommand=/bin/true\n";
        starts.push_back({VESKOINIT_BINARY, "--vesko-run", (dir / "svc" / oneshot).string(), "start"});
        work.push_back({"/bin/sh", "-c", ":"});
        work.push_back({"/bin/true"});
    }
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);  // the records are not the point here
    std::vector<double> query_ms, bare_ms, start_ms, work_ms;
    for (int round = 0; round < rounds; ++round) {
        query_ms.push_back(run_all(queries, null));
        bare_ms.push_back(run_all(bare, null));
        start_ms.push_back(run_all(starts, null));
        work_ms.push_back(run_all(work, null));
    }
    std::printf("== %d metadata queries (the boot-time cost of %d enabled script services), median of %d\n", services,
                services, rounds);
    std::printf("queries %.1f ms, bare /bin/sh -c : runs %.1f ms, ratio %.2f\n", median(query_ms), median(bare_ms),
                median(query_ms) / median(bare_ms));
    std::printf("== %d starts (one-shots running /bin/true), median of %d\n", services, rounds);
    std::printf("starts %.1f ms, bare shells plus the services' own work %.1f ms, ratio %.2f\n", median(start_ms),
                median(work_ms), median(start_ms) / median(work_ms));
    fs::remove_all(dir);
    return 0;
}
