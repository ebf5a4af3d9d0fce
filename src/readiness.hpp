// How a started daemon says it is ready: the notification socket that daemons written for
// systemd's Type=notify speak (NOTIFY_SOCKET, datagrams of NAME=VALUE lines: READY=1,
// MAINPID=N, RELOADING=1, STOPPING=1, STATUS=...), and the pid file of a daemon that forks.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "fd.hpp"
#include "os_error.hpp"
#include "result.hpp"

namespace readiness {

// A service's own socket, in the abstract namespace (no file to leave behind), that passes
// the sender's credentials. ADDRESS is what NOTIFY_SOCKET gives the daemon ("@...").
struct Socket {
    vesko::Fd fd;
    std::string address;
};
vesko::Result<Socket, vesko::OsError> open_socket();

// One notification as received: who sent it (as the kernel says) and what it says.
struct Message {
    pid_t sender = 0;
    bool ready = false, reloading = false, stopping = false;
    pid_t main_pid = 0;  // MAINPID=, 0 when not given
};
// Reads one datagram without blocking; nothing when none waits (or one without credentials).
std::optional<Message> receive(const vesko::Fd& socket);
// The fields of one datagram's text.
Message parse(std::string_view text);

// The process a pid file names, read without following a link to it nor blocking, from a file
// of root's or TRUSTED's: the error says why there is none.
vesko::Result<pid_t, std::string> read_pid_file(const std::string& path, uid_t trusted);

}  // namespace readiness
