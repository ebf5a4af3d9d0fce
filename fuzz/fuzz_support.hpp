// Shared by the fuzz targets: the input as text, and the failure of a property.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

inline std::string_view text(const unsigned char* data, size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// A property that does not hold is a finding, like a crash.
[[noreturn]] inline void violated(const char* property, const std::string& detail) {
    std::fprintf(stderr, "property violated: %s\n%s\n", property, detail.c_str());
    std::abort();
}

// Lines as the parsers count them: split at line feeds, a final one starting no new line.
inline size_t line_count(std::string_view text) {
    size_t lines = 0;
    for (size_t at = 0; at < text.size(); ++lines) {
        size_t end = text.find('\n', at);
        at = end == std::string_view::npos ? text.size() : end + 1;
    }
    return lines;
}

// The number after PREFIX in MESSAGE, or -1.
inline long number_after(const std::string& message, const std::string& prefix) {
    size_t at = message.find(prefix);
    if (at == std::string::npos) return -1;
    return std::strtol(message.c_str() + at + prefix.size(), nullptr, 10);
}

inline void one_line(const std::string& message) {
    if (message.find('\n') != std::string::npos || message.find('\r') != std::string::npos) {
        violated("an error is one line", message);
    }
}

// Command-line arguments: the input split at NUL bytes.
inline std::vector<std::string> arguments(std::string_view input) {
    std::vector<std::string> args;
    while (!input.empty()) {
        size_t end = input.find('\0');
        args.emplace_back(input.substr(0, end));
        if (end == std::string_view::npos) break;
        input.remove_prefix(end + 1);
    }
    return args;
}

// TEXT as the kernel's tables and fstab write it: white space, control bytes, backslashes,
// bytes from 0x7F on and the bytes in EXTRA as \ooo.
inline std::string octal_escaped(const std::string& text, std::string_view extra = "") {
    std::string out;
    for (unsigned char c : text) {
        if (c <= 0x20 || c == '\\' || c >= 0x7F || extra.find(static_cast<char>(c)) != std::string_view::npos) {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\%03o", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace fuzz
