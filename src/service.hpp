// Direct service definitions: the TOML service files, their validation, the start order
// and the built-in fallback console.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "os_error.hpp"
#include "result.hpp"

namespace service {

enum class RestartPolicy { Never, OnFailure, Always };

// When a started service counts as ready (what requires it may start then): once it is
// spawned (simple); once it says so on its notification socket (notify); once it has exited
// with success (oneshot, which then counts as running); once its first process has exited
// with success and its pid file names the main process, which is then supervised (forking).
enum class Type { Simple, Notify, Oneshot, Forking };
// Who is signalled at a stop: the main process only, or its whole process group.
enum class KillMode { Process, Group };
// Who may send readiness notifications: the main process, or any of the service's.
enum class NotifyAccess { Main, All };

// A directory made for the service before each start, owned by its user and group.
// /run, /var/lib, /var/cache, /var/log, /etc; a configuration directory stays root's.
enum class DirectoryBase { Runtime, State, Cache, Logs, Configuration };
struct Directory {
    DirectoryBase base = DirectoryBase::Runtime;
    std::string path;  // relative, without . or .. components
    unsigned mode = 0755;
    bool operator==(const Directory&) const = default;
};
// A resource limit (RLIMIT_*), soft and hard; RLIM_INFINITY for none.
struct Limit {
    int resource = 0;
    uint64_t soft = 0, hard = 0;
    bool operator==(const Limit&) const = default;
};

// How a service's processes run and how it is started, stopped and reloaded. Each default is
// what a file without the key means: root, process 1's environment and working directory,
// ready once spawned, SIGTERM to the main process at a stop.
struct Settings {
    std::string user;   // a name or number; empty for root
    std::string group;  // empty for the user's own
    std::vector<std::string> groups;  // supplementary groups besides those that list the user
    std::vector<std::string> environment;        // "NAME=VALUE", later ones win
    std::vector<std::string> environment_files;  // absolute; a leading "-" allows a missing one
    // Absolute; empty keeps process 1's; "~" is the user's home; a leading "-" passes over a
    // missing one.
    std::string working_directory;
    int umask = -1;                              // -1 keeps process 1's
    std::vector<Limit> limits;
    uint64_t ambient_capabilities = 0;  // bit N for capability N
    std::vector<Directory> directories;
    std::vector<std::vector<std::string>> before_start, after_start;
    std::vector<std::string> stop_command, reload_command;  // empty: none
    int stop_signal = 15;                                    // SIGTERM
    KillMode kill_mode = KillMode::Process;
    std::vector<int> success_exit_codes;  // besides 0
    std::vector<int> success_signals;
    Type type = Type::Simple;
    std::string pid_file;           // forking: the file naming the main process
    unsigned ready_timeout = 90;    // seconds a notify or forking start may take
    NotifyAccess notify_access = NotifyAccess::Main;
    // Per command of before_start, then of after_start, whether its failure is passed over
    // (a unit's "-"); none when shorter.
    std::vector<bool> failure_ignored;
    // Whether "$NAME", "${NAME}" and "$$" in the commands' words are expanded from the
    // service's environment at each start, as a unit's are (launch::expand_variables).
    bool expand_variables = false;

    bool operator==(const Settings&) const = default;
};

// A service file exactly as parsed.
struct RawService {
    std::optional<std::string> description;
    std::vector<std::string> command;
    std::vector<std::string> requires_;  // the file's `requires`; a keyword in C++20
    RestartPolicy restart = RestartPolicy::Never;
    Settings settings;
};

// One validated definition.
struct Service {
    std::string name;
    std::vector<std::string> command;  // absolute executable, then its arguments
    std::vector<std::string> requires_;
    std::string origin;  // the defining file, or "<builtin fallback service>"
    std::optional<std::string> description;
    RestartPolicy restart = RestartPolicy::Never;
    // Runs on the console process 1 was started with (the fallback shell), rather than on the
    // log file that other services inherit.
    bool on_console = false;
    Settings settings;
    // Started after these when they start too; a failed one does not hold the service back.
    std::vector<std::string> after;

