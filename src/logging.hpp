// The log file of process 1: standard output and standard error are pointed at it.
#pragma once

#include <string>
#include <variant>

#include "os_error.hpp"
#include "result.hpp"

namespace logging {

inline constexpr const char* kDefaultLogPath = "/var/log/veskoinit.log";

struct CreateDirectory {
    std::string directory;
    vesko::OsError os;
};
struct Open {
    std::string path;
    vesko::OsError os;
};
// STREAM is "standard error" or "standard output".
struct Redirect {
    const char* stream;
    vesko::OsError os;
};
using Error = std::variant<CreateDirectory, Open, Redirect>;

std::string display(const Error& error);

// VESKO_LOG_PATH when set (even empty), else the default.
std::string log_path();

// Creates the log's directory, opens the log for appending and points descriptors 2 and 1
// at it. Returns the path used.
vesko::Result<std::string, Error> initialize();

}  // namespace logging
