// vesko-run: runs one action of one script service under /bin/sh with the prelude.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "os_error.hpp"

namespace runner {

// The shell prelude (src/prelude.sh), embedded at build time.
extern const char* const kPrelude;

inline constexpr const char* kDefaultConfDir = "/etc/veskoinit/conf.d";
inline constexpr const char* kDefaultStateDir = "/run/veskoinit/services";

// The service name a script path stands for: its last normal component, or nullopt when it
// has none ("", "/", ".", a path ending in "..") or that is not UTF-8.
std::optional<std::string> service_name_of(std::string_view script);

// What the runner starts, for the copies of process 1 and vesko-service that act as the
// runner without executing vesko-run: the command for ACTION of SCRIPT, the service NAME (the
// shell with the prelude, or for a script with an LSB header the script itself); its
// environment, this process's with SETTINGS and the variables the prelude reads
// (VESKO_HELPER: HELPER, this executable, which starts daemons and checks paths for it);
// and the line for a PROGRAM that cannot be executed, after which the action's status is 1.
std::vector<std::string> shell_command(const std::string& script, const std::string& action, const std::string& name);
std::vector<std::string> shell_environment(const std::string& helper,
                                           std::vector<std::pair<std::string, std::string>> settings);
std::string cannot_execute(const std::string& program, const vesko::OsError& error);
// Whether the script at PATH carries an LSB header (and so runs as a program).
bool has_lsb_header(const std::string& path);
// The metadata records of the script at PATH when it carries an LSB header (what its metadata
// action prints); none when it has none.
std::optional<std::string> lsb_metadata(const std::string& path);

// The command's entry: ARGS are the arguments after the program name or after --vesko-run.
int main(const std::vector<std::string>& args);

}  // namespace runner