    bool operator==(const Service&) const = default;
};

struct ReadDirectory {
    std::string directory;
    vesko::OsError os;
};
struct ReadEntry {
    std::string directory;
    vesko::OsError os;
};
struct InspectEntry {
    std::string path;
    vesko::OsError os;
};
struct ReadFile {
    std::string path;
    vesko::OsError os;
};
struct Parse {
    std::string path;
    std::string message;  // the parser's or the schema check's, on one line
};
struct InvalidFileName {
    std::string path;
    const char* reason;
};
struct DuplicateService {
    std::string name;
    std::string first;   // the file that defined it first
    std::string second;  // the later file
};
struct InvalidCommand {
    std::string path;
    const char* reason;
};
struct SelfDependency {
    std::string name;
    std::string path;
};
struct DuplicateDependency {
    std::string name;
    std::string required;
    std::string path;
};
struct UnknownDependency {
    std::string name;
    std::string required;
    std::string path;
};
struct DependencyCycle {
    std::vector<std::string> names;  // ascending
};
struct NoFallbackConsole {
    std::vector<std::string> tried;
};
using Error = std::variant<ReadDirectory, ReadEntry, InspectEntry, ReadFile, Parse, InvalidFileName,
                           DuplicateService, InvalidCommand, SelfDependency, DuplicateDependency,
                           UnknownDependency, DependencyCycle, NoFallbackConsole>;

std::string display(const Error& error);

// Service files above this size are refused before they are read: no real one comes near.
inline constexpr size_t kMaxServiceFileSize = 1 << 20;
// Components of a dotted key or table header, refused beyond this before the parser sees
// the text (its own nesting limit covers values only).
inline constexpr size_t kMaxKeyComponents = 128;

// A program the fallback console may run, with its arguments.
struct ConsoleCandidate {
    const char* program;
    std::vector<const char*> arguments;
    // A shell, which uses the standard streams it is given; a getty opens its terminal itself.
    bool shell = false;
};

// The ten getty programs and shells, in the order they are tried.
extern const std::vector<ConsoleCandidate> kConsoleCandidates;

inline constexpr const char* kFallbackName = "fallback-console";
inline constexpr const char* kFallbackOrigin = "<builtin fallback service>";

struct Catalog {
    std::vector<std::string> start_order;       // each service after all it requires
    std::map<std::string, Service> services;    // by name, byte-wise

    // Reads and validates every service file of DIRECTORY; falls back to the console
    // service, with a notice on standard error, when it is missing or holds none (unless
    // FALLBACK is false: a main program runs instead, and the catalog is empty).
    static vesko::Result<Catalog, Error> load(const std::string& directory, bool fallback = true);
    static vesko::Result<Catalog, Error> fallback_console();
    // The same search over a given candidate list.
    static vesko::Result<Catalog, Error> fallback_console(std::span<const ConsoleCandidate> candidates);
};

// Parses one service file's text; the error is the parser's or the schema check's message.
vesko::Result<RawService, std::string> parse_service(std::string_view text);

// The number of the signal NAME ("SIGTERM" or "TERM"), of a capability ("CAP_NET_ADMIN"
// or "net_admin", any case), of a resource limit ("nofile", "NOFILE" or "LimitNOFILE").
std::optional<int> signal_number(std::string_view name);
std::optional<int> capability_number(std::string_view name);
std::optional<int> limit_resource(std::string_view name);

// Whether NAME follows the service name rule.
bool is_valid_service_name(std::string_view name);
// Whether NAME may be the service of a unit, its unit name without ".service": up to 248
// ASCII letters, digits and ":-_.\@", not beginning with a dot.
bool is_valid_unit_service_name(std::string_view name);

// Topological order, smallest ready name first, each service after what it requires and
// after those of its `after` that are services too. On a cycle, returns the names that could
// not be ordered, ascending.
vesko::Result<std::vector<std::string>, std::vector<std::string>> compute_start_order(
    const std::map<std::string, Service>& services);

}  // namespace service
