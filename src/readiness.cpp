#include "readiness.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

#include "text.hpp"

namespace readiness {

using vesko::fail;
using vesko::Result;

Result<Socket, vesko::OsError> open_socket() {
    Socket socket{vesko::Fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)), ""};
    if (!socket.fd.valid()) return fail(vesko::last_os_error());
    // Bound with no name, the kernel gives it a unique one in the abstract namespace, which no
    // one could have taken before.
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    int on = 1;
    if (setsockopt(socket.fd.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0 ||
        bind(socket.fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(sa_family_t)) != 0) {
        return fail(vesko::last_os_error());
    }
    socklen_t length = sizeof address;
    if (getsockname(socket.fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return fail(vesko::last_os_error());
    }
    size_t name_length = length - offsetof(sockaddr_un, sun_path);
    if (name_length < 2 || address.sun_path[0] != '\0') return fail(vesko::OsError{EADDRNOTAVAIL});
    socket.address = "@" + std::string(address.sun_path + 1, name_length - 1);
    return socket;
}

Message parse(std::string_view text) {
    Message message;
    for (std::string_view line : vesko::split_lines(text)) {
        if (line == "READY=1") message.ready = true;
        if (line == "RELOADING=1") message.reloading = true;
        if (line == "STOPPING=1") message.stopping = true;
        if (line.substr(0, 8) == "MAINPID=") {
            auto pid = vesko::parse_unsigned(line.substr(8), 0x7fffffff);
            if (pid && *pid > 1) message.main_pid = static_cast<pid_t>(*pid);
        }
    }
    return message;
}

std::optional<Message> receive(const vesko::Fd& socket) {
    char text[4096];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(sizeof(int) * 16)];
    iovec part{text, sizeof text};
    msghdr header{};
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = recvmsg(socket.get(), &header, MSG_DONTWAIT | MSG_CMSG_CLOEXEC | MSG_TRUNC);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return std::nullopt;
    std::optional<pid_t> sender;
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level != SOL_SOCKET) continue;
        if (c->cmsg_type == SCM_CREDENTIALS) {
            ucred credentials;
            std::memcpy(&credentials, CMSG_DATA(c), sizeof credentials);
            sender = credentials.pid;
        } else if (c->cmsg_type == SCM_RIGHTS) {
            // Descriptors sent along (a daemon's stored descriptors) are not kept.
            size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < count; ++i) {
                int fd;
                std::memcpy(&fd, CMSG_DATA(c) + i * sizeof fd, sizeof fd);
                ::close(fd);
            }
        }
    }
    Message message = parse(std::string_view(text, std::min(static_cast<size_t>(n), sizeof text)));
    if (!sender) return Message{};  // without credentials nobody can be trusted with it
    message.sender = *sender;
    return message;
}

Result<pid_t, std::string> read_pid_file(const std::string& path, uid_t trusted) {
    auto problem = [&](std::string why) { return "pid file " + vesko::shown(path) + " " + why; };
    auto file = vesko::open_fd(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY);
    if (!file) return fail(problem("cannot be read: " + file.error().display()));
    struct stat info;
    if (fstat(file->get(), &info) != 0 || !S_ISREG(info.st_mode)) return fail(problem("is not a regular file"));
    if (info.st_uid != 0 && info.st_uid != trusted) return fail(problem("belongs to another user"));
    auto text = vesko::read_all(file->get(), 64);
    if (!text) return fail(problem("cannot be read: " + text.error().display()));
    std::string_view digits = *text;
    while (!digits.empty() && (digits.back() == '\n' || digits.back() == ' ')) digits.remove_suffix(1);
    auto pid = vesko::parse_unsigned(digits, 0x7fffffff);
    if (!pid || *pid < 2) return fail(problem("holds no process id"));
    return static_cast<pid_t>(*pid);
}

}  // namespace readiness
