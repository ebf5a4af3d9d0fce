// The boot race (bench/boot_race.sh prepares its images): each init's Debian 12 image booted
// under QEMU with the same kernel, initramfs, memory and command line, BOOTS times in turn.
// Per boot: QEMU's start to process 1's first output (the first console text after the
// initramfs's hand-over mark) and to the login prompt; root logs in and runs
// vesko-race-measure, which lists every process with its proportional and resident memory,
// the guest's used memory, how many processes were started before the login and what of
// the boot's work the guest shows done; then the init's power-off command (poweroff, or
// veskoinit's shutdown) is typed and timed to QEMU's exit, and e2fsck checks the root file
// system. Every kernel command line sets VESKO_SHUTDOWN_TIMES, with which veskoinit's process 1
// writes the monotonic time at the end of each step of its shutdown ("veskoinit: time SECONDS
// STEP", into its log and, after the log is let go, onto the console; other inits ignore it):
// with the console's last such line as it arrives here, each boot's power-off is broken down
// into its steps, from the request's way to process 1 to the kernel's power-off and QEMU's
// exit. Prints every boot (a failed one with why), then the medians of the boots that
// finished as Markdown tables, and writes them for the chart.
//   boot_race KERNEL INITRD BOOTS OUT_DIR NAME IMAGE OWN_PROCESSES POWEROFF [NAME ...]...
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
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
    long pid1_pss = -1, own_pss = -1, used_kb = -1, started = -1;
    bool clean = false;
    std::string running, tasks, first_line, failure;
    std::string own;  // the init's processes with their PSS: " COMM PID N kB" each
    std::vector<std::pair<std::string, double>> steps;  // the power-off's steps and their seconds
};

// The lines "veskoinit: time SECONDS STEP" in TEXT: each step with the monotonic time at its end.
std::vector<std::pair<double, std::string>> time_marks(const std::string& text) {
    std::vector<std::pair<double, std::string>> marks;
    const std::string prefix = "veskoinit: time ";
    for (size_t at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at + 1)) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) break;
        char* after = nullptr;
        double seconds = std::strtod(text.c_str() + at + prefix.size(), &after);
        if (after == nullptr || *after != ' ') continue;
        std::string step = text.substr(after + 1 - text.c_str(), end - (after + 1 - text.c_str()));
        while (!step.empty() && step.back() == '\r') step.pop_back();
        marks.emplace_back(seconds, step);
    }
    return marks;
}

