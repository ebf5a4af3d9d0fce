// The log file of process 1: standard output and standard error are pointed at it, and
// through the log relay once that runs.
#pragma once

#include <poll.h>
#include <sys/types.h>
#include <time.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "fd.hpp"
#include "os_error.hpp"
#include "result.hpp"

namespace logging {

inline constexpr const char* kDefaultLogPath = "/var/log/veskoinit.log";

struct CreateDirectory {
    std::string directory;
    vesko::OsError os;
};
struct Open {
    std::string path;
    vesko::OsError os;
};
// STREAM is "standard error" or "standard output".
struct Redirect {
    const char* stream;
    vesko::OsError os;
};
// STEP is the system call that failed.
struct StartRelay {
    const char* step;
    vesko::OsError os;
};
using Error = std::variant<CreateDirectory, Open, Redirect, StartRelay>;

std::string display(const Error& error);

// VESKO_LOG_PATH when set (even empty), else the default.
std::string log_path();

// Whether process 1 keeps its log in a file: always on a machine; in a container only when
// VESKO_LOG_PATH is set, for there the runtime collects process 1's output (podman logs) and
// the root may be read-only.
bool log_in_file(bool container);

// The log's file PATH opened for writing with FLAGS added, made (0644) when it does not exist.
vesko::Result<vesko::Fd, vesko::OsError> open_log(const std::string& path, int flags);

// Creates the log's directory, opens the log for appending and points descriptors 2 and 1
// at it. Returns the path used.
vesko::Result<std::string, Error> initialize();

// The first argument of the relay process (this executable).
inline constexpr const char* kRelay = "--vesko-log-relay";

// The log file as its one writer holds it: the file that the path named, followed (on the
// same descriptor number) to the file that it names now when a rotation renamed or removed it.
class LogFile {
public:
    LogFile() = default;
    // FLAGS are added to those of each file opened (O_APPEND for process 1).
    LogFile(std::string path, vesko::Fd file, int flags)
        : path_(std::move(path)), file_(std::move(file)), flags_(flags) {}
    int get() const { return file_.get(); }
    // Holds FILE from now on (another writer's file, which the path may no longer name).
    void hold(vesko::Fd file) {
        file_ = std::move(file);
        held_.reset();
    }
    // Points the descriptor at the file the path names when that is no longer the file held.
    // The path is opened without following a link and without blocking, and only a regular
    // file is taken: anything else planted there is refused with one warning, written into
    // the file held, which goes on taking the lines.
    void follow();
    // Moves what the pipe PIPE holds (up to 1 MiB) to the end of the file, with splice(2)
    // where it can, so that data leaves the pipe only as it is written. Returns the bytes
    // taken, 0 at the pipe's end, or -1 with errno (EAGAIN: the pipe is empty). While the
    // file's file system has no room (ENOSPC, EDQUOT: -1 with that errno) the data waits in
    // the pipe for the caller's next try; once it has waited kRoomWaitMs and the pipe may be
    // full, so that its writers would wait too, the oldest is dropped, counted, and reported
    // in the file before what comes next. (A description that appends, process 1's, is not
    // spliced: a chunk it cannot write is dropped and counted at once.)
    ssize_t take(int pipe);
    static constexpr long kRoomWaitMs = 10000;
    // Whether a rare path ran since the last call (the path opened again or refused, a chunk
    // copied rather than spliced): far more code than the usual one, which an idle relay
    // lets go of again.
    bool ran_rare_path() { return std::exchange(rare_, false); }

private:
    // The rare part of follow(), outside the code that an idle relay keeps in memory.
    [[gnu::noinline]] void reopen();
    void write_at_end(std::string_view text);
    // splice refuses a file opened for appending and the files of some file systems, and
    // data that cannot be written (a full disk) stays in the pipe: then a chunk is read and
    // written, and dropped when it cannot be written, rather than tried again for ever. Its
    // buffer is on this call's stack alone, which the path through splice never touches.
    [[gnu::noinline]] ssize_t copy_chunk(int pipe);
    // The rare parts of take() while the file system is full, and after a drop.
    [[gnu::noinline]] ssize_t wait_for_room(int pipe, int error);
    [[gnu::noinline]] void report_dropped();
    // A rotation is followed once the file held ends with a whole line (a full disk can cut a
    // write short, and its rest is still to come), or after kRoomWaitMs at most, so that no
    // line is split between two files.
    [[gnu::noinline]] bool keep_for_line();
    bool ends_inside_line();

