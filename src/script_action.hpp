// One action of a script service (start, stop, status, metadata, ...), run through a runner
// within its time limit.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>

#include "result.hpp"
#include "script_dirs.hpp"
#include "script_error.hpp"

namespace admin {

// How long process 1 waits for one script action or metadata query: a daemon that a script
// runs in the foreground must not hold the boot (or the shutdown) for ever. Then it kills
// everything in the session process 1 started the action in (what made a process group of
// its own there too), and the action has failed. VESKO_TEST_ACTION_TIMEOUT (seconds) shortens it, for tests only.
inline constexpr long kActionTimeoutSeconds = 90;

// Told about every child of the caller other than the action's own that ends while an action
// runs: process 1 reaps the orphans its script services leave while it waits for them.
using OtherChild = std::function<void(pid_t pid, int status)>;

// Runs ACTION of NAME's script through the runner; QUIET sends its standard output to the
// null device.
vesko::Result<void, Error> run_action(const Directories& directories, const std::string& name,
                                      const std::string& action, bool quiet, const OtherChild& other = {});

// The real metadata query of NAME, whose script is at PATH: standard input the null device,
// standard error discarded, standard output collected until the child has ended (a daemon
// that a script's top level left holding the pipe cannot hold the query up). It waits SECONDS
// when given, else as long as run_action would.
vesko::Result<std::string, Error> query_metadata(const Directories& directories, const std::string& name,
                                                 const std::string& path, const OtherChild& other,
                                                 std::optional<long> seconds = std::nullopt);

}  // namespace admin
