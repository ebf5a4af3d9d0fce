// What a direct service's processes start with, worked out at each start from its settings
// and the system's files as they are then: its user and groups, its environment, its
// directories made and owned by it, its working directory, umask, limits and capabilities.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "result.hpp"
#include "service.hpp"
#include "spawn.hpp"

namespace launch {

// Environment files above this size are refused: no real one comes near.
inline constexpr size_t kMaxEnvironmentFile = 1 << 20;

struct Launch {
    std::optional<vesko::Credentials> credentials;
    std::vector<std::string> environment;
    std::string working_directory;

    // Spawn options that point into this record: it must outlive them.
    vesko::SpawnOptions options(const service::Settings& settings) const;
};

// Resolves the user and groups, reads the environment files and makes the directories, with
// EXTRA set in the environment last. The error says in one line what could not be done.
vesko::Result<Launch, std::string> prepare(const service::Settings& settings,
                                           const std::vector<std::pair<std::string, std::string>>& extra = {});

// COMMAND's words with the variables of ENVIRONMENT ("NAME=VALUE" entries) expanded as a unit's
// Exec lines have them: a word that is "$NAME" alone becomes the value's blank-separated words
// (none when it is unset or blank), "${NAME}" anywhere its value as it is (empty when unset),
// "$$" a dollar sign; any other "$" stays.
std::vector<std::string> expand_variables(const std::vector<std::string>& command,
                                          const std::vector<std::string>& environment);

// The NAME=VALUE assignments of an environment file's text: blank lines and lines that begin
// with # or ; are passed over, a value may be quoted ('...' as it is, "..." with backslash
// escapes), and an unquoted one loses the blanks around it.
std::vector<std::pair<std::string, std::string>> parse_environment_file(std::string_view text);

}  // namespace launch
