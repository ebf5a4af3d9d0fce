#include "logging.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>

#include "fd.hpp"
#include "memory.hpp"
#include "spawn.hpp"
#include "supervisor.hpp"
#include "text.hpp"

namespace logging {

using vesko::fail;
using vesko::shown;

std::string display(const Error& error) {
    return std::visit(
        vesko::Overloaded{
            [](const CreateDirectory& e) { return "cannot create " + shown(e.directory) + ": " + e.os.display(); },
            [](const Open& e) { return "cannot open " + shown(e.path) + ": " + e.os.display(); },
            [](const Redirect& e) { return std::string("cannot redirect ") + e.stream + ": " + e.os.display(); },
            [](const StartRelay& e) { return std::string("cannot start the log relay: ") + e.step + ": " + e.os.display(); },
        },
        error);
}

std::string log_path() {
    const char* value = std::getenv("VESKO_LOG_PATH");
    return value != nullptr ? value : kDefaultLogPath;
}

vesko::Result<vesko::Fd, vesko::OsError> open_log(const std::string& path, int flags) {
    return vesko::open_fd(path, O_WRONLY | O_CREAT | flags, 0644);
}

bool log_in_file(bool container) { return !container || std::getenv("VESKO_LOG_PATH") != nullptr; }

vesko::Result<std::string, Error> initialize() {
    std::string path = log_path();
    std::optional<std::string> parent = vesko::parent_path(path);
    if (parent && !parent->empty()) {
        auto created = vesko::create_directories(*parent, 0777);
        if (!created) return fail(Error{CreateDirectory{*parent, created.error()}});
    }
    auto log = open_log(path, O_APPEND);
    if (!log) return fail(Error{Open{path, log.error()}});
    if (!vesko::duplicate_onto(log->get(), STDERR_FILENO)) {
        return fail(Error{Redirect{"standard error", vesko::last_os_error()}});
    }
    if (!vesko::duplicate_onto(log->get(), STDOUT_FILENO)) {
        return fail(Error{Redirect{"standard output", vesko::last_os_error()}});
    }
    return path;
}

namespace {

constexpr size_t kPipeSize = 1 << 20;        // what waits while the relay is replaced or slow
constexpr size_t kBacklogLimit = 64 * 1024;  // process 1's own lines that wait for the pipe
constexpr long kLookMs = 1000;               // between looks at a pipe that holds data
// A relay that ends soon after its start is replaced only after a delay, doubled each time
// up to the longest; one that ran kSteadyMs is replaced at once.
constexpr long kRoomLookMs = 1000;  // between tries while the log's file system is full
constexpr long kSteadyMs = 10000, kFirstDelayMs = 1000, kLongestDelayMs = 60000;

// Process 1's own lines while its output is the relay's pipe (descriptor 2, a description of
// its own that does not block): written as far as the pipe takes them and kept in order
// (while anything waits, new text waits behind it) up to kBacklogLimit bytes; what goes
// beyond is dropped, counted and reported once the pipe has taken the rest.
struct Backlog {
    std::string pending;
    size_t dropped = 0;

