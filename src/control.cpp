#include "control.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "spawn.hpp"
#include "text.hpp"

namespace control {

using vesko::fail;
using vesko::Result;

Result<Request, std::string> parse_request(std::string_view text) {
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    if (!vesko::is_utf8(text)) return fail(std::string("the request is not UTF-8"));
    if (text == "reload") return Request{Reload{}};
    if (text.empty()) return fail(std::string("an empty request"));
    std::vector<std::string> words;
    for (size_t start = 0;;) {
        size_t space = text.find(' ', start);
        words.emplace_back(text.substr(start, space - start));
        if (space == std::string_view::npos) break;
        start = space + 1;
    }
    std::vector<std::string> names(words.begin() + 1, words.end());
    for (const std::string& name : names) {
        if (!service::is_valid_service_name(name) && !service::is_valid_unit_service_name(name)) return fail("invalid service name " + vesko::quoted(name));
    }
    if (words[0] == "status") return Request{Status{std::move(names)}};
    if (!names.empty() && words[0] == "start") return Request{Start{std::move(names)}};
    if (!names.empty() && words[0] == "stop") return Request{Stop{std::move(names)}};
    if (!names.empty() && words[0] == "restart") return Request{Restart{std::move(names)}};
    if (!names.empty() && words[0] == "reload") return Request{Reload{std::move(names)}};
    return fail("unknown request " + vesko::quoted(text.substr(0, 64)));
}

std::string encode(const Answer& answer) { return std::to_string(answer.status) + "\n" + answer.text; }

Result<Answer, std::string> decode(std::string_view message) {
    size_t end = message.find('\n');
    auto status = vesko::parse_unsigned(message.substr(0, end), 255);
    if (end == std::string_view::npos || !status || message[0] == '+') return fail(std::string("a malformed answer"));
    return Answer{static_cast<int>(*status), std::string(message.substr(end + 1))};
}

std::string status_lines(const service::Catalog& catalog, const std::map<std::string, supervisor::Record>& records,
                         const timespec& now, const std::vector<std::string>& names,
                         const std::map<std::string, std::string>& failed_scripts) {
    auto asked = [&](const std::string& name) {
        return names.empty() || std::find(names.begin(), names.end(), name) != names.end();
    };
    std::string lines;
    for (const auto& [name, why] : failed_scripts) {
        if (asked(name)) lines += name + " script failed - - - - - " + why + "\n";
    }
    for (const std::string& name : catalog.start_order) {
        if (!asked(name)) continue;
        auto found = records.find(name);
        supervisor::Record record = found != records.end() ? found->second : supervisor::Record{};
        const char* state = record.state == supervisor::State::Running    ? "running"
                            : record.state == supervisor::State::Failed   ? "failed"
                            : record.state == supervisor::State::Stopped  ? "stopped"
                            : record.state == supervisor::State::Starting ? "starting"
                                                                           : "ended";
        bool running = (record.state == supervisor::State::Running || record.state == supervisor::State::Starting) &&
                       record.pid > 0;
        std::string last = "-";
        if (record.last) {
            unsigned word = static_cast<unsigned>(record.last->raw);
            last = (word & 0x7f) == 0 ? "exit:" + std::to_string((word >> 8) & 0xff) : "signal:" + std::to_string(word & 0x7f);
        }
        lines += name + " direct " + state + " " + (running ? std::to_string(record.pid) : "-") + " " +
                 (running ? std::to_string(now.tv_sec - record.since.tv_sec) : "-") + " " +
                 std::to_string(record.restarts) + " " + last + (running && record.older ? " older" : " current") +
                 (record.state == supervisor::State::Failed && !record.why.empty() ? " " + record.why : "") + "\n";
    }
    return lines;
}

namespace {

Result<sockaddr_un, vesko::OsError> address_of(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path || path.find('\0') != std::string::npos) {
        return fail(vesko::OsError{ENAMETOOLONG});
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

// Sends one message without waiting: a client that does not take it loses it. A message must
// fit the socket's send buffer (about 200 kB by default), so a long one gets a buffer of its
// size, which process 1 may set beyond the system's usual limit.
void send_answer(int fd, const Answer& answer) {
    std::string message = encode(answer);
    int size = static_cast<int>(std::min(message.size(), kMaxAnswer) + 4096);
    if (message.size() > 65536 && ::setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) != 0) {
        (void)::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    }
    if (message.size() > kMaxAnswer ||
        (::send(fd, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0 && errno == EMSGSIZE)) {
        message = encode({1, "veskoctl: the answer (" + std::to_string(message.size()) +
                                 " bytes) is too long to send; name fewer services\n"});
        (void)::send(fd, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    }
}

}  // namespace

Result<Server, vesko::OsError> Server::listen(const std::string& path) {
    auto address = address_of(path);
    if (!address) return fail(address.error());
    if (auto parent = vesko::parent_path(path); parent && !parent->empty()) {
        auto made = vesko::create_directories(*parent, 0755);
        if (!made) return fail(made.error());
    }
    struct stat old;
    if (::lstat(path.c_str(), &old) == 0 && S_ISSOCK(old.st_mode)) (void)::unlink(path.c_str());
    Server server;
    server.listener_ = vesko::Fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!server.listener_.valid()) return fail(vesko::last_os_error());
    if (::bind(server.listener_.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0 ||
        ::chmod(path.c_str(), 0600) != 0 || ::listen(server.listener_.get(), static_cast<int>(kMaxClients)) != 0) {
        return fail(vesko::last_os_error());
    }
    return server;
}

long Server::add_descriptors(std::vector<pollfd>& fds) const {
    // A full table leaves new connections waiting in the listen queue, where the kernel
    // bounds them.
    fds.push_back({clients_.size() < kMaxClients ? listener_.get() : -1, POLLIN, 0});
    long timeout = -1;
    for (const Client& client : clients_) {
        fds.push_back({client.fd.get(), POLLIN, 0});
        long left = vesko::milliseconds_left(client.deadline);
        timeout = timeout < 0 ? left : std::min(timeout, left);
    }
    return timeout;
}

void Server::serve(const pollfd* ready, const std::function<Answer(const Request&)>& answer_for) {
    std::vector<Client> waiting;
    for (size_t i = 0; i < clients_.size(); ++i) {
        Client& client = clients_[i];
        if ((ready[1 + i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
            // Time is up for one that has sent nothing.
            if (!vesko::passed(client.deadline)) waiting.push_back(std::move(client));
            continue;
        }
        char buffer[kMaxRequest];
        ssize_t n = ::recv(client.fd.get(), buffer, sizeof buffer, MSG_DONTWAIT | MSG_TRUNC);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            waiting.push_back(std::move(client));
        } else if (n > static_cast<ssize_t>(kMaxRequest)) {
            send_answer(client.fd.get(), {2, "veskoctl: the request is longer than 4096 bytes\n"});
        } else if (n > 0) {
            auto request = parse_request(std::string_view(buffer, static_cast<size_t>(n)));
            send_answer(client.fd.get(), request ? answer_for(*request) : Answer{2, "veskoctl: " + request.error() + "\n"});
        }
    }
    clients_ = std::move(waiting);
    if ((ready[0].revents & POLLIN) == 0) return;
    while (clients_.size() < kMaxClients) {
        vesko::Fd fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!fd.valid()) return;
        // The kernel's word for who is at the other end, never the client's own.
        ucred peer{};
        socklen_t size = sizeof peer;
        if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != 0) {
            send_answer(fd.get(), {1, "veskoctl: only root may ask process 1\n"});
            continue;
        }
        clients_.push_back({std::move(fd), vesko::deadline_after(kClientMilliseconds)});
    }
}

Result<Answer, std::string> ask(const std::string& path, std::string_view request) {
    auto failed = [&](const std::string& what) {
        return fail("cannot ask process 1 at " + vesko::shown(path) + ": " + what);
    };
    auto address = address_of(path);
    if (!address) return failed(address.error().display());
    // The connection waits, within the wait below, while process 1 serves all the clients it
    // takes and its listen queue is full: the kernel holds a blocking connect until there is
    // room (a non-blocking one would fail at once).
    constexpr int kWaitMs = 5000;
    vesko::Fd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return failed(vesko::last_os_error().display());
    timeval wait{kWaitMs / 1000, 0};
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait) != 0) {
        return failed(vesko::last_os_error().display());
    }
    int connected;
    do {
        connected = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address);
    } while (connected != 0 && errno == EINTR);
    if (connected != 0) {
        if (errno == EACCES) return fail(std::string("only root may ask process 1"));
        if (errno == ENOENT || errno == ECONNREFUSED) {
            return fail(std::string("process 1 is not veskoinit, or it is shutting down (nothing answers at ") +
                        vesko::shown(path) + ")");
        }
        if (errno == EAGAIN) return failed("no answer within 5 seconds");
        return failed(vesko::last_os_error().display());
    }
    pollfd writable{fd.get(), POLLOUT, 0};
    if (::poll(&writable, 1, kWaitMs) <= 0) return failed("no answer within 5 seconds");
    if (::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        return failed(vesko::last_os_error().display());
    }
    pollfd readable{fd.get(), POLLIN, 0};
    if (::poll(&readable, 1, kWaitMs) <= 0) return failed("no answer within 5 seconds");
    std::string message(kMaxAnswer, '\0');
    ssize_t n = ::recv(fd.get(), message.data(), message.size(), 0);
    if (n <= 0) return failed(n < 0 ? vesko::last_os_error().display() : "no answer");
    message.resize(static_cast<size_t>(n));
    auto answer = decode(message);
    if (!answer) return failed(answer.error());
    return answer;
}

}  // namespace control
