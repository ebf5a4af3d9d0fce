#include "helpers.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <tuple>
#include <deque>
#include <memory>

#include "account.hpp"
#include "fd.hpp"
#include "logging.hpp"
#include "pid1.hpp"
#include "spawn.hpp"
#include "text.hpp"

namespace helpers {

using vesko::fail;
using vesko::Result;

namespace {

std::string read_or_empty(const char* path) {
    auto text = vesko::read_file(path);
    return text ? std::move(*text) : std::string();
}

int failed(const std::string& message) {
    vesko::print_err("vesko-run: " + message + "\n");
    return 1;
}

// Where a daemon's output goes: process 1's log. That is the pipe of the log relay when
// process 1's output is one (so a rotation of the file takes the daemon's lines along), else
// the file or, in a container that logs to process 1's own output, that.
vesko::Result<vesko::Fd, vesko::OsError> open_log() {
    bool in_file = logging::log_in_file(pid1::in_container());
    auto output = vesko::open_fd("/proc/1/fd/1", O_WRONLY | O_APPEND);
    struct stat info;
    if (!in_file || (output && ::fstat(output->get(), &info) == 0 && S_ISFIFO(info.st_mode))) return output;
    return vesko::open_fd(logging::log_path(), O_WRONLY | O_APPEND);
}

}  // namespace

namespace {

// Opens the file a script names for a daemon's output (output_log, error_log) for appending,
// with the access checks of ACCOUNT when there is one: a service user's daemon gets only
// what that user could open itself.
vesko::Result<vesko::Fd, vesko::OsError> open_output(const std::string& path, const std::optional<account::Account>& account) {
    if (!account) return vesko::open_fd(path, O_WRONLY | O_APPEND | O_CREAT, 0644);
    // The file system ids and groups are the user's for the open alone (this helper is one
    // thread, and root again afterwards).
    std::vector<gid_t> own(static_cast<size_t>(std::max(0, ::getgroups(0, nullptr))));
    if (::getgroups(static_cast<int>(own.size()), own.data()) < 0 ||
        ::setgroups(account->groups.size(), account->groups.data()) != 0) {
        return fail(vesko::last_os_error());
    }
    ::setfsgid(account->gid);
    ::setfsuid(account->uid);
    bool as_user = static_cast<uid_t>(::setfsuid(static_cast<uid_t>(-1))) == account->uid &&
                   static_cast<gid_t>(::setfsgid(static_cast<gid_t>(-1))) == account->gid;
    auto opened = as_user ? vesko::open_fd(path, O_WRONLY | O_APPEND | O_CREAT, 0644) : fail(vesko::OsError{EPERM});
    ::setfsuid(0);
    ::setfsgid(0);
    if (::setgroups(own.size(), own.data()) != 0) return fail(vesko::last_os_error());
    return opened;
}

// Writes PID to the pid file PATH as a new file renamed over it: a link planted at PATH is
// replaced, not followed, and no other file is truncated.
std::optional<std::string> write_pid_file(const std::string& path, pid_t pid) {
    std::string temporary = path + ".XXXXXX";
    int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return "cannot write pid file " + vesko::shown(path) + ": " + vesko::last_os_error().display();
    vesko::Fd file(fd);
    auto written = vesko::write_all(file.get(), std::to_string(pid) + "\n");
    if (written && ::fchmod(file.get(), 0644) == 0 && ::rename(temporary.c_str(), path.c_str()) == 0) return std::nullopt;
    vesko::OsError error = written ? vesko::last_os_error() : written.error();
    ::unlink(temporary.c_str());
    return "cannot write pid file " + vesko::shown(path) + ": " + error.display();
}

}  // namespace

int daemon_main(const std::vector<std::string>& all) {
    // --wait: a command that runs in the foreground (and forks itself), only as another user.
    // The files a script names for the output, and the pid file this helper writes.
    bool wait = false;
    std::string output_log, error_log, pidfile;
    size_t at = 0;
    for (; at < all.size(); ++at) {
        std::string* value = all[at] == "--output-log" ? &output_log
                             : all[at] == "--error-log" ? &error_log
                             : all[at] == "--pidfile"   ? &pidfile
                                                        : nullptr;
        if (all[at] == "--wait") {
            wait = true;
        } else if (value != nullptr && at + 1 < all.size()) {
            *value = all[++at];
        } else {
            break;
        }
    }
    std::vector<std::string> args(all.begin() + static_cast<long>(at), all.end());
    if (args.size() < 2) {
        return failed("usage: " + std::string(kDaemon) +
                      " [--wait] [--pidfile PATH] [--output-log PATH] [--error-log PATH] USER[:GROUP] COMMAND [ARGUMENT...]");
    }
    std::optional<account::Account> account;
    if (!args[0].empty()) {
        auto found = account::find_account(args[0], read_or_empty("/etc/passwd"), read_or_empty("/etc/group"));
        if (!found) return failed("command_user: " + found.error());
        account = std::move(*found);
    }
    auto null = vesko::open_fd("/dev/null", O_RDWR);
    if (!null) return failed("cannot open /dev/null: " + null.error().display());
    // Output goes to the files the script names; else a daemon of root's writes to process
    // 1's log, and a service user's to /dev/null: a descriptor of the log would let it
    // truncate or rewrite the log, and process 1's own streams may be the console.
    vesko::Fd output_file, error_file;
    for (auto [path, file, what] : {std::tuple{&output_log, &output_file, "output_log"}, {&error_log, &error_file, "error_log"}}) {
        if (path->empty()) continue;
        auto opened = open_output(*path, account);
        if (!opened) return failed(std::string("cannot open ") + what + " " + vesko::shown(*path) + ": " + opened.error().display());
        *file = std::move(*opened);
    }
    vesko::Fd log;
    if (!account && !output_file.valid()) {
        auto opened = open_log();
        if (opened) log = std::move(*opened);
    }
    int output = output_file.valid() ? output_file.get() : log.valid() ? log.get() : null->get();
    int errors = error_file.valid() ? error_file.get() : output;
    vesko::Credentials credentials;
    vesko::SpawnOptions options;
    options.new_session = !wait;
    options.default_signals = true;
    if (!wait || account) options.redirects = {{null->get(), STDIN_FILENO}, {output, STDOUT_FILENO}, {errors, STDERR_FILENO}};
    if (account) {
        credentials = {account->uid, account->gid, account->groups};
        options.credentials = &credentials;
    }
    std::vector<std::string> command(args.begin() + 1, args.end());
    command[0] = vesko::search_path(command[0]);
    auto pid = vesko::spawn(command, options);
    if (!pid) return failed("cannot start " + vesko::shown(command[0]) + ": " + pid.error().display());
    if (!wait) {
        if (!pidfile.empty()) {
            if (auto problem = write_pid_file(pidfile, *pid)) {
                (void)::kill(*pid, SIGTERM);
                return failed(*problem);
            }
        }
        vesko::print_out(std::to_string(*pid) + "\n");
        return 0;
    }
    int status = 0;
    while (::waitpid(*pid, &status, 0) < 0) {
        if (errno != EINTR) return failed("cannot wait for " + vesko::shown(command[0]) + ": " + vesko::last_os_error().display());
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int service_pid_main(const std::vector<std::string>& args) {
    if (args.size() != 2) return failed("usage: " + std::string(kServicePid) + " PIDFILE USER[:GROUP]");
    std::optional<uid_t> user;
    if (!args[1].empty()) {
        auto found = account::find_account(args[1], read_or_empty("/etc/passwd"), read_or_empty("/etc/group"));
        if (!found) return failed("command_user: " + found.error());
        user = found->uid;
    }
    // The service user may plant anything at the path: a link is not followed, and only a
    // regular file is opened for reading, through the inode that was checked (a FIFO or a
    // device such as /dev/watchdog, which a close arms, is never opened). No more than a
    // pid's worth of it is read.
    auto place = vesko::open_fd(args[0], O_PATH | O_NOFOLLOW);
    struct stat info;
    if (!place || ::fstat(place->get(), &info) != 0 || !S_ISREG(info.st_mode)) return 1;
    auto file = vesko::open_fd("/proc/self/fd/" + std::to_string(place->get()), O_RDONLY | O_NONBLOCK);
    if (!file) return 1;
    auto text = vesko::read_all(file->get(), 64);
    if (!text) return 1;
    std::string_view digits = *text;
    while (!digits.empty() && digits.back() == '\n') digits.remove_suffix(1);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) return 1;
    digits.remove_prefix(std::min(digits.find_first_not_of('0'), digits.size()));
    // Process 0 (to kill, the caller's process group) and process 1 are no service's.
    std::optional<uint64_t> pid = vesko::parse_unsigned(digits, INT32_MAX);
    if (!pid || *pid <= 1) return 1;
    if (::kill(static_cast<pid_t>(*pid), 0) != 0 && errno != EPERM) return 1;
    if (user) {
        // A pid file that the service user can write names only that user's processes.
        auto status = vesko::read_file("/proc/" + std::to_string(*pid) + "/status");
        size_t line = status ? status->find("\nUid:\t") : std::string::npos;
        if (line == std::string::npos) return 1;
        std::optional<uint64_t> real = vesko::parse_unsigned(
            std::string_view(*status).substr(line + 6, status->find('\t', line + 6) - (line + 6)), UINT32_MAX);
        if (!real || *real != *user) return 1;
    }
    vesko::print_out(std::to_string(*pid) + "\n");
    return 0;
}

namespace {

struct Check {
    bool directory = false;
    bool empty = false;     // -D, -F
    std::optional<mode_t> mode;
    std::optional<account::Account> owner;
};

// Removes everything inside the directory DIR (a descriptor), following no link.
bool empty_directory(int dir) {
    int copy = ::fcntl(dir, F_DUPFD_CLOEXEC, 3);
    if (copy < 0) return false;
    std::unique_ptr<DIR, int (*)(DIR*)> listing(::fdopendir(copy), ::closedir);
    if (!listing) {
        ::close(copy);
        return false;
    }
    bool ok = true;
    while (dirent* item = ::readdir(listing.get())) {
        std::string_view name = item->d_name;
        if (name == "." || name == "..") continue;
        if (::unlinkat(dir, item->d_name, 0) == 0) continue;
        if (errno != EISDIR) {
            ok = false;
            continue;
        }
        int inner = ::openat(dir, item->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        ok = inner >= 0 && empty_directory(inner) && ok;
        if (inner >= 0) ::close(inner);
        ok = ::unlinkat(dir, item->d_name, AT_REMOVEDIR) == 0 && ok;
    }
    return ok;
}

// The directory that holds PATH's last component, reached one component at a time without
// following links, and that component's name. A link on the way is followed only where both
// the link and the directory that holds it are root's (Debian's /var/run -> /run): anyone
// else's could point root's changes anywhere. Nothing is changed on the way.
struct Place {
    vesko::Fd directory;
    std::string name;
};

vesko::Result<Place, std::string> walk_to(const std::string& path) {
    auto split = [](std::string_view text) {
        std::deque<std::string> parts;
        for (size_t start = 0; start <= text.size();) {
            size_t slash = std::min(text.find('/', start), text.size());
            std::string_view part = text.substr(start, slash - start);
            if (!part.empty() && part != ".") parts.emplace_back(part);
            start = slash + 1;
        }
        return parts;
    };
    std::deque<std::string> pending = split(path);
    if (pending.empty() || pending.back() == "..") return fail(vesko::shown(path) + " names no file to check");
    std::string name = std::move(pending.back());
    pending.pop_back();
    // Each component is opened once, as whatever it is, and then looked at through that
    // descriptor alone: a link's owner and its target belong to one inode, even where
    // someone else may swap the link between the two.
    auto open_at = [](int at, const char* name) {
        int fd;
        do {
            fd = ::openat(at, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
        return vesko::Fd(fd);
    };
    vesko::Fd directory = open_at(AT_FDCWD, path[0] == '/' ? "/" : ".");
    std::string walked = path[0] == '/' ? "/" : "";
    int links = 0;
    bool stuck = false;
    while (directory.valid() && !pending.empty() && !stuck) {
        std::string part = std::move(pending.front());
        pending.pop_front();
        walked = vesko::path_join(walked, part);
        vesko::Fd entry = open_at(directory.get(), part.c_str());
        struct stat link, holder;
        if (!entry.valid() || ::fstat(entry.get(), &link) != 0) {
            stuck = true;
            continue;
        }
        if (S_ISDIR(link.st_mode)) {
            directory = std::move(entry);
            continue;
        }
        if (!S_ISLNK(link.st_mode) || ::fstat(directory.get(), &holder) != 0) {
            if (!S_ISLNK(link.st_mode)) errno = ENOTDIR;
            stuck = true;
            continue;
        }
        if (link.st_uid != 0 || holder.st_uid != 0) {
            return fail("refusing " + vesko::shown(path) + ": " + vesko::shown(walked) +
                        " is a symbolic link that is not root's, or in a directory that is not root's");
        }
        char target[PATH_MAX];
        ssize_t length = ::readlinkat(entry.get(), "", target, sizeof target);
        if (length < 0 || static_cast<size_t>(length) >= sizeof target || ++links > 40) {
            if (length >= 0) errno = ELOOP;
            stuck = true;
            continue;
        }
        std::string_view text(target, static_cast<size_t>(length));
        std::deque<std::string> inner = split(text);
        pending.insert(pending.begin(), inner.begin(), inner.end());
        if (!text.empty() && text[0] == '/') directory = open_at(AT_FDCWD, "/");
    }
    if (!directory.valid() || stuck) {
        return fail("cannot reach " + vesko::shown(walked.empty() ? "." : walked) + ": " +
                    vesko::last_os_error().display());
    }
    return Place{std::move(directory), std::move(name)};
}

// One path: reached without following links it should not, created when missing, then
// opened without following a link, and set. A file with more than one name is left alone:
// another name may be root's file.
std::optional<std::string> check_path(const std::string& path, const Check& check) {
    auto os = [&](const char* what) { return what + vesko::shown(path) + ": " + vesko::last_os_error().display(); };
    auto place = walk_to(path);
    if (!place) return place.error();
    int at = place->directory.get();
    const char* name = place->name.c_str();
    mode_t mode = check.mode.value_or(check.directory ? 0755 : 0644);
    if (check.directory) {
        if (::mkdirat(at, name, mode) != 0 && errno != EEXIST) return os("cannot create directory ");
    } else {
        int created = ::openat(at, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (created < 0 && errno != EEXIST) return os("cannot create file ");
        if (created >= 0) ::close(created);
    }
    struct stat info;
    if (::fstatat(at, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return os("cannot inspect ");
    if (S_ISLNK(info.st_mode)) return vesko::shown(path) + " is a symbolic link; it is left as it is";
    if (check.directory != S_ISDIR(info.st_mode) || (!check.directory && !S_ISREG(info.st_mode))) {
        return vesko::shown(path) + (check.directory ? " is not a directory" : " is not a regular file");
    }
    // Never opened for truncation: that waits until the file is known to have one name.
    int flags = O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | (check.directory ? O_RDONLY | O_DIRECTORY : O_RDONLY);
    int fd;
    do {
        fd = ::openat(at, name, flags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return os("cannot open ");
    vesko::Fd opened(fd);
    if (::fstat(opened.get(), &info) != 0) return os("cannot inspect ");
    if (S_ISREG(info.st_mode) && info.st_nlink > 1) {
        return vesko::shown(path) + " has more than one link; it is left as it is";
    }
    if (!check.directory && check.empty && !S_ISREG(info.st_mode)) return vesko::shown(path) + " is not a regular file";
    if (check.directory && check.empty && !empty_directory(opened.get())) return os("cannot empty ");
    if (!check.directory && check.empty) {
        // Opened read-only, so truncated through its own name once more, not following a link.
        int writable = ::openat(at, name, O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (writable < 0) return os("cannot open ");
        vesko::Fd writer(writable);
        struct stat again;
        if (::fstat(writer.get(), &again) != 0 || again.st_ino != info.st_ino || again.st_dev != info.st_dev ||
            again.st_nlink > 1) {
            return vesko::shown(path) + " changed while it was checked; it is left as it is";
        }
        if (::ftruncate(writer.get(), 0) != 0) return os("cannot truncate ");
    }
    if (check.mode && ::fchmod(opened.get(), *check.mode) != 0) return os("cannot set the mode of ");
    if (check.owner && ::fchown(opened.get(), check.owner->uid, check.owner->gid) != 0) {
        return os("cannot set the owner of ");
    }
    return std::nullopt;
}

}  // namespace

int checkpath_main(const std::vector<std::string>& args) {
    Check check;
    std::vector<std::string> paths;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (word == "-d" || word == "-D" || word == "-f" || word == "-F") {
            check.directory = word == "-d" || word == "-D";
            check.empty = word == "-D" || word == "-F";
        } else if (word == "-q") {
            // Quiet is all it ever is.
        } else if ((word == "-m" || word == "-o") && i + 1 < args.size()) {
            const std::string& value = args[++i];
            if (word == "-m") {
                char* end = nullptr;
                unsigned long mode = std::strtoul(value.c_str(), &end, 8);
                if (value.empty() || *end != '\0' || mode > 07777) return failed("checkpath: invalid mode " + vesko::quoted(value));
                check.mode = static_cast<mode_t>(mode);
            } else {
                auto owner = account::find_account(value, read_or_empty("/etc/passwd"), read_or_empty("/etc/group"));
                if (!owner) return failed("checkpath: " + owner.error());
                check.owner = std::move(*owner);
            }
        } else if (!word.empty() && word[0] == '-') {
            return failed("checkpath: unknown option " + vesko::quoted(word));
        } else {
            paths.push_back(word);
        }
    }
    if (paths.empty()) return failed("checkpath: no path given");
    int status = 0;
    for (const std::string& path : paths) {
        if (auto problem = check_path(path, check)) status = failed("checkpath: " + *problem);
    }
    return status;
}

}  // namespace helpers