    void add(std::string_view text) {
        if (!pending.empty() && pending.size() + text.size() > kBacklogLimit) {
            dropped += text.size();
            return;
        }
        pending.append(text);
        flush();
    }
    // Whole lines of at most PIPE_BUF bytes at a time: such a write is atomic, so no other
    // writer's line lands inside one.
    void flush() {
        size_t written = 0;
        while (written < pending.size()) {
            size_t size = std::min<size_t>(pending.size() - written, PIPE_BUF);
            size_t end = pending.rfind('\n', written + size - 1);
            if (written + size < pending.size() && end != std::string::npos && end >= written) size = end + 1 - written;
            ssize_t n = ::write(STDERR_FILENO, pending.data() + written, size);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) break;
            if (n < 0) written = pending.size();  // nowhere to write: nothing to wait for
            if (n > 0) written += static_cast<size_t>(n);
        }
        pending.erase(0, written);
        if (!pending.empty()) return;
        pending.shrink_to_fit();
        if (dropped > 0) add(dropped_line());
    }
    std::string dropped_line() {
        std::string line = "veskoinit: warning: " + std::to_string(dropped) + " bytes of log output were dropped\n";
        dropped = 0;
        return line;
    }
};
Backlog backlog;

void queue_output(std::string_view text) { backlog.add(text); }

// The relay's descriptor 1, its log file, as /proc shows it: the offset, which every write
// moves, and the inode (0 when not shown).
struct RelayFile {
    uint64_t position = 0, inode = 0;
};
std::optional<RelayFile> relay_file(pid_t pid) {
    auto fd = vesko::open_fd("/proc/" + std::to_string(pid) + "/fdinfo/1", O_RDONLY);
    auto info = fd ? vesko::read_all(fd->get(), 4096) : vesko::fail(fd.error());
    if (!info) return std::nullopt;
    std::optional<uint64_t> position;
    RelayFile file;
    for (std::string_view line : vesko::split_lines(*info)) {
        if (line.substr(0, 5) == "pos:\t") position = vesko::parse_unsigned(line.substr(5), UINT64_MAX);
        if (line.substr(0, 5) == "ino:\t") file.inode = vesko::parse_unsigned(line.substr(5), UINT64_MAX).value_or(0);
    }
    if (!position) return std::nullopt;
    file.position = *position;
    return file;
}

// How often the relay has gone to sleep of its own accord (its voluntary context switches).
std::optional<uint64_t> relay_wakes(pid_t pid) {
    auto fd = vesko::open_fd("/proc/" + std::to_string(pid) + "/status", O_RDONLY);
    auto status = fd ? vesko::read_all(fd->get(), 4096) : vesko::fail(fd.error());
    if (!status) return std::nullopt;
    for (std::string_view line : vesko::split_lines(*status)) {
        if (line.substr(0, 24) == "voluntary_ctxt_switches:") {
            size_t digits = line.find_first_not_of(" \t", 24);
            return digits == std::string_view::npos ? std::nullopt : vesko::parse_unsigned(line.substr(digits), UINT64_MAX);
        }
    }
    return std::nullopt;
}

std::string seconds(long milliseconds) {
    long count = milliseconds / 1000;
    return std::to_string(count) + (count == 1 ? " second" : " seconds");
}

// Whether ERROR says that the log's file system has no room (for now).
bool no_room(int error) { return error == ENOSPC || error == EDQUOT; }

volatile sig_atomic_t relay_told_to_stop = 0;
void tell_relay_to_stop(int) { relay_told_to_stop = 1; }

}  // namespace

void LogFile::write_at_end(std::string_view text) {
    (void)::lseek(file_.get(), 0, SEEK_END);
    (void)vesko::write_all(file_.get(), text);
}

[[gnu::hot]] void LogFile::follow() {
    // The file held is only looked at when another one may have taken its place: its identity
    // stays what it was for as long as the descriptor stays.
    if (!held_) held_ = vesko::file_id(file_.get());
    if (!held_) return;
    auto named = vesko::path_names(path_, *held_);
    if (named && *named == vesko::Named::TheFile) {
        refused_ = false;
        return;
    }
    if (keep_for_line()) return;
    reopen();
}

bool LogFile::keep_for_line() {
    rare_ = true;
    if (!keep_until_) keep_until_ = vesko::deadline_after(kRoomWaitMs);
    if (!vesko::passed(*keep_until_) && ends_inside_line()) return true;
    keep_until_.reset();
    return false;
}