// The power-off's steps: from the command's typing to the request's mark in process 1, each
// step to its end mark, and from the last mark (its arrival here, LAST_ARRIVAL seconds after
// the typing) to QEMU's exit (TOTAL). MARKS are the guest's, in order; the last mark is
// placed on this side's clock by its arrival on the console.
std::vector<std::pair<std::string, double>> power_off_steps(const std::vector<std::pair<double, std::string>>& marks,
                                                            double last_arrival, double total) {
    std::vector<std::pair<std::string, double>> steps;
    if (marks.empty()) return steps;
    double span = marks.back().first - marks.front().first;
    if (last_arrival >= 0) steps.emplace_back("the request's way to process 1", last_arrival - span);
    for (size_t i = 1; i < marks.size(); ++i) steps.emplace_back(marks[i].second, marks[i].first - marks[i - 1].first);
    if (last_arrival >= 0) steps.emplace_back("the kernel's power-off and QEMU's exit", total - last_arrival);
    return steps;
}

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
    scenario.kernel_arguments = "ro VESKO_SHUTDOWN_TIMES=1";
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
            machine.type("vesko-race-measure\n");
            if (auto at = wait_for("vesko-race: measured", 60000); at && wait_for("vesko-race: done", 10000)) {
                std::string console = machine.console();
                size_t end = console.find('\n', *at);
                std::string line = console.substr(*at, end - *at);
                run.used_kb = field(line, "used");
                run.started = field(line, "started");
                size_t tasks = console.find("vesko-race: tasks", end);
                if (tasks != std::string::npos) run.tasks = console.substr(tasks + 17, console.find('\n', tasks) - tasks - 17);
                // The init's own processes by their command names; process 1 always.
                const std::regex own(init.own, std::regex::extended);
                run.own_pss = 0;
                for (const bench::Process& process : bench::processes(console.substr(console.rfind("vesko-race-measure")))) {
                    bool mine = process.pid == 1 || std::regex_match(process.comm, own);
                    if (process.pid == 1) run.pid1_pss = process.pss_kb;
                    if (mine) run.own_pss += process.pss_kb;
                    if (mine) run.own += " " + process.comm + " " + std::to_string(process.pid) + " " + std::to_string(process.pss_kb) + " kB";
                    run.running += " " + process.comm + (mine ? "*" : "");
                }
                if (run.pid1_pss < 0) run.failure = "process 1 is not in the guest's list";
                size_t typed_at = machine.console().size();
                machine.type(init.poweroff + "\n");
                auto typed = std::chrono::steady_clock::now();
                // In short steps, so that the arrival of the console's last time mark is seen.
                vm::Machine::Deadline until = machine.deadline(180000);
                double last_arrival = -1;
                size_t marks_seen = 0;
                bool ended = false;
                while (!ended && machine.left_ms(until) > 0) {
                    ended = machine.wait_end(20).has_value();
                    size_t marks = time_marks(machine.console().substr(typed_at)).size();
                    if (marks > marks_seen) last_arrival = seconds_since(typed);
                    marks_seen = marks;
                }
                if (ended) {
                    run.poweroff = seconds_since(typed);
                    run.clean = machine.disk_clean(0);
                    // The marks written into the log, then those on the console after it was let go.
                    auto marks = time_marks(machine.read_disk_file(0, "/var/log/veskoinit.log").value_or(""));
                    auto shown = time_marks(machine.console().substr(typed_at));
                    marks.insert(marks.end(), shown.begin(), shown.end());
                    run.steps = power_off_steps(marks, shown.empty() ? -1 : last_arrival, run.poweroff);
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

// STEPS as "step: seconds", separated by commas, in lines of about 120 columns indented by 10.
void print_steps(const char* title, const std::vector<std::pair<std::string, double>>& steps) {
    std::string line = std::string(10, ' ') + title;
    for (size_t i = 0; i < steps.size(); ++i) {
        std::string item = steps[i].first + ": " + figure(steps[i].second, "%.2f");
        if (i + 1 < steps.size()) item += ",";
        if (line.size() + 1 + item.size() > 120) {
            std::printf("%s\n", line.c_str());
            line = std::string(12, ' ');
        } else {
            line += " ";
        }
        line += item;
    }
    std::printf("%s\n", line.c_str());
}

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
            std::printf("%-9s boot %d: hand-over %5.2f s, first output %5.2f s, login %5.2f s, PID 1 PSS %5ld kB, own PSS %6ld kB,"
                        " used %6ld kB, started %4ld, poweroff %5.2f s, %s%s\n",
                        init.name.c_str(), round, run.handover, run.first_output, run.login, run.pid1_pss, run.own_pss, run.used_kb,
                        run.started, run.poweroff, run.failure.empty() ? (run.clean ? "clean" : "NOT CLEAN") : "FAILED: ",
                        run.failure.c_str());
            if (round == 1) {
                std::printf("          first output: %s\n          running after the login:%s\n          tasks:%s\n",
                            run.first_line.c_str(), run.running.c_str(), run.tasks.c_str());
            }
            if (!run.own.empty()) std::printf("          the init's processes (PSS):%s\n", run.own.c_str());
            if (!run.steps.empty()) print_steps("power-off steps (s):", run.steps);
            std::fflush(stdout);
            runs[init.name].push_back(run);
        }
    }

    std::ostringstream table, tasks, data;
    table << "| init | boots finished | login prompt (s) | poweroff (s) | PID 1 PSS (kB) | init's processes PSS (kB) |"
             " guest's used memory (MB) | processes started | clean |\n|---|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    tasks << "| init | what the guest showed done after the login (first finished boot) |\n|---|---|\n";
    data << "# init login poweroff pid1_mb own_mb used_mb\n";
    for (const Init& init : inits) {
        const std::vector<Run>& list = runs[init.name];
        long finished = std::count_if(list.begin(), list.end(), [](const Run& r) { return r.failure.empty(); });
        double login = median(list, [](const Run& r) { return r.login; });
        double poweroff = median(list, [](const Run& r) { return r.poweroff; });
        double pid1 = median(list, [](const Run& r) { return r.pid1_pss; });
        double own = median(list, [](const Run& r) { return r.own_pss; });
        double used = median(list, [](const Run& r) { return r.used_kb; });
        double started = median(list, [](const Run& r) { return r.started; });
        long clean = std::count_if(list.begin(), list.end(), [](const Run& r) { return r.failure.empty() && r.clean; });
        table << "| " << init.name << " | " << finished << "/" << list.size() << " | " << figure(login, "%.2f") << " | "
              << figure(poweroff, "%.2f") << " | " << figure(pid1, "%.0f") << " | " << figure(own, "%.0f") << " | "
              << figure(used < 0 ? -1 : used / 1024, "%.1f") << " | " << figure(started, "%.0f") << " | " << clean << "/"
              << list.size() << " |\n";
        auto first = std::find_if(list.begin(), list.end(), [](const Run& r) { return r.failure.empty(); });
        tasks << "| " << init.name << " |" << (first == list.end() ? " n/a" : first->tasks) << " |\n";
        data << init.name << " " << login << " " << poweroff << " " << pid1 / 1024 << " " << own / 1024 << " " << used / 1024 << "\n";
    }
    std::printf("\nMedians of the boots that finished, of %d each:\n\n%s\n%s", boots, table.str().c_str(), tasks.str().c_str());
    // The power-off's steps, each the median of the boots that had it, in the order of the first.
    for (const Init& init : inits) {
        std::vector<std::pair<std::string, double>> medians;
        for (const Run& run : runs[init.name]) {
            for (const auto& taken : run.steps) {
                const std::string& step = taken.first;
                auto named = [&](const auto& median) { return median.first == step; };
                if (std::any_of(medians.begin(), medians.end(), named)) continue;
                std::vector<double> values;
                for (const Run& other : runs[init.name]) {
                    for (const auto& [name, value] : other.steps) {
                        if (name == step && other.failure.empty()) values.push_back(value);
                    }
                }
                medians.emplace_back(step, bench::median(values));
            }
        }
        if (medians.empty()) continue;
        std::printf("\n%s's power-off, the median of each step of the boots that finished:\n", init.name.c_str());
        print_steps("steps (s):", medians);
    }
    std::ofstream(out + "/boot-race.md") << table.str() << "\n" << tasks.str();
    std::ofstream(out + "/boot-race.dat") << data.str();
    return 0;
}
