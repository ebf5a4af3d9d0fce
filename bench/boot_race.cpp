// The boot race (bench/boot_race.sh prepares its images): each init's Debian 12 image booted
// under QEMU with the same kernel, initramfs, memory and command line, BOOTS times in turn.
// Per boot: QEMU's start to process 1's first output (the first console text after the
// initramfs's hand-over mark) and to the login prompt; root logs in and runs
// vesko-race-measure, which reads process 1's resident memory, the sum over the init's own
// processes and how many processes were started before the login; then the init's power-off command
// (poweroff, or veskoinit's shutdown) is typed and timed to QEMU's exit, and e2fsck checks the root file system. Prints every boot, then
// the medians as a Markdown table, and writes them for the chart.
//   boot_race KERNEL INITRD BOOTS OUT_DIR NAME IMAGE OWN_PROCESSES POWEROFF [NAME ...]...
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "vm.hpp"

namespace {

struct Init {
    std::string name, image;
    std::string own;       // an extended regular expression of the init's command names
    std::string poweroff;  // the init's command that powers the machine off
};

struct Run {
    double handover = -1, first_output = -1, login = -1, poweroff = -1;
    long pid1_kb = -1, own_kb = -1, started = -1;
    bool clean = false;
    std::string running, first_line, failure;
};

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The value of KEY=VALUE in a line of words, or -1.
long field(const std::string& line, const std::string& key) {
    size_t at = line.find(" " + key + "=");
    return at == std::string::npos ? -1 : std::atol(line.c_str() + at + key.size() + 2);
}

Run boot(const Init& init, const std::string& kernel, const std::string& initrd) {
    vm::Scenario scenario;
    scenario.root_image = "/tmp/vesko-race-" + init.name + ".img";
    vm::run("cp --sparse=always " + vm::quote(init.image) + " " + vm::quote(scenario.root_image));
    scenario.kernel = kernel;
    scenario.initrd = initrd;
    scenario.root = "UUID=6e6f6465-6269-616e-0000-626f6f747261";
    scenario.init = "";
    scenario.kernel_arguments = "ro";
    scenario.memory_mb = 512;
    vm::Machine machine(scenario);

    Run run;
    const std::string mark = "vesko-race: handing over\n";
    // Waits, in steps of 10 ms, until the console after the mark holds TEXT; where it starts.
    auto wait_for = [&](const std::string& text, int timeout_ms) -> std::optional<size_t> {
        for (int waited = 0; waited <= timeout_ms; waited += 10) {
            machine.wait_console("\x01", 10);  // text that never comes: a pause that collects
            std::string console = machine.console();
            size_t after = console.find(mark);
            if (after != std::string::npos) {
                size_t at = console.find(text, after + mark.size());
                if (at != std::string::npos) return at;
            }
        }
        if (run.failure.empty()) run.failure = "no \"" + text + "\" on the console";
        return std::nullopt;
    };
    // The first output: any text after the mark but blanks.
    for (int waited = 0; waited <= 120000 && run.first_output < 0; waited += 10) {
        machine.wait_console("\x01", 10);
        std::string console = machine.console();
        size_t after = console.find(mark);
        if (after == std::string::npos) continue;
        if (run.handover < 0) run.handover = seconds_since(machine.started());
        size_t text = console.find_first_not_of(" \t\r\n", after + mark.size());
        if (text == std::string::npos) continue;
        run.first_output = seconds_since(machine.started());
        size_t end = console.find('\n', text);
        run.first_line = console.substr(text, end == std::string::npos ? std::string::npos : end - text);
    }
    if (run.first_output < 0) run.failure = "no output after the initramfs's mark";
    if (run.first_output >= 0 && wait_for("login: ", 300000)) {
        run.login = seconds_since(machine.started());
        machine.type("root\n");
        if (wait_for("~# ", 60000)) {
            machine.type("vesko-race-measure '" + init.own + "'\n");
            if (auto at = wait_for("vesko-race: running", 60000); at && wait_for("vesko-race: done", 10000)) {
                std::string console = machine.console();
                size_t measured = console.rfind("vesko-race: measured");
                std::string line = console.substr(measured, console.find('\n', measured) - measured);
                run.pid1_kb = field(line, "pid1");
                run.own_kb = field(line, "own");
                run.started = field(line, "started");
                size_t end = console.find('\n', *at);
                run.running = console.substr(*at + 20, end - *at - 20);
                machine.type(init.poweroff + "\n");
                auto typed = std::chrono::steady_clock::now();
                if (machine.wait_end(180000)) {
                    run.poweroff = seconds_since(typed);
                    run.clean = machine.disk_clean(0);
                } else {
                    run.failure = "no end within 180 s of poweroff";
                }
            }
        }
    }
    if (!run.failure.empty()) {
        std::string console = machine.console();
        std::fprintf(stderr, "%s: %s; the console's end:\n%s\n", init.name.c_str(), run.failure.c_str(),
                     console.substr(console.size() > 3000 ? console.size() - 3000 : 0).c_str());
    }
    return run;
}

template <class Get>
double median(const std::vector<Run>& runs, Get get) {
    std::vector<double> values;
    for (const Run& run : runs) {
        if (run.failure.empty()) values.push_back(static_cast<double>(get(run)));
    }
    return bench::median(values);
}

std::string figure(double value, const char* format) { return bench::figure(value, format, "n/a"); }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 9 || (argc - 5) % 4 != 0) {
        std::fprintf(stderr, "usage: boot_race KERNEL INITRD BOOTS OUT_DIR NAME IMAGE OWN_PROCESSES POWEROFF...\n");
        return 2;
    }
    std::string kernel = argv[1], initrd = argv[2], out = argv[4];
    int boots = std::atoi(argv[3]);
    std::vector<Init> inits;
    for (int i = 5; i + 3 < argc; i += 4) inits.push_back({argv[i], argv[i + 1], argv[i + 2], argv[i + 3]});

    std::map<std::string, std::vector<Run>> runs;
    // Round by round, so that a slow spell of this machine falls on every init alike.
    for (int round = 1; round <= boots; ++round) {
        for (const Init& init : inits) {
            Run run = boot(init, kernel, initrd);
            std::printf("%-9s boot %d: hand-over %5.2f s, first output %5.2f s, login %5.2f s, PID 1 %5ld kB, own %6ld kB, started %4ld,"
                        " poweroff %5.2f s, %s%s\n",
                        init.name.c_str(), round, run.handover, run.first_output, run.login, run.pid1_kb, run.own_kb, run.started,
                        run.poweroff, run.failure.empty() ? (run.clean ? "clean" : "NOT CLEAN") : "FAILED: ",
                        run.failure.c_str());
            if (round == 1) {
                std::printf("          first output: %s\n          running after the login:%s\n",
                            run.first_line.c_str(), run.running.c_str());
            }
            std::fflush(stdout);
            runs[init.name].push_back(run);
        }
    }

    std::ostringstream table, data;
    table << "| init | first output (s) | of it after the hand-over (s) | login prompt (s) | PID 1 RSS (kB) | init's processes RSS (kB) |"
             " processes started | poweroff (s) | clean |\n|---|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    data << "# init first_output login poweroff pid1_mb own_mb\n";
    for (const Init& init : inits) {
        const std::vector<Run>& list = runs[init.name];
        double first = median(list, [](const Run& r) { return r.first_output; });
        double own_start = median(list, [](const Run& r) { return r.first_output - r.handover; });
        double login = median(list, [](const Run& r) { return r.login; });
        double pid1 = median(list, [](const Run& r) { return r.pid1_kb; });
        double own = median(list, [](const Run& r) { return r.own_kb; });
        double started = median(list, [](const Run& r) { return r.started; });
        double poweroff = median(list, [](const Run& r) { return r.poweroff; });
        long clean = std::count_if(list.begin(), list.end(), [](const Run& r) { return r.failure.empty() && r.clean; });
        table << "| " << init.name << " | " << figure(first, "%.2f") << " | " << figure(own_start, "%.2f") << " | " << figure(login, "%.2f") << " | "
              << figure(pid1, "%.0f") << " | " << figure(own, "%.0f") << " | " << figure(started, "%.0f") << " | "
              << figure(poweroff, "%.2f") << " | " << clean << "/" << list.size() << " |\n";
        data << init.name << " " << first << " " << login << " " << poweroff << " " << pid1 / 1024 << " "
             << own / 1024 << "\n";
    }
    std::printf("\nMedians of %d boots each:\n\n%s", boots, table.str().c_str());
    std::ofstream(out + "/boot-race.md") << table.str();
    std::ofstream(out + "/boot-race.dat") << data.str();
    return 0;
}
