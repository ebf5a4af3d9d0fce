// What the script service prelude asks of the executable for the things plain POSIX shell
// cannot do: start a daemon (as another user, in a session of its own, its output in process
// 1's log) and OpenRC's checkpath. The prelude reaches them as `$VESKO_HELPER --vesko-daemon`
// and `$VESKO_HELPER --vesko-checkpath`, the way --vesko-run is reached.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os_error.hpp"
#include "result.hpp"

namespace helpers {

inline constexpr const char* kDaemon = "--vesko-daemon";
inline constexpr const char* kCheckpath = "--vesko-checkpath";
inline constexpr const char* kServicePid = "--vesko-service-pid";

// --vesko-daemon [--wait] [--pidfile PATH] [--output-log PATH] [--error-log PATH]
// USER[:GROUP] COMMAND [ARGUMENT...] (USER may be empty: the caller's own): starts COMMAND in
// a session of its own with every signal at its default action, standard input from
// /dev/null, and standard output and error on the files given (opened as USER), else on
// process 1's log for root and on /dev/null for another user; writes its pid to the pid
// file (a new file renamed over it), prints it and exits 0; or prints why it cannot and
// exits 1. With --wait it waits for COMMAND instead and exits with its status.
int daemon_main(const std::vector<std::string>& args);

// --vesko-checkpath [-d|-D|-f|-F] [-m MODE] [-o USER[:GROUP]] [-q] PATH...: makes each PATH
// a directory (-d; -D also empties it) or a file (-f, the default; -F also truncates it),
// creating what is missing and setting the mode and owner given. A path that is a symbolic
// link is refused, never followed.
int checkpath_main(const std::vector<std::string>& args);

// --vesko-service-pid PIDFILE USER[:GROUP]: prints the pid that the regular file PIDFILE
// names and exits 0 when it is a live process of the service: never process 0 or 1, and
// when USER is given (the service's command_user), a process of that user's. Exits 1
// otherwise.
int service_pid_main(const std::vector<std::string>& args);

}  // namespace helpers
