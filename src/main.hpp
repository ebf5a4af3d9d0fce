// The entry of every personality: the table that picks one by program name, and the init
// personality's own command line with its check mode.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace entry {

// The final file-name component of argv[0], or "veskoinit" when there is none.
std::string program_name(std::string_view argv0);

// Loads DIRECTORY, prints the validation report and returns the exit status 0 or 1.
int check_services(const std::string& directory);

// Chooses the personality and returns its exit status.
int dispatch(const std::vector<std::string>& argv);

}  // namespace entry
