#include "admin.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <set>

#include "daemons.hpp"
#include "fd.hpp"
#include "runner.hpp"
#include "service.hpp"
#include "spawn.hpp"
#include "text.hpp"

namespace admin {

using vesko::fail;
using vesko::shown;
using vesko::quoted;
using vesko::Result;

std::string display(const Error& error) {
    auto os = [](const vesko::OsError& e) { return e.display(); };
    return std::visit(
        vesko::Overloaded{
            [](const InvalidServiceName& e) { return "invalid service name " + quoted(e.name) + ": " + e.reason; },
            [](const ServiceNotFound& e) {
                return "service " + quoted(e.name) + " does not exist in " + shown(e.directory);
            },
            [&](const CreateDirectory& e) { return "cannot create " + shown(e.directory) + ": " + os(e.os); },
            [&](const Inspect& e) { return "cannot inspect " + shown(e.path) + ": " + os(e.os); },
            [](const NotSymlink& e) {
                return "cannot enable service because " + shown(e.link) + " is not a symlink";
            },
            [](const WrongEnableTarget& e) {
                return "enable symlink " + shown(e.link) + " points to " + shown(e.found) + ", expected " +
                       shown(e.expected);
            },
            [](const EnabledEntryNotSymlink& e) { return "enabled service entry " + shown(e.path) + " is not a symlink"; },
            [&](const CreateEnableLink& e) { return "cannot create enable symlink " + shown(e.link) + ": " + os(e.os); },
            [&](const RemoveEnableLink& e) { return "cannot remove enable symlink " + shown(e.link) + ": " + os(e.os); },
            [&](const ReadDirectory& e) { return "cannot read " + shown(e.directory) + ": " + os(e.os); },
            [&](const ReadDirectoryEntry& e) { return "cannot read an entry in " + shown(e.directory) + ": " + os(e.os); },
            [&](const LocateExecutable& e) { return "cannot locate the vesko executable: " + os(e.os); },
            [&](const RunAction& e) { return "cannot run " + e.action + " for " + e.name + ": " + os(e.os); },
            [](const ActionFailed& e) { return e.action + " for " + e.name + " failed with status " + e.status; },
            [](const ActionTimedOut& e) {
                return e.action + " for " + e.name + " timed out after " + std::to_string(e.seconds) + " seconds";
            },
            [](const InvalidMetadata& e) { return "invalid dependency metadata from " + e.name + ": " + e.reason; },
            [](const InvalidNeed& e) {
                return "service " + e.name + " needs " + vesko::quoted(e.needed) + ", which cannot be a service here: " +
                       kNameRule;
            },
            [](const MissingNeed& e) {
                return "service " + e.name + " needs " + e.needed + ", but " + e.needed + " is not enabled";
            },
            [](const NeedPassedOver& e) { return "service " + e.name + " needs " + e.needed + ", which was passed over"; },
            [](const DependencyCycle& e) {
                return "enabled script services have a dependency cycle involving: " + vesko::join(e.names, ", ");
            },
            [&](const WriteStatus& e) { return "cannot write status output: " + os(e.os); },
        },
        error);
}

Directories Directories::from_environment() {
    auto variable = [](const char* name, const char* fallback) {
        const char* value = std::getenv(name);
        return std::string(value != nullptr ? value : fallback);
    };
    return {variable("VESKO_SERVICE_DIR", kDefaultServiceDir), variable("VESKO_ENABLED_DIR", kDefaultEnabledDir),
            variable("VESKO_INIT_DIR", kDefaultInitDir)};
}

// The rule is the same for both kinds of service; each kind reports it in its own words.
bool is_valid_service_name(std::string_view name) { return service::is_valid_service_name(name); }

Result<std::string, Error> service_path(const Directories& directories, const std::string& name) {
    if (!is_valid_service_name(name)) return fail(Error{InvalidServiceName{name, kNameRule}});
    auto regular = [](const std::string& path) {
        struct stat info;
        return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
    };
    std::string path = vesko::path_join(directories.service_dir, name);
    if (regular(path)) return path;
    // A package's init script: only one with an LSB header, which runs as a program. NAME.sh
    // (Debian's hwclock.sh) is the service NAME too, when the plain NAME is none.
    for (const char* suffix : {"", ".sh"}) {
        std::string init_script = vesko::path_join(directories.init_dir, name + suffix);
        if (!directories.init_dir.empty() && regular(init_script) && runner::has_lsb_header(init_script)) {
            return init_script;
        }
    }
    return fail(Error{ServiceNotFound{name, directories.service_dir}});
}

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

// Paths compared component by component: doubled and trailing separators and "." in the
// middle make no difference; nothing is resolved.
bool same_path(std::string_view a, std::string_view b) {
    bool rooted_a = !a.empty() && a[0] == '/', rooted_b = !b.empty() && b[0] == '/';
    return rooted_a == rooted_b && vesko::path_components(a) == vesko::path_components(b);
}

}  // namespace

