// What the benchmarks share: a monotonic clock in milliseconds and the median of samples.
#pragma once

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

inline double now_ms() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

// The median of SAMPLES (of an even count, the mean of the two middle ones), or -1 when
// there are none.
inline double median(std::vector<double> samples) {
    if (samples.empty()) return -1;
    std::sort(samples.begin(), samples.end());
    size_t middle = samples.size() / 2;
    return samples.size() % 2 == 1 ? samples[middle] : (samples[middle - 1] + samples[middle]) / 2;
}

// One process as the boot race's guest script lists it, one line each:
// "vesko-race: process PID PPID COMM PSS_KB RSS_KB" (blanks in COMM made underscores).
struct Process {
    long pid = 0, ppid = 0;
    std::string comm;
    long pss_kb = 0, rss_kb = 0;
};

// The processes listed in TEXT (console output), in order; lines of another shape are
// passed over.
inline std::vector<Process> processes(const std::string& text) {
    std::vector<Process> found;
    const std::string prefix = "vesko-race: process ";
    for (size_t at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at + 1)) {
        size_t end = text.find('\n', at);
        std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        Process process;
        char comm[64];
        int used = 0;
        if (std::sscanf(line.c_str(), "vesko-race: process %ld %ld %63s %ld %ld%n", &process.pid, &process.ppid, comm,
                        &process.pss_kb, &process.rss_kb, &used) == 5 &&
            line.find_first_not_of(" \r", static_cast<size_t>(used)) == std::string::npos) {
            process.comm = comm;
            found.push_back(process);
        }
    }
    return found;
}

// VALUE printed with FORMAT, or MISSING when it is negative (not measured).
inline std::string figure(double value, const char* format, const char* missing) {
    if (value < 0) return missing;
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

}  // namespace bench
