// The log file of process 1: standard output and standard error are pointed at it.
#pragma once

#include <string>

#include "os_error.hpp"
#include "result.hpp"

namespace logging {

inline constexpr const char* kDefaultLogPath = "/var/log/veskoinit.log";

struct Error {
    enum class Kind { CreateDirectory, Open, Redirect };
    Kind kind;
    std::string path;  // the directory, the log path, or the stream's name
    vesko::OsError os;

    std::string display() const;
};

// VESKO_LOG_PATH when set (even empty), else the default.
std::string log_path();

// Creates the log's directory, opens the log for appending and points descriptors 2 and 1
// at it. Returns the path used.
vesko::Result<std::string, Error> initialize();

}  // namespace logging