Result<std::vector<std::string>, Error> enabled_names(const std::string& enabled_dir, std::vector<Error>* skipped) {
    auto opened = vesko::open_fd(enabled_dir, O_RDONLY | O_DIRECTORY);
    if (!opened) {
        if (opened.error().code == ENOENT) return std::vector<std::string>{};
        return fail(Error{ReadDirectory{enabled_dir, opened.error()}});
    }
    std::unique_ptr<DIR, DirCloser> dir(fdopendir(opened->get()));
    if (!dir) return fail(Error{ReadDirectory{enabled_dir, vesko::last_os_error()}});
    opened->release();  // owned by the directory stream now
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir.get());
        if (entry == nullptr) {
            if (errno == 0) return names;
            return fail(Error{ReadDirectoryEntry{enabled_dir, vesko::last_os_error()}});
        }
        std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        auto problem = [&]() -> std::optional<Error> {
            std::string path = vesko::path_join(enabled_dir, name);
            bool link;
            if (entry->d_type != DT_UNKNOWN) {
                link = entry->d_type == DT_LNK;
            } else {
                struct stat info;
                if (fstatat(dirfd(dir.get()), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
                    return Error{Inspect{path, vesko::last_os_error()}};
                }
                link = S_ISLNK(info.st_mode);
            }
            if (!link) return Error{EnabledEntryNotSymlink{path}};
            if (!vesko::is_utf8(name)) return Error{InvalidServiceName{"<non-UTF-8>", kNameNotUtf8}};
            if (!is_valid_service_name(name)) return Error{InvalidServiceName{name, kNameRule}};
            return std::nullopt;
        }();
        if (!problem) {
            names.push_back(std::move(name));
        } else if (skipped != nullptr) {
            skipped->push_back(std::move(*problem));
        } else {
            return fail(std::move(*problem));
        }
    }
}

Result<void, Error> enable_service(const Directories& directories, const std::string& name) {
    auto script = service_path(directories, name);
    if (!script) return fail(std::move(script.error()));
    auto created = vesko::create_directories(directories.enabled_dir, 0777);
    if (!created) return fail(Error{CreateDirectory{directories.enabled_dir, created.error()}});
    std::string link = vesko::path_join(directories.enabled_dir, name);
    struct stat info;
    if (::lstat(link.c_str(), &info) != 0) {
        if (errno != ENOENT) return fail(Error{Inspect{link, vesko::last_os_error()}});
        if (::symlink(script->c_str(), link.c_str()) != 0) {
            return fail(Error{CreateEnableLink{link, vesko::last_os_error()}});
        }
        return {};
    }
    if (!S_ISLNK(info.st_mode)) return fail(Error{NotSymlink{link}});
    auto target = vesko::read_link(link);
    if (!target) return fail(Error{Inspect{link, target.error()}});
    if (!same_path(*target, *script)) return fail(Error{WrongEnableTarget{link, *target, *script}});
    return {};
}

Result<void, Error> disable_service(const Directories& directories, const std::string& name) {
    std::string link = vesko::path_join(directories.enabled_dir, name);
    struct stat info;
    if (::lstat(link.c_str(), &info) != 0) {
        if (errno == ENOENT) return {};
        return fail(Error{Inspect{link, vesko::last_os_error()}});
    }
    if (!S_ISLNK(info.st_mode)) return fail(Error{NotSymlink{link}});
    if (::unlink(link.c_str()) != 0) return fail(Error{RemoveEnableLink{link, vesko::last_os_error()}});
    return {};
}

Result<Records, Error> parse_metadata(const std::string& name, std::string_view output) {
    if (!vesko::is_utf8(output)) return fail(Error{InvalidMetadata{name, "metadata output is not valid UTF-8"}});
    Records records;
    for (std::string_view line : vesko::split_lines(output)) {
        size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        std::string_view key = line.substr(0, colon), value = line.substr(colon + 1);
        std::vector<std::string>* list = key == "need"     ? &records.need
                                         : key == "use"    ? &records.use
                                         : key == "after"  ? &records.after
                                         : key == "before" ? &records.before
                                         : key == "provide" ? &records.provide
                                                           : nullptr;
        if (list == nullptr) continue;
        if (value == "*" && list == &records.after) {
            records.after_all = true;
        } else if (value == "*" && list == &records.before) {
            records.before_all = true;
        } else if (is_valid_service_name(value)) {
            list->emplace_back(value);
        } else if (list == &records.need) {
            return fail(Error{InvalidNeed{name, std::string(value)}});
        } else if (list == &records.provide) {
            return fail(Error{InvalidMetadata{name, kNameRule}});
        }
        // Else an ordering hint about a service that cannot exist here: nothing to order.
    }
    return records;
}

