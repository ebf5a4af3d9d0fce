#include "fd.hpp"

#include <fcntl.h>
#include <unistd.h>

#include "text.hpp"

namespace vesko {

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = other.release();
    }
    return *this;
}

int Fd::release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void Fd::reset() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

Result<Fd, OsError> open_fd(const std::string& path, int flags, mode_t mode) {
    for (;;) {
        int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
        if (fd >= 0) return Fd(fd);
        if (errno != EINTR) return fail(last_os_error());
    }
}

Result<std::string, OsError> read_all(int fd) {
    std::string out;
    char buffer[16384];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            out.append(buffer, static_cast<size_t>(n));
        } else if (n == 0) {
            return out;
        } else if (errno != EINTR) {
            return fail(last_os_error());
        }
    }
}

Result<void, OsError> write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n >= 0) {
            bytes.remove_prefix(static_cast<size_t>(n));
        } else if (errno != EINTR) {
            return fail(last_os_error());
        }
    }
    return {};
}

Result<std::string, OsError> read_file(const std::string& path) {
    auto fd = open_fd(path, O_RDONLY);
    if (!fd) return fail(fd.error());
    return read_all(fd->get());
}

Result<std::string, OsError> read_text_file(const std::string& path) {
    auto content = read_file(path);
    if (content && !is_utf8(*content)) return fail(fixed_error(kInvalidUtf8Text));
    return content;
}

void print_out(std::string_view text) { (void)write_all(STDOUT_FILENO, text); }
void print_err(std::string_view text) { (void)write_all(STDERR_FILENO, text); }

}  // namespace vesko
