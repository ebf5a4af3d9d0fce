// The systemd service units that Debian's packages ship: finding a unit's file and its
// drop-ins, reading their INI-like text and turning them into a plain record of what will be
// honoured, with what is read but left out named in it. A unit that cannot be run faithfully
// yields only an error, never part of a record.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "os_error.hpp"
#include "result.hpp"

namespace unit {

// A time span in microseconds, or this for "infinity".
inline constexpr uint64_t kInfinity = UINT64_MAX;

// The enumerators below are in the order of the words that name them in a unit file.
// Type=idle is read as Simple; Dbus is kept so that it can be run as simple with a note.
enum class Type { Simple, Exec, Forking, Oneshot, Notify, Dbus };
// "+" runs with full privileges, "!" without the user and group change, "!!" as "!" only
// where ambient capabilities are missing.
enum class Privileges { Normal, Full, NoSetuid, AmbientFallback };
enum class NotifyAccess { None, Main, Exec, All };
enum class Restart { No, OnSuccess, OnFailure, OnAbnormal, OnWatchdog, OnAbort, Always };
enum class KillMode { ControlGroup, Mixed, Process, None };
enum class ConditionKind {
    PathExists, PathIsDirectory, FileNotEmpty, DirectoryNotEmpty, FileIsExecutable, PathExistsGlob
};
enum DirectoryKind { kRuntime, kState, kCache, kLogs, kConfiguration, kDirectoryKinds };

// One Exec line. Variable references stay in the words as written, to be expanded when the
// command runs ("$$" is then a dollar sign); specifiers are already expanded.
struct Command {
    std::string path;               // absolute, or a bare file name to be searched for
    std::vector<std::string> argv;  // argv[0] is path unless separate_argv0
    bool ignore_failure = false;    // "-"
    bool separate_argv0 = false;    // "@": argv[0] is the second word
    Privileges privileges = Privileges::Normal;
    bool expand_variables = true;  // false with ":"
};

struct Limit {
    std::string name;  // the directive, such as LimitNOFILE
    int resource;      // RLIMIT_*
    uint64_t soft, hard;  // kInfinity for unlimited
};

struct Condition {
    ConditionKind kind;
    bool assert_ = false;  // Assert* rather than Condition*
    bool trigger = false;  // "|": any one of the triggering conditions suffices
    bool negate = false;   // "!"
    std::string path;
};

struct Directories {
    std::vector<std::string> names;  // relative to the kind's base directory
    std::optional<unsigned> mode;
};

struct EnvironmentFile {
    std::string path;
    bool missing_ok = false;  // "-"
};

struct WorkingDirectory {
    std::string path;         // empty with home
    bool missing_ok = false;  // "-"
    bool home = false;        // "~": the user's home directory
};

// One service unit as it will be honoured. Optional fields are those the unit set.
struct Unit {
    std::string name;                   // with its suffix: caddy.service, wg-quick@wg0.service
    std::string path;                   // the unit file read
    std::vector<std::string> drop_ins;  // the drop-in files applied, in that order
    std::optional<std::string> description;
    Type type = Type::Simple;  // when not set: Dbus with BusName=, Simple with ExecStart=, else Oneshot
    // ExecCondition= runs first: an exit status from 1 to 254 skips the unit without a failure.
    std::vector<Command> exec_condition, exec_start_pre, exec_start, exec_start_post, exec_reload, exec_stop,
        exec_stop_post;
    std::optional<std::string> pid_file;
    std::optional<bool> remain_after_exit;
    std::optional<NotifyAccess> notify_access;
    std::optional<Restart> restart;
    std::optional<uint64_t> restart_sec, timeout_start_sec, timeout_stop_sec;
    std::optional<KillMode> kill_mode;
    std::optional<int> kill_signal;
    std::vector<int> success_exit_statuses, success_signals;
    std::optional<std::string> user, group;
    std::optional<bool> dynamic_user;
    std::vector<std::string> supplementary_groups;
    std::vector<std::string> environment;  // NAME=value, in order; a later NAME wins
    std::vector<EnvironmentFile> environment_files;
    std::optional<WorkingDirectory> working_directory;
    std::optional<unsigned> umask;
    std::vector<Limit> limits;  // in the order first set
    std::vector<std::string> ambient_capabilities;  // upper case, CAP_ prefixed, as written
    std::array<Directories, kDirectoryKinds> directories;
    std::vector<Condition> conditions;
    std::vector<std::string> unsupported_conditions;  // Directive=value
    std::vector<std::string> after, before, requires_, wants, binds_to, requisite, part_of, conflicts;
    std::vector<std::string> wanted_by, required_by, alias, also;
    std::optional<std::string> default_instance;
    std::vector<std::string> ignored;  // directives read and left out, each once
    // "[Section] Key" neither honoured nor ignored, and "[Section] text" of a line without "=",
    // each once.
    std::vector<std::string> unknown;
};

// Where and how units are found.
struct Search {
    // In priority order: the first directory that has the unit file wins.
    std::vector<std::string> directories = {"/etc/systemd/system", "/run/systemd/system",
                                            "/usr/local/lib/systemd/system", "/usr/lib/systemd/system",
                                            "/lib/systemd/system"};
    std::optional<std::string> host_name;  // for %H; the kernel's when not given
};

// A unit file and its drop-ins together hold at most kMaxSize bytes, and the values of the
// record, with specifiers expanded, come to at most as much (each value counted with
// kValueOverhead bytes more). The other bounds are on lines, assignments, drop-ins and the
// entries of a drop-in directory.
inline constexpr size_t kMaxSize = 1 << 20;
inline constexpr size_t kValueOverhead = 32;
inline constexpr size_t kMaxLineLength = 1 << 16;
inline constexpr size_t kMaxAssignments = 2048;
inline constexpr size_t kMaxDropIns = 64;
inline constexpr size_t kMaxDirectoryEntries = 1024;

struct InvalidName {
    std::string name;
    const char* reason;
};
struct NotAService {
    std::string name;
};
struct NotFound {
    std::string name;
    std::vector<std::string> directories;
};
struct Masked {
    std::string name;
    std::string path;
};
struct ReadFile {
    std::string path;
    vesko::OsError os;
};
struct TooLarge {
    std::string path;
};
struct TooManyDropIns {
    std::string name;
};
struct LargeDirectory {
    std::string path;
};
struct LongLine {
    std::string path;
    size_t line;
};
struct TooManyAssignments {
    std::string path;
    size_t line;
};
struct LargeRecord {
    std::string path;
    size_t line;
};
struct Syntax {
    std::string path;
    size_t line;
    const char* reason;
};
struct InvalidValue {
    std::string path;
    size_t line;
    std::string directive, value;
    const char* reason;
};
struct SocketActivation {
    std::string path;
    size_t line;
    std::string setting;  // Sockets=, Requires=x.socket, StandardInput=socket, ...
};
struct Unsupported {
    std::string path;
    size_t line;
    std::string setting;  // Type=notify-reload, RootDirectory=, ...
};
struct UnknownSpecifier {
    std::string path;
    size_t line;
    std::string directive;
    char specifier;
};
struct EmptyCommand {
    std::string path;
    size_t line;
    std::string directive;
};
// The settings together are not a service that can run: no ExecStart=, several, ...
struct Inconsistent {
    std::string name;
    const char* reason;
};
using Error = std::variant<InvalidName, NotAService, NotFound, Masked, ReadFile, TooLarge, TooManyDropIns,
                           LargeDirectory, LongLine, TooManyAssignments, LargeRecord, Syntax, InvalidValue,
                           SocketActivation, Unsupported, UnknownSpecifier, EmptyCommand, Inconsistent>;

std::string display(const Error& error);

// One file's text and the path it is shown under.
struct Source {
    std::string path;
    std::string text;
};

// The unit NAME ("caddy", "caddy.service", "wg-quick@wg0"): its file, the drop-ins, the
// record. A name that is an alias (a link to a unit file of another name) yields the unit it
// names, with the alias's drop-ins too. Nothing throws.
vesko::Result<Unit, Error> load(std::string_view name, const Search& search = {});

// The record of the unit NAME (with its suffix) from the unit file's text and the drop-ins'
// texts, in the order they apply; HOST_NAME for %H.
vesko::Result<Unit, Error> parse(const std::string& name, const Source& file, const std::vector<Source>& drop_ins,
                                 const std::string& host_name);

}  // namespace unit