namespace {

// The executable as installed: after an upgrade, the new one.
Result<std::string, Error> self_executable() {
    auto path = vesko::own_executable();
    if (path) return std::move(*path);
    if (path.error().code == ENOENT) {
        return fail(Error{LocateExecutable{vesko::fixed_error("no /proc/self/exe available. Is /proc mounted?")}});
    }
    return fail(Error{LocateExecutable{path.error()}});
}

// The time limit of an action that process 1 runs, taken when it starts; none for anyone
// else (a user at a terminal can interrupt what vesko-service runs).
struct Limit {
    long seconds = 0;
    std::optional<timespec> deadline;

    static Limit now() {
        if (getpid() != 1) return {};
        const char* value = std::getenv("VESKO_TEST_ACTION_TIMEOUT");
        std::optional<uint64_t> given = vesko::parse_unsigned(value != nullptr ? value : "", 24 * 3600);
        return of(given && *given > 0 ? static_cast<long>(*given) : kActionTimeoutSeconds);
    }
    static Limit of(long seconds) { return {seconds, vesko::deadline_after(seconds * 1000)}; }
};

// How long vesko-service waits for each metadata query when it foretells what the next boot
// will pass over: an unrelated script that hangs must not hold the command.
constexpr long kForetellSeconds = 10;

// Kills every process of the session SESSION (the id of its leader, which has ended): what
// made a process group of its own in it (`timeout`, a job-control subshell) as well. The
// session's id cannot go to a new process while any process of it lives; the one process
// whose pid it could then be, a new session's leader, is passed over. A few rounds catch
// what forked while the first was read.
void kill_session(pid_t session) {
    for (int round = 0; round < 5; ++round) {
        std::unique_ptr<DIR, DirCloser> listing(::opendir("/proc"));
        if (!listing) return;
        bool found = false;
        while (const dirent* entry = ::readdir(listing.get())) {
            std::optional<uint64_t> pid = vesko::parse_unsigned(entry->d_name, INT32_MAX);
            if (!pid || entry->d_name[0] == '+' || static_cast<pid_t>(*pid) == session) continue;
            // Held before its session is read, so that a pid reused meanwhile is not hit.
            vesko::Fd process(static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(*pid), 0)));
            if (!process.valid() && errno != ENOSYS) continue;
            auto seen = daemons::read_process(static_cast<pid_t>(*pid));
            if (!seen || seen->state == 'Z' || seen->session != session) continue;
            found = (process.valid() ? ::syscall(SYS_pidfd_send_signal, process.get(), SIGKILL, nullptr, 0)
                                     : ::kill(static_cast<pid_t>(*pid), SIGKILL)) == 0 ||
                    found;
        }
        if (!found) return;
    }
}

// Kills CHILD, an action's runner, with everything of GROUP (its session, when it has one).
void kill_action(pid_t child, pid_t group) {
    if (group > 0) (void)::kill(-group, SIGKILL);
    (void)::kill(child, SIGKILL);
    if (group > 0) kill_session(group);
}

// Waits for CHILD, an action's runner; other children that end meanwhile go to OTHER when
// there is one. With a DEADLINE, a child still running then is killed with everything of
// GROUP (its session, when it has one of its own), waited for a few seconds more (a process
// stuck in the kernel is left to the event loop's reaping), and the result is nullopt.
Result<std::optional<int>, vesko::OsError> wait_for(pid_t child, pid_t group, const OtherChild& other,
                                                    std::optional<timespec> deadline = std::nullopt) {
    bool killed = false;
    for (;;) {
        int status = 0;
        pid_t ended = ::waitpid(other ? -1 : child, &status, deadline ? WNOHANG : 0);
        if (ended < 0) {
            if (errno == EINTR) continue;
            return fail(vesko::last_os_error());
        }
        if (ended == child) {
            if (killed) return std::optional<int>();
            return std::optional<int>(status);
        }
        if (ended > 0) {
            other(ended, status);
            continue;
        }
        if (vesko::passed(*deadline)) {
            if (killed) return std::optional<int>();
            kill_action(child, group);
            killed = true;
            deadline = vesko::deadline_after(5000);
        }
        vesko::wait_for_child(vesko::milliseconds_left(*deadline));
    }
}

std::string status_text(int status) {
    return WIFEXITED(status) ? std::to_string(WEXITSTATUS(status)) : std::string("signal");
}

// How ACTION of NAME ended, as wait_for reports it under LIMIT: success, or why not. The
// runner reports a shell killed by a signal as status 1; a runner killed by one (an action
// that ends its parent) has failed with "signal".
Result<void, Error> judge(const std::string& action, const std::string& name, const std::optional<int>& status,
                          const Limit& limit) {
    if (!status) return fail(Error{ActionTimedOut{action, name, limit.seconds}});
    if (!WIFEXITED(*status) || WEXITSTATUS(*status) != 0) return fail(Error{ActionFailed{action, name, status_text(*status)}});
    return {};
}