bool LogFile::ends_inside_line() {
    // The descriptor held only writes: the file is read through one of its own.
    auto file = vesko::open_fd("/proc/self/fd/" + std::to_string(file_.get()), O_RDONLY | O_NONBLOCK);
    struct stat info;
    char last = '\n';
    return file && ::fstat(file->get(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 &&
           ::pread(file->get(), &last, 1, info.st_size - 1) == 1 && last != '\n';
}

void LogFile::reopen() {
    rare_ = true;
    auto opened = open_log(path_, O_NOFOLLOW | O_NONBLOCK | flags_);
    struct stat info;
    if (opened && ::fstat(opened->get(), &info) != 0) opened = fail(vesko::last_os_error());
    std::string why;
    if (!opened && (::lstat(path_.c_str(), &info) != 0 || S_ISREG(info.st_mode))) {
        why = "cannot open " + shown(path_) + ": " + opened.error().display();
    } else if (!S_ISREG(info.st_mode)) {
        why = shown(path_) + (S_ISLNK(info.st_mode) ? " is a symbolic link" : " is not a regular file");
    } else if (::fcntl(opened->get(), F_SETFL, flags_) != 0 ||
               ::dup3(opened->get(), file_.get(), file_.get() > STDERR_FILENO ? O_CLOEXEC : 0) < 0) {
        why = "cannot open " + shown(path_) + ": " + vesko::last_os_error().display();
    } else {
        held_ = vesko::FileId{info.st_dev, info.st_ino};
        refused_ = false;
        return;
    }
    // The path is tried again at each write; only the first refusal is news.
    if (!refused_) write_at_end("veskoinit: warning: the log stays in the file held: " + why + "\n");
    refused_ = true;
}

[[gnu::hot]] ssize_t LogFile::take(int pipe) {
    (void)::lseek(file_.get(), 0, SEEK_END);
    if (dropped_ > 0) report_dropped();
    ssize_t n = ::splice(pipe, nullptr, file_.get(), nullptr, kPipeSize, SPLICE_F_NONBLOCK);
    if (n > 0) drop_from_.reset();
    if (n >= 0 || errno == EINTR || errno == EAGAIN) return n;
    if (no_room(errno)) return wait_for_room(pipe, errno);
    return copy_chunk(pipe);
}

ssize_t LogFile::copy_chunk(int pipe) {
    rare_ = true;
    char buffer[16384];
    ssize_t n = ::read(pipe, buffer, sizeof buffer);
    // Process 1 (its description appends, which splice refuses) has nowhere to keep a chunk
    // the file cannot take: it is dropped, and counted when the disk is full.
    if (n > 0 && !vesko::write_all(file_.get(), std::string_view(buffer, static_cast<size_t>(n))) && no_room(errno)) {
        dropped_ += static_cast<size_t>(n);
    }
    return n;
}

ssize_t LogFile::wait_for_room(int pipe, int error) {
    rare_ = true;
    if (!drop_from_) drop_from_ = vesko::deadline_after(kRoomWaitMs);
    // The pipe's pages are more than half used by lines shorter than half a page: past half
    // its size it may be full, and its writers wait.
    int queued = 0, size = ::fcntl(pipe, F_GETPIPE_SZ);
    if (::ioctl(pipe, FIONREAD, &queued) == 0 && size > 0 && queued >= size / 2 &&
        vesko::milliseconds_left(*drop_from_) <= 0) {
        // The oldest 64 KiB make room for theirs, up to the end of a line.
        char buffer[16384];
        ssize_t n = 0;
        for (int i = 0; i < 4 && (n = ::read(pipe, buffer, sizeof buffer)) > 0; ++i) dropped_ += static_cast<size_t>(n);
        for (int i = 0; n > 0 && buffer[n - 1] != '\n' && i < 4096 && (n = ::read(pipe, buffer, 1)) > 0; ++i) ++dropped_;
    }
    errno = error;
    return -1;
}

void LogFile::report_dropped() {
    rare_ = true;
    // The rest of a line the file got in part was dropped: the warning begins a line of its own.
    if (vesko::write_all(file_.get(), std::string(ends_inside_line() ? "\n" : "") + "veskoinit: warning: " +
                                          std::to_string(dropped_) +
                                          " bytes of log output were dropped while the log's file system was full\n")) {
        dropped_ = 0;
    }
}

vesko::Result<Relay, Error> Relay::open(const std::string& path) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return fail(Error{StartRelay{"pipe2", vesko::last_os_error()}});
    Relay relay;
    relay.read_end_ = vesko::Fd(ends[0]);
    relay.write_end_ = vesko::Fd(ends[1]);
    // A larger pipe is a convenience: the kernel's limit for it may be lower.
    (void)::fcntl(relay.write_end_.get(), F_SETPIPE_SZ, static_cast<int>(kPipeSize));
    // Process 1 looks into the pipe and drains it without waiting; the relay waits in poll.
    vesko::Fd log(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3));
    if (::fcntl(relay.read_end_.get(), F_SETFL, O_NONBLOCK) != 0 || !log.valid()) {
        return fail(Error{StartRelay{"fcntl", vesko::last_os_error()}});
    }
    // The log opened at boot goes to the relay, which follows a rotation by itself; process 1
    // then holds the file the relay writes to (adopt_relay_file) for the next one, and opens
    // the path again only when it writes the file itself.
    relay.log_ = LogFile(path, std::move(log), O_APPEND);
    // A description of the pipe of process 1's own, which never blocks; without /proc the
    // blocking end that every writer shares.
    auto own = vesko::open_fd("/proc/self/fd/" + std::to_string(relay.write_end_.get()), O_WRONLY | O_NONBLOCK);
    for (int stream : {STDOUT_FILENO, STDERR_FILENO}) {
        if (!vesko::duplicate_onto(own ? own->get() : relay.write_end_.get(), stream)) {
            auto failure = vesko::last_os_error();
            relay.stop();
            return fail(Error{StartRelay{"dup2", failure}});
        }
    }
    if (own) {
        vesko::divert_print_err(queue_output);
        vesko::give_children_own_output(relay.write_end_.get());
    } else if (std::optional<Error> why = relay.begin()) {
        // Process 1 writes to the pipe's blocking end here: nothing may fill it unread.
        relay.stop();
        return fail(std::move(*why));
    }
    return relay;
}

