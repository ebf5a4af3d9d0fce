// veskoctl: shows the log file of process 1 and follows it as it grows, and asks process 1
// for the state of the services.
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
// In a container without VESKO_LOG_PATH process 1 keeps no log file: PATH is missing.
struct NoLogInContainer {
    std::string path;
};
using Error = std::variant<Open, Read, Write, NoLogInContainer>;

std::string display(const Error& error);

// What a command line asks for.
struct Help {};
struct ShowLog {
    bool follow;
};
// The state of the services, all or those NAMES.
struct ShowStatus {
    std::vector<std::string> names;
};
// Start, stop or restart (ACTION) the services NAMES.
struct Control {
    std::string action;
    std::vector<std::string> names;
};
// Process 1 reads the service directory again.
struct Reload {};
struct Usage {
    const char* problem;  // "a command is required" or "unknown command or option"
};
using Command = std::variant<Help, ShowLog, ShowStatus, Control, Reload, Usage>;

Command parse_command(const std::vector<std::string>& args);

// The command's entry: ARGS are the arguments after the program name.
int main(const std::vector<std::string>& args);

}  // namespace ctl
