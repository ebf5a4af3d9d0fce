// Owned file descriptors and the small I/O helpers built on them. Every descriptor the
// program opens goes through here, so every one is close-on-exec; every call retries EINTR.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "os_error.hpp"
#include "result.hpp"

namespace vesko {

// A move-only owner of one descriptor; closes it exactly once.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release();
    // Closes now. close() is not retried on EINTR: on Linux the descriptor is gone by then.
    void reset();

private:
    int fd_ = -1;
};

// open(2) with O_CLOEXEC added.
Result<Fd, OsError> open_fd(const std::string& path, int flags, mode_t mode = 0);

// A file's identity, which stays the file's for as long as a descriptor holds it.
struct FileId {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileId&) const = default;
};
// The identity of the file that FD holds; none when fstat(2) fails.
std::optional<FileId> file_id(int fd);
// What PATH names now (links followed), against FILE: a rotation renames or removes a log's
// file and may put another in its place.
enum class Named { TheFile, AnotherFile, Nothing };
// Nothing is ENOENT; any other failure of stat(2) is an error. Hot: the log relay asks it
// before each write, and an idle relay keeps only hot code in memory.
[[gnu::hot]] Result<Named, OsError> path_names(const std::string& path, const FileId& file);

// Reads until end of file.
Result<std::string, OsError> read_all(int fd);
// Reads until end of file or until more than LIMIT bytes are in (then LIMIT + 1 of them).
Result<std::string, OsError> read_all(int fd, size_t limit);
// Writes every byte, retrying short writes and EINTR.
Result<void, OsError> write_all(int fd, std::string_view bytes);

// Reads a whole file.
Result<std::string, OsError> read_file(const std::string& path);
// Reads a whole file that must be UTF-8 text; other content fails with kInvalidUtf8Text.
Result<std::string, OsError> read_text_file(const std::string& path);

// The target of the symbolic link PATH, however long.
Result<std::string, OsError> read_link(const std::string& path);

// This program's executable as /proc/self/exe names it. When that file has been removed or
// replaced since the program started (a package upgrade renames the new one over it), the
// kernel adds " (deleted)": then it is the path the file was installed under, where the new
// one now is.
Result<std::string, OsError> own_executable();

// dup2 with EINTR retried; false with errno set on failure.
bool duplicate_onto(int from, int to);

// The path without its last component: "" for a bare name, nullopt for "/" and "".
std::optional<std::string> parent_path(std::string_view path);

// Creates PATH and every missing ancestor with MODE (before the umask), as mkdir -p does.
Result<void, OsError> create_directories(const std::string& path, mode_t mode);

// Best-effort writes of one message to standard output or standard error.
void print_out(std::string_view text);
void print_err(std::string_view text);
// Hands what print_err writes to SINK instead of descriptor 2 (null: descriptor 2 again).
// Process 1 writes through a queue of its own while its output is a pipe that it must never
// wait on.
void divert_print_err(void (*sink)(std::string_view));

}  // namespace vesko