std::optional<Error> Relay::begin() {
    if (begun_) return std::nullopt;
    begun_ = true;
    if (auto spawned = spawn(); !spawned) return std::move(spawned.error());
    return std::nullopt;
}

void Relay::start_later(const Error& why) { wait_before_start(display(why)); }

vesko::Result<void, Error> Relay::spawn() {
    auto self = vesko::own_executable();
    vesko::SpawnOptions options;
    options.redirects = {{read_end_.get(), STDIN_FILENO}, {log_.get(), STDOUT_FILENO}, {log_.get(), STDERR_FILENO}};
    auto pid = vesko::spawn({self ? *self : "/proc/self/exe", kRelay}, options);
    if (!pid) return fail(Error{StartRelay{"spawn", pid.error()}});
    pid_ = *pid;
    // Without a process descriptor the relay runs all the same; process 1 only cannot tell
    // when it ends or stops.
    process_ = vesko::Fd(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
    steady_at_ = vesko::deadline_after(kSteadyMs);
    stopped_ = killed_ = false;
    stall_deadline_.reset();
    position_.reset();
    return {};
}

long Relay::add_descriptors(std::vector<pollfd>& fds) {
    if (!backlog.pending.empty()) fds.push_back({STDERR_FILENO, POLLOUT, 0});
    if (pid_ > 0) {
        if (process_.valid()) fds.push_back({process_.get(), POLLIN, 0});
        return watch();
    }
    // No relay runs: process 1 drains the pipe itself until another starts.
    fds.push_back({read_end_.get(), POLLIN, 0});
    return vesko::milliseconds_left(retry_at_);
}

long Relay::watch() {
    if (killed_) return -1;  // its end comes through the process descriptor
    siginfo_t info{};
    if (process_.valid() && ::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(process_.get()), &info,
                                     WSTOPPED | WCONTINUED | WNOHANG) == 0 && info.si_pid != 0) {
        stopped_ = info.si_code != CLD_CONTINUED;
    }
    int queued = 0;
    if (::ioctl(read_end_.get(), FIONREAD, &queued) != 0) queued = 0;
    if (queued == 0 && !stopped_) {
        stall_deadline_.reset();
        return -1;
    }
    // A relay whose offset in the file has not moved since the last look, while the pipe
    // holds data, has stalled; a stopped one drains nothing.
    std::optional<RelayFile> file = relay_file(pid_);
    bool stalled = stopped_ || (file && position_ == file->position);
    position_ = file ? std::optional<uint64_t>(file->position) : std::nullopt;
    // Process 1 holds the file the relay writes to, where a successor goes on, rather than
    // one that a rotation has long renamed or removed.
    struct stat held;
    if (file && file->inode != 0 && (::fstat(log_.get(), &held) != 0 || held.st_ino != file->inode)) adopt_relay_file();
    // One that waits for room on a full file system tries again every second: it has not
    // stalled while it goes on waking up (a hung or stopped one does not).
    std::optional<uint64_t> wakes = relay_wakes(pid_);
    if (stalled && !stopped_ && wakes && wakes_ && *wakes > *wakes_) stalled = false;
    wakes_ = wakes;
    if (!stalled) {
        stall_deadline_.reset();
        return kLookMs;
    }
    if (!stall_deadline_) stall_deadline_ = vesko::deadline_after(kStallMs);
    if (long left = vesko::milliseconds_left(*stall_deadline_); left > 0) return std::min(left, kLookMs);
    vesko::print_err("veskoinit: warning: the log relay has not drained its pipe for " + seconds(kStallMs) +
                     "; killing it\n");
    adopt_relay_file();
    (void)::kill(pid_, SIGKILL);
    (void)::kill(pid_, SIGCONT);
    killed_ = true;
    return -1;
}

