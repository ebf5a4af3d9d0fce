// veskoctl: shows the log file of process 1 and follows it as it grows.
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "os_error.hpp"

namespace ctl {

struct Open {
    std::string path;
    vesko::OsError os;
};
struct Read {
    vesko::OsError os;
};
struct Write {
    vesko::OsError os;
};
using Error = std::variant<Open, Read, Write>;

std::string display(const Error& error);

// The command's entry: ARGS are the arguments after the program name.
int main(const std::vector<std::string>& args);

}  // namespace ctl
