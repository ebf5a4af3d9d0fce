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

// The median of SAMPLES, or -1 when there are none.
inline double median(std::vector<double> samples) {
    if (samples.empty()) return -1;
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

// VALUE printed with FORMAT, or MISSING when it is negative (not measured).
inline std::string figure(double value, const char* format, const char* missing) {
    if (value < 0) return missing;
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

}  // namespace bench