    std::string path_;
    vesko::Fd file_;
    std::optional<vesko::FileId> held_;  // the file held, once looked at
    int flags_ = 0;
    bool refused_ = false;  // the warning about the path has been written
    bool rare_ = false;     // see ran_rare_path
    std::optional<timespec> drop_from_;  // while the file system is full: when dropping may begin
    size_t dropped_ = 0;                 // bytes dropped since the file last took data
    std::optional<timespec> keep_until_;  // a rotation followed at the latest (keep_for_line)
};

// The log relay: process 1 and every process it starts write into one pipe, and a process
// of this executable appends what comes out of it to the log file, following a rotation
// (LogFile::follow) before each write, so that a rotation that renames or removes the log
// loses nothing, doubles nothing and needs no signal. One pipe keeps the order in which the
// lines were written.
//
// Process 1 never waits on the pipe: it writes through a description of its own that does
// not block, and what does not fit waits in a bounded queue (beyond it, lines are dropped,
// counted and reported once the pipe takes them again). Every child gets a blocking
// description of its own (vesko::give_children_own_output). A relay that ends is replaced,
// one that leaves data in the pipe without writing any for kStallMs is killed and replaced;
// while none can be started (retried with a back-off), process 1 drains the pipe itself.
class Relay {
public:
    static constexpr long kStallMs = 3000;

    // Points standard output and error at the relay's pipe, for the log at PATH, which
    // standard output is open on; the relay process starts with begin(). On failure nothing
    // has changed (the log file stays process 1's output).
    static vesko::Result<Relay, Error> open(const std::string& path);
    // Starts the relay process, once; what was written into the pipe before waits there. Its
    // start is kept off the path to the first services, which it would slow. Returns why it
    // cannot start (and nothing after the first call).
    std::optional<Error> begin();
    // After a start that failed (WHY): says so, and process 1 drains the pipe itself (from its
    // event loop) until a later start, as after a relay's end.
    void start_later(const Error& why);
    // For the event loop: adds the descriptors that the relay's upkeep waits on to FDS and
    // returns the milliseconds until it needs a look without them (-1: never).
    long add_descriptors(std::vector<pollfd>& fds);
    // Acts on the descriptors from add_descriptors (FDS, COUNT of them, as poll left them).
    void serve(const pollfd* fds, size_t count);
    // For the shutdown, before every remaining process is signalled: the relay writes out
    // what the pipe holds and ends, process 1 writes what it still holds and then to the
    // file directly, and drain() takes what the last processes still write into the pipe
    // and lets go of the log, which only standard output and error hold then.
    void stop();
    void drain();

private:
    vesko::Result<void, Error> spawn();
    // Starts another relay; ENDED ("the log relay ended (HOW)") begins the line that says so,
    // empty after a wait. When it cannot, says so and waits.
    void start_again(const std::string& ended);
    // Says WHAT and when the next start is, after the back-off; until then process 1 drains
    // the pipe itself.
    void wait_before_start(const std::string& what);
    // Kills a relay that has not drained the pipe for kStallMs; the milliseconds until it
    // wants another look (-1: none).
    long watch();
    // Takes over the file the running relay writes to, so that the file held goes on where
    // it left off even when the path names no file that may be taken.
    void adopt_relay_file();
    // Moves up to LIMIT bytes from the pipe into the file.
    void move_out(size_t limit);

    LogFile log_;
    vesko::Fd read_end_, write_end_, process_;
    pid_t pid_ = -1;
    timespec steady_at_{}, retry_at_{};
    long delay_ms_ = 0;  // before the next start when a relay ends soon after its start
    bool begun_ = false, stopped_ = false, killed_ = false;
    std::optional<timespec> stall_deadline_;
    std::optional<uint64_t> position_;  // the relay's offset in the file, at the last look
    std::optional<uint64_t> wakes_;     // and how often it had gone to sleep by then
};

// The relay process: standard input is the pipe, standard output the log file.
int relay_main();

}  // namespace logging