void Relay::serve(const pollfd* fds, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (fds[i].revents == 0) continue;
        if (fds[i].fd == STDERR_FILENO) backlog.flush();
        if (fds[i].fd == read_end_.get()) move_out(kPipeSize);
        if (fds[i].fd != process_.get() || !process_.valid()) continue;
        // Collected here unless the reaping of orphans got it first. Whatever was written
        // meanwhile waits in the pipe for the next relay.
        siginfo_t info{};
        std::string ended = "the log relay ended";
        if (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(process_.get()), &info,
                     WEXITED | WNOHANG) == 0 && info.si_pid != 0) {
            int status = info.si_code == CLD_EXITED ? info.si_status << 8
                                                    : info.si_status | (info.si_code == CLD_DUMPED ? 0x80 : 0);
            ended += " (" + supervisor::ExitStatus{status}.description() + ")";
        }
        process_.reset();
        pid_ = -1;
        if (vesko::passed(steady_at_)) delay_ms_ = 0;
        if (delay_ms_ == 0) {
            start_again(ended);
        } else {
            wait_before_start(ended + " soon after its start");
        }
    }
    if (pid_ < 0 && vesko::passed(retry_at_)) start_again("");
}

void Relay::start_again(const std::string& ended) {
    auto started = spawn();
    if (!started) return wait_before_start((ended.empty() ? "" : ended + " and ") + display(started.error()));
    vesko::print_err(ended.empty() ? "veskoinit: started the log relay again\n"
                                   : "veskoinit: warning: " + ended + "; started another\n");
    delay_ms_ = std::max(delay_ms_, kFirstDelayMs);
}

void Relay::wait_before_start(const std::string& what) {
    delay_ms_ = std::max(delay_ms_, kFirstDelayMs);
    retry_at_ = vesko::deadline_after(delay_ms_);
    vesko::print_err("veskoinit: warning: " + what + "; the next start is in " + seconds(delay_ms_) +
                     ", until then process 1 writes the log itself\n");
    delay_ms_ = std::min(delay_ms_ * 2, kLongestDelayMs);
}

void Relay::adopt_relay_file() {
    auto file = vesko::open_fd("/proc/" + std::to_string(pid_) + "/fd/1", O_WRONLY | O_APPEND);
    struct stat info;
    if (file && ::fstat(file->get(), &info) == 0 && S_ISREG(info.st_mode)) log_.hold(std::move(*file));
}

void Relay::move_out(size_t limit) {
    for (size_t moved = 0; moved < limit;) {
        log_.follow();
        ssize_t n = log_.take(read_end_.get());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        moved += static_cast<size_t>(n);
    }
}

