// Process 1 in a throwaway namespace (root only): the time from the start of process 1 to its
// event loop, the time from a power-off request to its end, and its idle footprint, each
// beside a static program that only pause()s. Prints figures; asserts nothing.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.hpp"
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

void idle(const char* label, const ns::Image& image) {
    ns::System system(image);
    system.wait_console("PID 1 event loop started\n", 5000);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    pid_t pid = system.init_pid();
    std::string switches = status_field(pid, "voluntary_ctxt_switches");
    long ticks = cpu_ticks(pid);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    long woken = std::stol(status_field(pid, "voluntary_ctxt_switches")) - std::stol(switches);
    std::printf("%-28s VmRSS %s, wake-ups in 2 s idle: %ld, CPU ticks in 2 s idle: %ld\n", label,
                status_field(pid, "VmRSS").c_str(), woken, cpu_ticks(pid) - ticks);
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
    idle("pause() program", pause_image());
    return 0;
}
