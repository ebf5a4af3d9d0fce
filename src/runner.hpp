// vesko-run: runs one action of one script service under /bin/sh with the prelude.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace runner {

// The shell prelude (src/prelude.sh), embedded at build time.
extern const char* const kPrelude;

inline constexpr const char* kDefaultConfDir = "/etc/veskoinit/conf.d";
inline constexpr const char* kDefaultStateDir = "/run/veskoinit/services";

// The service name a script path stands for: its last normal component, or nullopt when it
// has none ("", "/", ".", a path ending in "..") or that is not UTF-8.
std::optional<std::string> service_name_of(std::string_view script);

// The command's entry: ARGS are the arguments after the program name or after --vesko-run.
int main(const std::vector<std::string>& args);

}  // namespace runner