void Relay::stop() {
    if (pid_ > 0) {
        adopt_relay_file();
        (void)::kill(pid_, SIGTERM);
        (void)::kill(pid_, SIGCONT);  // a stopped relay acts on SIGTERM only once continued
        for (int signal : {SIGTERM, SIGKILL}) {
            if (signal == SIGKILL) (void)::kill(pid_, SIGKILL);
            pollfd ended{process_.get(), POLLIN, 0};
            int ready;
            while ((ready = ::poll(&ended, 1, process_.valid() ? 2000 : 100)) < 0 && errno == EINTR) {
            }
            if (ready > 0) break;
        }
        siginfo_t info{};
        if (process_.valid()) {
            (void)::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(process_.get()), &info, WEXITED | WNOHANG);
        }
        process_.reset();
        pid_ = -1;
    }
    // What the pipe holds, then process 1's own lines that wait to enter it; from then on
    // process 1 writes to the file directly.
    vesko::give_children_own_output(-1);
    move_out(4 * kPipeSize);
    for (int stream : {STDOUT_FILENO, STDERR_FILENO}) (void)vesko::duplicate_onto(log_.get(), stream);
    vesko::divert_print_err(nullptr);
    (void)vesko::write_all(STDERR_FILENO, backlog.pending);
    if (backlog.dropped > 0) (void)vesko::write_all(STDERR_FILENO, backlog.dropped_line());
    backlog.pending = std::string();
}

void Relay::drain() {
    if (log_.get() < 0) return;
    move_out(4 * kPipeSize);
    // Standard output and error hold the log from now on; / must become read-only.
    log_ = LogFile();
}

[[gnu::hot]] int relay_main() {
    // SIGTERM is taken only while the relay waits for the pipe, so that it is never lost
    // between a check and the wait.
    sigset_t term, waiting;
    if (sigemptyset(&term) != 0 || sigaddset(&term, SIGTERM) != 0 || sigemptyset(&waiting) != 0 ||
        sigprocmask(SIG_BLOCK, &term, nullptr) != 0) {
        return 1;
    }
    struct sigaction action {};
    action.sa_handler = tell_relay_to_stop;
    if (sigaction(SIGTERM, &action, nullptr) != 0) return 1;
    // A description of the log of its own, without O_APPEND, which splice(2) refuses: while
    // it runs the relay is the file's only writer, and it writes at the end it finds.
    if (auto own = vesko::open_fd("/proc/self/fd/1", O_WRONLY)) (void)vesko::duplicate_onto(own->get(), STDOUT_FILENO);
    // Standard error would hold the first file for good; the relay's words go into the log.
    if (auto null = vesko::open_fd("/dev/null", O_WRONLY)) (void)vesko::duplicate_onto(null->get(), STDERR_FILENO);
    LogFile log(log_path(), vesko::Fd(STDOUT_FILENO), 0);
    log.follow();  // looks at the file held while the start's pages are still there
    // The relay lives as long as the machine, and its loop needs little of what its start or
    // a rotation of the log touched: that is let go while it waits.
    memory::Idle idle;
    bool full = false;  // the log's file system had no room at the last try
    for (;;) {
        // Once told to stop, what the pipe holds now, and no more.
        pollfd input{STDIN_FILENO, POLLIN, 0};
        if (!relay_told_to_stop) {
            // With no room, the data waits in the pipe: the next try comes a while later.
            int ready = idle.wait(&input, full ? 0 : 1, full ? kRoomLookMs : -1, &waiting);
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0) return 1;
            if (ready == 0 && !full) continue;  // the wait ended for a release
        }
        log.follow();
        ssize_t n = log.take(STDIN_FILENO);
        full = n < 0 && no_room(errno);
        if (n == 0 || (n < 0 && (errno == EAGAIN || full) && relay_told_to_stop)) return 0;
        if (full) continue;
        if (n < 0 && errno != EINTR && errno != EAGAIN) return 1;
        if (log.ran_rare_path()) idle.ran();
    }
}

}  // namespace logging
