#include "fd.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

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

std::optional<FileId> file_id(int fd) {
    struct stat info;
    if (::fstat(fd, &info) != 0) return std::nullopt;
    return FileId{info.st_dev, info.st_ino};
}

Result<Named, OsError> path_names(const std::string& path, const FileId& file) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) {
        if (errno == ENOENT) return Named::Nothing;
        return fail(last_os_error());
    }
    return FileId{info.st_dev, info.st_ino} == file ? Named::TheFile : Named::AnotherFile;
}

Result<std::string, OsError> read_all(int fd) { return read_all(fd, std::string().max_size() - 1); }

Result<std::string, OsError> read_all(int fd, size_t limit) {
    std::string out;
    char buffer[16384];
    while (out.size() <= limit) {
        size_t wanted = std::min(sizeof buffer, limit + 1 - out.size());
        ssize_t n = ::read(fd, buffer, wanted);
        if (n > 0) {
            out.append(buffer, static_cast<size_t>(n));
        } else if (n == 0) {
            return out;
        } else if (errno != EINTR) {
            return fail(last_os_error());
        }
    }
    return out;
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

Result<std::string, OsError> read_link(const std::string& path) {
    std::string target(256, '\0');
    for (;;) {
        ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
        if (n < 0) return fail(last_os_error());
        if (static_cast<size_t>(n) < target.size()) {
            target.resize(static_cast<size_t>(n));
            return target;
        }
        target.resize(target.size() * 2);
    }
}

Result<std::string, OsError> own_executable() {
    auto path = read_link("/proc/self/exe");
    if (!path) return path;
    constexpr std::string_view kDeleted = " (deleted)";
    if (path->size() > kDeleted.size() && path->compare(path->size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0 &&
        ::access(path->c_str(), F_OK) != 0) {
        path->resize(path->size() - kDeleted.size());
    }
    return path;
}

bool duplicate_onto(int from, int to) {
    for (;;) {
        if (::dup2(from, to) >= 0) return true;
        if (errno != EINTR) return false;
    }
}

std::optional<std::string> parent_path(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    if (path.empty() || path == "/") return std::nullopt;
    size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return std::string();
    std::string_view parent = path.substr(0, slash);
    while (parent.size() > 1 && parent.back() == '/') parent.remove_suffix(1);
    if (parent.empty()) return std::string("/");
    return std::string(parent);
}

namespace {

bool is_directory(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

Result<void, OsError> create_directories(const std::string& path, mode_t mode) {
    if (path.empty()) return {};
    if (::mkdir(path.c_str(), mode) == 0) return {};
    if (errno != ENOENT) {
        OsError error = last_os_error();
        if (is_directory(path)) return {};
        return fail(error);
    }
    // A missing ancestor: create the parent first, then try again.
    std::optional<std::string> parent = parent_path(path);
    if (!parent) return fail(OsError{ENOENT});
    auto created = create_directories(*parent, mode);
    if (!created) return created;
    if (::mkdir(path.c_str(), mode) == 0) return {};
    OsError error = last_os_error();
    if (is_directory(path)) return {};
    return fail(error);
}

void print_out(std::string_view text) { (void)write_all(STDOUT_FILENO, text); }
namespace {
void (*error_sink)(std::string_view) = nullptr;
}  // namespace

void print_err(std::string_view text) {
    if (error_sink != nullptr) return error_sink(text);
    (void)write_all(STDERR_FILENO, text);
}

void divert_print_err(void (*sink)(std::string_view)) { error_sink = sink; }

}  // namespace vesko