// An action's runner and the process group it runs in.
struct Runner {
    pid_t pid = 0;
    pid_t group = 0;
};

// Starts ACTION of the script at PATH with the given standard streams, through a runner that
// stands between the caller and the script's shell, as vesko-run does: an action that
// signals or kills its parent ($PPID) reaches the runner, never the caller (for process 1, a
// request), and the caller reports the action as failed. The runner is a copy of the caller
// made with fork, which saves an executable's start per action.
Result<Runner, Error> start_runner(const Directories& directories, const std::string& name, const std::string& path,
                                   const std::string& action, std::vector<std::pair<int, int>> redirects) {
    // The shell gets this executable (VESKO_HELPER), so it must be found.
    auto executable = self_executable();
    if (!executable) return fail(std::move(executable.error()));
    int errors = STDERR_FILENO;
    for (const auto& [from, to] : redirects) {
        if (to == STDERR_FILENO) errors = from;
    }
    std::vector<std::string> environment = runner::shell_environment(
        *executable, {{"VESKO_SERVICE_DIR", directories.service_dir}, {"VESKO_ENABLED_DIR", directories.enabled_dir}});
    Runner started;
    vesko::SpawnOptions options;
    options.environment = &environment;
    options.redirects = std::move(redirects);
    // From vesko-service the action stays in the caller's process group, where the terminal's
    // Ctrl-C reaches it.
    bool own_session = getpid() == 1;
    pid_t runner = ::fork();
    if (runner < 0) return fail(Error{RunAction{action, name, vesko::last_os_error()}});
    if (runner == 0) {
        // Process 1's runner leads a session of its own, so that a `kill 0` in a script never
        // reaches process 1; it opens no terminal, so that none that the shell opens becomes
        // the session's controlling terminal, and keeps process 1's blocked signals blocked:
        // a script's SIGTERM or SIGINT to its parent does nothing. The runner ends with the
        // shell's status, 1 for a shell killed by a signal, as vesko-run does.
        if (own_session && ::setsid() < 0) ::_exit(1);
        vesko::take_own_output();
        std::vector<std::string> command = runner::shell_command(path, action, name);
        auto shell = vesko::spawn(command, options);
        if (!shell) {
            (void)vesko::write_all(errors, runner::cannot_execute(command[0], shell.error()));
            ::_exit(1);
        }
        int status = 0;
        while (::waitpid(*shell, &status, 0) < 0) {
            if (errno != EINTR) ::_exit(1);
        }
        ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
    }
    started.pid = runner;
    started.group = own_session ? runner : 0;
    return started;
}

// Metadata output beyond this is refused: process 1 reads it, and no script declares that much.
constexpr size_t kMaxMetadataOutput = 1 << 20;
constexpr long kDrainIntervalMs = 100;

