// Run-time control: the channel between veskoctl and process 1, a Unix socket that only root
// may use (the peer's credentials as the kernel reports them), its requests and its answers.
// Process 1 serves it from its event loop without ever blocking: a client gets one request
// and one answer within a bounded time, and only a bounded number of clients wait at once.
#pragma once

#include <poll.h>
#include <time.h>

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "fd.hpp"
#include "os_error.hpp"
#include "result.hpp"
#include "service.hpp"
#include "supervisor.hpp"

namespace control {

inline constexpr const char* kSocketPath = "/run/veskoinit/control";
// A request is one message of at most this size; an answer of at most kMaxAnswer.
inline constexpr size_t kMaxRequest = 4096;
inline constexpr size_t kMaxAnswer = 1 << 20;
// Clients served at once, and how long one may take to send its request.
inline constexpr size_t kMaxClients = 16;
inline constexpr long kClientMilliseconds = 1000;

// What a client asks: the state of the direct services NAMES (every one when empty); to
// start, stop or restart these; to read the service directory again.
struct Status {
    std::vector<std::string> names;
};
struct Start {
    std::vector<std::string> names;
};
struct Stop {
    std::vector<std::string> names;
};
struct Restart {
    std::vector<std::string> names;
};
// To read the service directory again (no names), or to reload the services NAMES.
struct Reload {
    std::vector<std::string> names;
};
using Request = std::variant<Status, Start, Stop, Restart, Reload>;

// A request's text: a command word, then for start, stop and restart one or more service
// names and for status and reload any number, separated by single spaces (a trailing line feed
// allowed). The error says why not.
vesko::Result<Request, std::string> parse_request(std::string_view text);

// An answer: the exit status for veskoctl, then the text for its standard output (status 0
// or 3) or its standard error (else).
struct Answer {
    int status = 0;
    std::string text;
};
std::string encode(const Answer& answer);
vesko::Result<Answer, std::string> decode(std::string_view message);

// One line per direct service in start order (those of NAMES, when not empty), for scripts: "NAME direct STATE PID SECONDS
// RESTARTS LAST DEFINITION", STATE running, stopped (by request), ended (and not restarted) or
// failed (to start), PID and SECONDS (how long it has run) "-" when it does not run, LAST
// "exit:N", "signal:N" or "-" (how it last ended), DEFINITION "older" while it runs a
// definition that a reload has changed, else "current". A failed service's line goes on with
// why, after one more space. Before them, one line per script service that the boot passed
// over (FAILED_SCRIPTS, by name, with why): "NAME script failed - - - - - WHY".
std::string status_lines(const service::Catalog& catalog, const std::map<std::string, supervisor::Record>& records,
                         const timespec& now, const std::vector<std::string>& names = {},
                         const std::map<std::string, std::string>& failed_scripts = {});

// Process 1's end of the channel.
class Server {
public:
    // Listens on PATH (its directory made, a socket left there by an earlier boot replaced),
    // which only root may use.
    static vesko::Result<Server, vesko::OsError> listen(const std::string& path);

    // Appends the descriptors to wait for to FDS and returns the milliseconds until the
    // first client's time is up, or -1 when no client waits.
    long add_descriptors(std::vector<pollfd>& fds) const;
    // Serves what poll reported on the descriptors that add_descriptors appended at READY:
    // drops clients whose time is up, accepts, refuses whoever is not root, reads requests
    // and answers each with ANSWER_FOR. Never blocks.
    void serve(const pollfd* ready, const std::function<Answer(const Request&)>& answer_for);

private:
    struct Client {
        vesko::Fd fd;
        timespec deadline;
    };

    vesko::Fd listener_;
    std::vector<Client> clients_;
};

// veskoctl's end: sends REQUEST to the socket at PATH and waits a bounded time for the answer;
// the error says in one line why there is none.
vesko::Result<Answer, std::string> ask(const std::string& path, std::string_view request);

}  // namespace control
