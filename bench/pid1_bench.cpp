// Process 1 in a throwaway namespace (root only): the time from the start of process 1 to its
// event loop, the time from a power-off request to its end, and its idle footprint, each
// beside a static program that only pause()s; then the cost of run-time control: a status
// round trip, and the idle footprint with and without the control socket and after many
// requests. Prints figures; asserts nothing.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.hpp"
#include "control.hpp"
#include "logging.hpp"
#include "harness.hpp"

namespace {

using bench::median;
using bench::now_ms;

// The default table and three services that obey SIGTERM; the log goes to the console so
// that the moment the loop starts can be seen from outside.
ns::Image veskoinit_image() {
    ns::Image image;
    image.init_program = VESKOINIT_BINARY;
    image.copies["/bin/busybox"] = "/bin/busybox";
    image.links["/bin/sleep"] = "busybox";
    for (const char* name : {"one", "two", "three"}) {
        image.files[std::string("/etc/veskoinit/services/") + name + ".toml"] = "command = [\"/bin/sleep\", \"1000\"]\n";
    }
    image.env["VESKO_LOG_PATH"] = "/proc/self/fd/2";
    return image;
}

ns::Image pause_image() {
    ns::Image image;
    image.init_program = PAUSE_INIT_BINARY;
    return image;
}

// Milliseconds from the start of the namespace to the loop's line on the console.
double boot_ms(const ns::Image& image) {
    double start = now_ms();
    ns::System system(image);
    if (!system.wait_console("PID 1 event loop started\n", 5000)) {
        std::fprintf(stderr, "no event loop:\n%s\n", system.console().c_str());
        return -1;
    }
    return now_ms() - start;
}

std::string status_field(pid_t pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            size_t value = line.find_first_not_of(" \t", field.size() + 1);
            return line.substr(value);
        }
    }
    return "?";
}

long cpu_ticks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::stringstream text;
    text << in.rdbuf();
    std::string rest = text.str().substr(text.str().rfind(')') + 2);
    std::istringstream fields(rest);
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 0; i < 13 && fields >> field; ++i) {
        if (i == 11) utime = std::stol(field);
        if (i == 12) stime = std::stol(field);
    }
    return utime + stime;
}

// The proportional set size of process PID (a page shared by N processes counts 1/N in each)
// from /proc/PID/smaps_rollup, as "N kB", or "?".
std::string pss(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("Pss:", 0) == 0) return line.substr(line.find_first_not_of(" \t", 4));
    }
    return "?";
}

// Where the PSS of process PID lies: each mapping that holds any, as "PERMISSIONS NAME N kB"
// (anonymous mappings named so), from /proc/PID/smaps.
std::string pss_by_mapping(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps");
    std::string line, mapping, shown;
    while (std::getline(in, line)) {
        if (line.rfind("Pss:", 0) == 0) {
            long kb = std::atol(line.c_str() + 4);
            if (kb > 0) shown += (shown.empty() ? "" : ", ") + mapping + " " + std::to_string(kb) + " kB";
        } else if (!line.empty() && std::isxdigit(static_cast<unsigned char>(line[0])) && line.find(' ') < line.find(':')) {
            std::istringstream fields(line);
            std::string range, permissions, offset, device, inode, path;
            fields >> range >> permissions >> offset >> device >> inode >> path;
            mapping = permissions + " " + (path.empty() ? "anonymous" : path.substr(path.rfind('/') + 1));
        }
    }
    return shown;
}