// The real metadata query: standard input the null device, standard error discarded,
// standard output collected until the child has ended (a daemon that a script's top level
// left holding the pipe cannot hold the query up).
Result<std::string, Error> query_metadata(const Directories& directories, const std::string& name,
                                          const std::string& path, const OtherChild& other,
                                          std::optional<long> seconds = std::nullopt) {
    auto failed = [&](vesko::OsError os) { return fail(Error{RunAction{"metadata", name, os}}); };
    auto null = vesko::open_fd("/dev/null", O_RDWR);
    if (!null) return failed(null.error());
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return failed(vesko::last_os_error());
    vesko::Fd reader(ends[0]), writer(ends[1]);
    if (::fcntl(reader.get(), F_SETFL, O_NONBLOCK) != 0) return failed(vesko::last_os_error());
    // A pipe that holds more than any accepted output: the child never waits for it, and its
    // output is read once it has ended instead of at every line it writes. Where the pipe
    // cannot grow, it is read as it fills.
    bool roomy = ::fcntl(reader.get(), F_SETPIPE_SZ, static_cast<int>(kMaxMetadataOutput + 1)) > 0;
    Limit limit = seconds ? Limit::of(*seconds) : Limit::now();
    auto child = start_runner(directories, name, path, "metadata",
                              {{null->get(), STDIN_FILENO}, {writer.get(), STDOUT_FILENO}, {null->get(), STDERR_FILENO}});
    if (!child) return fail(std::move(child.error()));
    writer.reset();
    vesko::Fd ended(static_cast<int>(::syscall(SYS_pidfd_open, child->pid, 0)));
    roomy = roomy && ended.valid();
    std::string output;
    bool too_long = false, child_ended = false;
    // Reads what the pipe holds; false at its end (every writer gone) or on an error.
    auto drain = [&] {
        for (;;) {
            char buffer[16384];
            ssize_t n = ::read(reader.get(), buffer, sizeof buffer);
            if (n > 0) {
                if (output.size() + static_cast<size_t>(n) > kMaxMetadataOutput) too_long = true;
                if (!too_long) output.append(buffer, static_cast<size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            return n < 0 && errno == EAGAIN;
        }
    };
    for (;;) {
        // Once the child has ended, what the pipe holds is taken and the reading stops, even
        // if a daemon that the script's top level left still holds the pipe.
        if (!drain() || child_ended) break;
        if (too_long) {
            // Refused already: the rest is not waited for.
            kill_action(child->pid, child->group);
            break;
        }
        long left = limit.deadline ? vesko::milliseconds_left(*limit.deadline) : -1;
        // A roomy pipe is only emptied now and then, for a child that writes too much.
        long wait = roomy ? (left < 0 ? kDrainIntervalMs : std::min(left, kDrainIntervalMs)) : left;
        pollfd fds[2] = {{reader.get(), static_cast<short>(roomy ? 0 : POLLIN), 0},
                         {ended.valid() ? ended.get() : -1, POLLIN, 0}};
        int ready = ::poll(fds, 2, static_cast<int>(wait));
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (ready == 0 && limit.deadline && vesko::passed(*limit.deadline)) break;  // wait_for ends the child
        if (fds[1].revents != 0) child_ended = true;
    }
    auto status = wait_for(child->pid, child->group, other, limit.deadline);
    if (!status) return failed(status.error());
    if (too_long) return fail(Error{InvalidMetadata{name, "metadata output is larger than 1 MiB"}});
    auto judged = judge("metadata", name, *status, limit);
    if (!judged) return fail(std::move(judged.error()));
    return output;
}

}  // namespace

namespace {

using Prerequisites = std::map<std::string, std::set<std::string>>;
using Providers = std::map<std::string, std::set<std::string>>;  // virtual name -> its services

// NAME itself when it has records, and the services of RECORDS that provide it (but WHO).
std::set<std::string> meant(const std::map<std::string, Records>& records, const Providers& providers,
                            const std::string& name, const std::string& who) {
    std::set<std::string> services;
    if (records.count(name) != 0) services.insert(name);
    if (auto found = providers.find(name); found != providers.end()) {
        for (const std::string& provider : found->second) {
            if (provider != who && records.count(provider) != 0) services.insert(provider);
        }
    }
    return services;
}

// What must start before each service of RECORDS, among them.
Prerequisites prerequisites_of(const std::map<std::string, Records>& records, const Providers& providers) {
    Prerequisites prerequisites;
    for (const auto& [name, of] : records) prerequisites[name];
    for (const auto& [name, of] : records) {
        for (const auto* list : {&of.need, &of.use, &of.after}) {
            for (const std::string& earlier : *list) {
                for (const std::string& service : meant(records, providers, earlier, name)) {
                    prerequisites[name].insert(service);
                }
            }
        }
        for (const std::string& later : of.before) {
            for (const std::string& service : meant(records, providers, later, name)) prerequisites[service].insert(name);
        }
    }
    // `before *` and `after *`: each such service is put before (after) every other that is
    // not already ordered the other way and does not say the same. What must come before a
    // service, its own prerequisites and theirs:
    auto earlier_than = [&](const std::string& name) {
        std::set<std::string> seen;
        std::vector<std::string> pending{name};
        while (!pending.empty()) {
            std::string next = std::move(pending.back());
            pending.pop_back();
            for (const std::string& before : prerequisites[next]) {
                if (seen.insert(before).second) pending.push_back(before);
            }
        }
        return seen;
    };
    // Each one's edges are in place before the next one looks, so that two of them cannot
    // close a cycle between them.
    for (bool after : {false, true}) {
        for (const auto& [name, of] : records) {
            if (!(after ? of.after_all : of.before_all)) continue;
            std::set<std::string> earlier = earlier_than(name);
            for (const auto& [other, its] : records) {
                if (other == name || (after ? its.after_all : its.before_all)) continue;
                if (after && earlier_than(other).count(name) == 0) prerequisites[name].insert(other);
                if (!after && earlier.count(other) == 0) prerequisites[other].insert(name);
            }
        }
    }
    return prerequisites;
}

// Takes from PREREQUISITES into ORDER, the smallest name first, each service whose
// prerequisites have all been taken; what is left could not be ordered.
void take_ready(Prerequisites& prerequisites, std::vector<std::string>& order) {
    for (;;) {
        auto ready = prerequisites.begin();
        while (ready != prerequisites.end() && !ready->second.empty()) ++ready;
        if (ready == prerequisites.end()) return;
        std::string name = ready->first;
        prerequisites.erase(ready);
        for (auto& [other, waiting] : prerequisites) waiting.erase(name);
        order.push_back(std::move(name));
    }
}

// What NAME waits on in PREREQUISITES, directly or through others.
std::set<std::string> waits_on(const Prerequisites& prerequisites, const std::string& name) {
    std::set<std::string> seen;
    std::vector<std::string> pending{name};
    while (!pending.empty()) {
        auto found = prerequisites.find(pending.back());
        pending.pop_back();
        if (found == prerequisites.end()) continue;
        for (const std::string& next : found->second) {
            if (seen.insert(next).second) pending.push_back(next);
        }
    }
    return seen;
}

// The cycles among what could not be ordered: each service that comes back to itself, with
// the services of its cycle (ascending), rather than those that merely wait on one. Every
// service that take_ready leaves waits on another one left, so there is at least one.
std::map<std::string, std::vector<std::string>> cycles_of(const Prerequisites& prerequisites) {
    std::map<std::string, std::set<std::string>> reach;
    for (const auto& [name, waiting] : prerequisites) reach[name] = waits_on(prerequisites, name);
    std::map<std::string, std::vector<std::string>> cycles;
    for (const auto& [name, reached] : reach) {
        if (reached.count(name) == 0) continue;
        for (const std::string& other : reached) {
            if (reach[other].count(name) != 0) cycles[name].push_back(other);
        }
    }
    return cycles;
}

// The records of NAME: its script found, QUERY (or the real query) asked, the output parsed.
Result<Records, Error> records_of(const Directories& directories, const std::string& name, const MetadataQuery& query) {
    auto path = service_path(directories, name);
    if (!path) return fail(std::move(path.error()));
    auto output = query ? query(name, *path) : query_metadata(directories, name, *path, {});
    if (!output) return fail(std::move(output.error()));
    return parse_metadata(name, *output);
}

}  // namespace

Result<std::vector<std::string>, Error> enabled_start_order(const Directories& directories,
                                                            const std::vector<std::string>& names,
                                                            const MetadataQuery& query) {
    std::set<std::string> enabled(names.begin(), names.end());
    std::map<std::string, Records> records;
    Providers providers;
    // The first need, in query order, that nothing enabled meets so far.
    auto unmet = [&]() -> std::optional<Error> {
        for (const auto& [name, of] : records) {
            for (const std::string& needed : of.need) {
                if (enabled.count(needed) == 0 && providers.count(needed) == 0) return Error{MissingNeed{name, needed}};
            }
        }
        return std::nullopt;
    };
    for (const std::string& name : enabled) {
        auto parsed = records_of(directories, name, query);
        if (!parsed) return fail(unmet().value_or(std::move(parsed.error())));
        for (const std::string& virtual_name : parsed->provide) providers[virtual_name].insert(name);
        records.emplace(name, std::move(*parsed));
    }
    if (auto missing = unmet()) return fail(std::move(*missing));
    Prerequisites prerequisites = prerequisites_of(records, providers);
    std::vector<std::string> order;
    take_ready(prerequisites, order);
    if (!prerequisites.empty()) {
        std::vector<std::string> stuck;
        for (const auto& [name, waiting] : prerequisites) stuck.push_back(name);
        return fail(Error{DependencyCycle{std::move(stuck)}});
    }
    return order;
}

Plan plan_start(const Directories& directories, const std::vector<std::string>& names, const MetadataQuery& query) {
    std::set<std::string> enabled(names.begin(), names.end());
    Plan plan;
    std::map<std::string, Records> records;
    Providers providers;
    for (const std::string& name : enabled) {
        auto parsed = records_of(directories, name, query);
        if (!parsed) {
            plan.passed_over.push_back({name, std::move(parsed.error())});
            continue;
        }
        for (const std::string& virtual_name : parsed->provide) providers[virtual_name].insert(name);
        records.emplace(name, std::move(*parsed));
    }
    for (const auto& [name, of] : records) {
        for (const std::string& needed : of.need) {
            // A service that provides what it needs meets that need itself.
            if (std::find(of.provide.begin(), of.provide.end(), needed) != of.provide.end()) continue;
            bool known = enabled.count(needed) != 0 || providers.count(needed) != 0;
            plan.needs[name].push_back({needed, meant(records, providers, needed, name), known});
        }
    }
    Prerequisites prerequisites = prerequisites_of(records, providers);
    for (;;) {
        take_ready(prerequisites, plan.order);
        if (prerequisites.empty()) return plan;
        // The members of the cycles are passed over; what only waited on them is ordered
        // without them (and passed over in its turn if it needs them).
        auto cycles = cycles_of(prerequisites);
        if (cycles.empty()) {
            for (const auto& [name, waiting] : prerequisites) cycles[name] = {name};  // never: see cycles_of
        }
        for (auto& [name, cycle] : cycles) {
            plan.passed_over.push_back({name, DependencyCycle{std::move(cycle)}});
            prerequisites.erase(name);
        }
        for (auto& [name, waiting] : prerequisites) {
            for (const auto& [member, cycle] : cycles) waiting.erase(member);
        }
    }
}

std::optional<Error> unmet_need(const Plan& plan, const std::string& name, const std::set<std::string>& started) {
    auto needs = plan.needs.find(name);
    if (needs == plan.needs.end()) return std::nullopt;
    for (const Need& need : needs->second) {
        if (!need.known) return Error{MissingNeed{name, need.name}};
        bool met = std::any_of(need.met_by.begin(), need.met_by.end(),
                               [&](const std::string& service) { return started.count(service) != 0; });
        if (!met) return Error{NeedPassedOver{name, need.name}};
    }
    return std::nullopt;
}

Result<void, Error> run_action(const Directories& directories, const std::string& name, const std::string& action,
                               bool quiet, const OtherChild& other) {
    auto path = service_path(directories, name);
    if (!path) return fail(std::move(path.error()));
    vesko::Fd null;
    std::vector<std::pair<int, int>> redirects;
    if (quiet) {
        auto opened = vesko::open_fd("/dev/null", O_WRONLY);
        if (!opened) return fail(Error{RunAction{action, name, opened.error()}});
        null = std::move(*opened);
        redirects.emplace_back(null.get(), STDOUT_FILENO);
    }
    Limit limit = Limit::now();
    auto child = start_runner(directories, name, *path, action, std::move(redirects));
    if (!child) return fail(std::move(child.error()));
    auto status = wait_for(child->pid, child->group, other, limit.deadline);
    if (!status) return fail(Error{RunAction{action, name, status.error()}});
    return judge(action, name, *status, limit);
}

Result<Plan, Error> current_plan(const Directories& directories, std::vector<Error>& skipped, const OtherChild& other) {
    auto names = enabled_names(directories.enabled_dir, &skipped);
    if (!names) return fail(std::move(names.error()));
    return plan_start(directories, *names, [&](const std::string& name, const std::string& path) {
        return query_metadata(directories, name, path, other);
    });
}

StartReport start_enabled(const OtherChild& other, const std::function<void(const std::string&)>& each_started) {
    Directories directories = Directories::from_environment();
    StartReport report;
    auto warn = [](const std::string& text) { vesko::print_err("veskoinit: warning: " + text + "\n"); };
    auto pass = [&](const std::string& name, Error why) {
        warn("passing over script service " + name + ": " + display(why));
        report.passed_over.push_back({name, std::move(why)});
    };
    std::vector<Error> skipped;
    auto plan = current_plan(directories, skipped, other);
    for (const Error& entry : skipped) warn("passing over an entry of " + shown(directories.enabled_dir) + ": " + display(entry));
    if (!plan) {
        warn(display(plan.error()) + "; no script service is started");
        return report;
    }
    for (PassedOver& passed : plan->passed_over) pass(passed.name, std::move(passed.why));
    std::set<std::string> started;
    for (const std::string& name : plan->order) {
        if (auto unmet = unmet_need(*plan, name, started)) {
            pass(name, std::move(*unmet));
            continue;
        }
        auto done = run_action(directories, name, "start", false, other);
        if (!done) {
            pass(name, std::move(done.error()));
            continue;
        }
        started.insert(name);
        if (each_started) each_started(name);
    }
    report.started = started.size();
    return report;
}

Result<size_t, Error> stop_enabled(const OtherChild& other, const std::set<std::string>& passed_over) {
    Directories directories = Directories::from_environment();
    std::optional<Error> first;
    auto failed = [&](const std::string& name, Error why) {
        vesko::print_err("veskoinit: warning: could not stop script service " + name + ": " + display(why) + "\n");
        if (!first) first = std::move(why);
    };
    std::vector<Error> skipped;
    auto names = enabled_names(directories.enabled_dir, &skipped);
    if (!names) return fail(std::move(names.error()));
    // What the boot passed over is neither asked (its query may be what failed, for as long as
    // the time limit) nor stopped, unless its status says it runs: started by hand since.
    std::erase_if(*names, [&](const std::string& name) {
        return passed_over.count(name) != 0 && !run_action(directories, name, "status", true, other);
    });
    Plan plan = plan_start(directories, *names, [&](const std::string& name, const std::string& path) {
        return query_metadata(directories, name, path, other);
    });
    // What cannot be ordered now is not stopped either.
    for (PassedOver& passed : plan.passed_over) failed(passed.name, std::move(passed.why));
    size_t stopped = 0;
    for (auto name = plan.order.rbegin(); name != plan.order.rend(); ++name) {
        auto done = run_action(directories, *name, "stop", false, other);
        if (!done) {
            failed(*name, std::move(done.error()));
            continue;
        }
        ++stopped;
    }
    if (first) return fail(std::move(*first));
    return stopped;
}

Result<Request, Usage> parse_request(const std::vector<std::string>& args) {
    static const std::set<std::string_view> kActions = {"start",  "stop",   "restart", "reload",
                                                        "status", "enable", "disable", "checkconfig"};
    std::vector<std::string> words;
    for (const std::string& arg : args) {
        if (!vesko::is_utf8(arg)) return fail(Usage{"arguments must be valid UTF-8"});
    }
    for (const std::string& arg : args) {
        if (arg != "and") words.push_back(arg);
    }
    if (words.size() < 2) return fail(Usage{"provide at least one action and one service"});
    Request request;
    if (kActions.count(words.front()) != 0) {
        request.service = words.back();
        request.actions.assign(words.begin(), words.end() - 1);
    } else {
        request.service = words.front();
        request.actions.assign(words.begin() + 1, words.end());
    }
    if (!is_valid_service_name(request.service)) return fail(Usage{kNameRule});
    for (const std::string& action : request.actions) {
        bool valid = !action.empty();
        for (char c : action) {
            valid = valid && ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_');
        }
        if (!valid) return fail(Usage{"actions must contain only lowercase letters, digits, hyphens, and underscores"});
    }
    return request;
}

namespace {

// What the next boot will pass over because NAME was enabled (ENABLED) or disabled: NAME
// itself, when it cannot be ordered or something it needs is missing; or, once it is
// disabled, every enabled service that needs it (or a name it provides) and is left without.
std::vector<Error> boot_consequences(const Directories& directories, const std::string& name, bool enabled) {
    std::set<std::string> meanings{name};
    if (!enabled) {
        if (auto own = records_of(directories, name, {})) meanings.insert(own->provide.begin(), own->provide.end());
    }
    std::vector<Error> skipped, found;
    auto names = enabled_names(directories.enabled_dir, &skipped);
    if (!names) return found;
    // The bounded waits take SIGCHLD from the pending set, as process 1 does: blocked meanwhile.
    sigset_t child, previous;
    if (sigemptyset(&child) != 0 || sigaddset(&child, SIGCHLD) != 0 || pthread_sigmask(SIG_BLOCK, &child, &previous) != 0) {
        return found;
    }
    Plan plan = plan_start(directories, *names, [&](const std::string& service, const std::string& path) {
        return query_metadata(directories, service, path, {}, kForetellSeconds);
    });
    (void)pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    // Without /proc (a chroot being set up) nothing can be asked here, and a query that hangs
    // tells nothing: nothing is foretold.
    for (const PassedOver& passed : plan.passed_over) {
        if (std::holds_alternative<LocateExecutable>(passed.why) || std::holds_alternative<ActionTimedOut>(passed.why)) {
            return found;
        }
    }
    for (PassedOver& passed : plan.passed_over) {
        if (enabled && passed.name == name) found.push_back(std::move(passed.why));
    }
    std::set<std::string> started;
    for (const std::string& service : plan.order) {
        auto unmet = unmet_need(plan, service, started);
        if (!unmet) {
            started.insert(service);
            continue;
        }
        const auto* missing = std::get_if<MissingNeed>(&*unmet);
        if (enabled ? service == name : missing != nullptr && meanings.count(missing->needed) != 0) {
            found.push_back(std::move(*unmet));
        }
    }
    return found;
}

}  // namespace

int main(const std::vector<std::string>& args) {
    auto request = parse_request(args);
    if (!request) {
        vesko::print_err(std::string("vesko-service: ") + request.error().problem +
                         "\nusage: vesko-service ACTION [and ACTION ...] SERVICE\n"
                         "       vesko-service SERVICE ACTION [ACTION ...]\n");
        return 2;
    }
    Directories directories = Directories::from_environment();
    auto written = vesko::write_all(STDOUT_FILENO, "vesko-service " + vesko::join(request->actions, " and ") + " " +
                                                       request->service + ": one sec... ");
    if (!written) {
        vesko::print_err("vesko-service: " + display(WriteStatus{written.error()}) + "\n");
        return 1;
    }
    for (const std::string& action : request->actions) {
        Result<void, Error> done = action == "enable"    ? enable_service(directories, request->service)
                                   : action == "disable" ? disable_service(directories, request->service)
                                                         : run_action(directories, request->service, action, true);
        if (!done) {
            vesko::print_out("<failed>\n");
            vesko::print_err("vesko-service: " + display(done.error()) + "\n");
            return 1;
        }
    }
    static const std::map<std::string_view, const char*> kWords = {
        {"start", "started"}, {"stop", "stopped"}, {"restart", "restarted"}, {"enable", "enabled"}, {"disable", "disabled"}};
    auto word = kWords.find(request->actions.back());
    vesko::print_out("<" + (word != kWords.end() ? std::string(word->second) : request->actions.back()) + "> done.\n");
    // Enabling or disabling is done all the same; what it means for the next boot is said.
    for (auto action = request->actions.rbegin(); action != request->actions.rend(); ++action) {
        if (*action != "enable" && *action != "disable") continue;
        for (const Error& consequence : boot_consequences(directories, request->service, *action == "enable")) {
            vesko::print_err("vesko-service: warning: " + display(consequence) + "\n");
        }
        break;
    }
    return 0;
}

}  // namespace admin
