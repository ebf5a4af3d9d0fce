// A daemon's readiness for tests: after MILLISECONDS, sends MESSAGE to $NOTIFY_SOCKET (an
// abstract address, as process 1 gives it), then becomes PROGRAM with the same process id.
// Usage: notifier MILLISECONDS MESSAGE PROGRAM [ARGUMENT...]
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    if (argc < 4) return 2;
    long ms = std::atol(argv[1]);
    timespec delay{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&delay, nullptr);
    const char* address = std::getenv("NOTIFY_SOCKET");
    if (address == nullptr || address[0] != '@') return 3;
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    size_t length = std::strlen(address);
    std::memcpy(to.sun_path, address, length);
    to.sun_path[0] = '\0';
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::string message = argv[2];
    if (sendto(fd, message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&to),
               static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length)) < 0) {
        return 4;
    }
    execv(argv[3], argv + 3);
    return 5;
}
