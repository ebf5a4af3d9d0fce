// veskoctl: shows the log file of process 1 and follows it as it grows.
#pragma once

#include <string>
#include <vector>

#include "os_error.hpp"

namespace ctl {

struct Error {
    enum class Kind { Open, Read, Write };
    Kind kind;
    std::string path;  // the log path, for Open
    vesko::OsError os;

    std::string display() const;
};

// The command's entry: ARGS are the arguments after the program name.
int main(const std::vector<std::string>& args);

}  // namespace ctl