// The log relay among the children of process 1 (PID), or -1.
pid_t relay_of(pid_t pid) {
    std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    for (pid_t child; children >> child;) {
        std::ifstream in("/proc/" + std::to_string(child) + "/cmdline");
        std::string command((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (command.find(std::string(1, '\0') + logging::kRelay) != std::string::npos) return child;
    }
    return -1;
}

// Waits (up to 5 s) for the loop's line on the console or in the log file.
void wait_loop(ns::System& system) {
    const std::string line = "PID 1 event loop started\n";
    for (int waited = 0; waited < 5000; waited += 10) {
        if (system.wait_console(line, 10)) return;
        if (system.read_file(logging::kDefaultLogPath).value_or("").find(line) != std::string::npos) return;
    }
}

void idle(const char* label, ns::System& system) {
    wait_loop(system);
    // After a second without events process 1 lets go of what its start touched.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    pid_t pid = system.init_pid();
    std::string switches = status_field(pid, "voluntary_ctxt_switches");
    long ticks = cpu_ticks(pid);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    long woken = std::stol(status_field(pid, "voluntary_ctxt_switches")) - std::stol(switches);
    std::printf("%-28s VmRSS %s (anonymous %s), wake-ups in 2 s idle: %ld, CPU ticks in 2 s idle: %ld\n", label,
                status_field(pid, "VmRSS").c_str(), status_field(pid, "RssAnon").c_str(), woken, cpu_ticks(pid) - ticks);
    pid_t relay = relay_of(pid);
    std::printf("%-28s PSS of process 1 %s, of the log relay %s\n", "", pss(pid).c_str(),
                relay > 0 ? pss(relay).c_str() : "(none)");
    std::printf("%-28s process 1: %s\n", "", pss_by_mapping(pid).c_str());
    if (relay > 0) std::printf("%-28s the relay: %s\n", "", pss_by_mapping(relay).c_str());
}

void idle(const char* label, const ns::Image& image) {
    ns::System system(image);
    idle(label, system);
}

// The three services with an fstab of /proc alone (/run a directory of the root); WITHOUT_CONTROL puts a file where
// the control socket's directory would go, so that process 1 runs without it.
ns::Image control_image(bool without_control) {
    ns::Image image = veskoinit_image();
    image.files["/etc/fstab"] = "proc /proc proc defaults\n" + ns::kNoKernelMounts;
    image.dirs.push_back("/run");
    if (without_control) image.files["/run/veskoinit"] = "";
    return image;
}

// Status round trips from this process through the namespace's root, then the footprint.
void control_figures(int requests) {
    idle("without the control socket", control_image(true));
    ns::System system(control_image(false));
    idle("with it, before any request", system);
    std::string socket = "/proc/" + std::to_string(system.init_pid()) + "/root" + control::kSocketPath;
    std::vector<double> trips;
    for (int i = 0; i < requests; ++i) {
        double start = now_ms();
        auto answer = control::ask(socket, "status\n");
        trips.push_back((now_ms() - start) * 1000);
        if (!answer || answer->status != 0) {
            std::printf("status failed: %s\n", answer ? answer->text.c_str() : answer.error().c_str());
            return;
        }
    }
    std::sort(trips.begin(), trips.end());
    std::printf("status round trip (3 services), %d requests: median %.0f us, 99th percentile %.0f us\n", requests,
                median(trips), trips[trips.size() * 99 / 100]);
    idle("with it, after the requests", system);
}

}  // namespace

int main(int argc, char** argv) {
    if (std::string reason = ns::unavailable(); !reason.empty()) {
        std::printf("skipped: %s\n", reason.c_str());
        return 0;
    }
    if (!ns::host_devtmpfs_has_mount_points()) {
        std::printf("skipped: host devtmpfs lacks /dev/pts or /dev/shm\n");
        return 0;
    }
    int runs = argc > 1 ? std::atoi(argv[1]) : 20;

    std::vector<double> veskoinit, baseline, power_off;
    for (int i = 0; i < runs; ++i) {
        veskoinit.push_back(boot_ms(veskoinit_image()));
        baseline.push_back(boot_ms(pause_image()));
    }
    std::printf("== boot: namespace start to \"PID 1 event loop started\" (default table, 3 services), median of %d\n",
                runs);
    std::printf("veskoinit %.2f ms, pause() program %.2f ms, difference (process 1's own boot) %.2f ms\n",
                median(veskoinit), median(baseline), median(veskoinit) - median(baseline));

    for (int i = 0; i < runs; ++i) {
        ns::System system(veskoinit_image());
        system.wait_console("PID 1 event loop started\n", 5000);
        double start = now_ms();
        system.send(SIGPWR);
        system.wait_exit(10000);
        power_off.push_back(now_ms() - start);
    }
    std::sort(power_off.begin(), power_off.end());
    std::printf("== power-off: request to the end of process 1 (3 services obeying SIGTERM), %d runs\n", runs);
    std::printf("median %.2f ms, min %.2f ms, max %.2f ms\n", median(power_off), power_off.front(), power_off.back());

    std::printf("== idle\n");
    idle("veskoinit (3 services)", veskoinit_image());
    ns::Image in_file = veskoinit_image();
    in_file.env.erase("VESKO_LOG_PATH");
    idle("the same, log in /var/log", in_file);
    idle("pause() program", pause_image());
    std::printf("== run-time control\n");
    control_figures(1000);
    return 0;
}
