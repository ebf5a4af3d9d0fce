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
    bool expand_variables = true;        // false with ":"
    std::vector<std::string> variables;  // the names referenced, in first-use order
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
    Type type = Type::Simple;  // Simple with ExecStart=, else Oneshot, when not set
    std::vector<Command> exec_start_pre, exec_start, exec_start_post, exec_reload, exec_stop, exec_stop_post;
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
    std::vector<std::string> ambient_capabilities;  // upper case, CAP_ prefixed
    std::array<Directories, kDirectoryKinds> directories;
    std::vector<Condition> conditions;
    std::vector<std::string> unsupported_conditions;  // Directive=value
    std::vector<std::string> after, before, requires_, wants, binds_to, requisite, part_of, conflicts;
    std::vector<std::string> wanted_by, required_by, alias, also;
    std::optional<std::string> default_instance;
    std::vector<std::string> ignored;  // directives read and left out, each once
    std::vector<std::string> unknown;  // "[Section] Key" neither honoured nor ignored, each once
};

// Where and how units are found.
struct Search {
    // In priority order: the first directory that has the unit file wins.
    std::vector<std::string> directories = {"/etc/systemd/system", "/usr/lib/systemd/system",
                                            "/lib/systemd/system"};
    std::optional<std::string> host_name;  // for %H; the kernel's when not given
};

// Files above this size, more drop-ins than this and longer lines are refused.
inline constexpr size_t kMaxFileSize = 1 << 20;
inline constexpr size_t kMaxDropIns = 64;
inline constexpr size_t kMaxLineLength = 1 << 16;

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
struct LongLine {
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
    std::string setting;  // Sockets=, ListenStream=, StandardInput=socket, ...
};
struct SocketUnit {
    std::string path;    // the unit file
    std::string socket;  // the socket unit beside it
};
struct NotifyReload {
    std::string path;
    size_t line;
};
struct InvertedCapabilities {
    std::string path;
    size_t line;
};
struct CommandSeparator {
    std::string path;
    size_t line;
    std::string directive;
};
struct UnknownSpecifier {
    std::string path;
    size_t line;
    std::string directive;
    char specifier;
};
struct UnresolvedSpecifier {
    std::string path;
    size_t line;
    std::string directive;
    char specifier;
    std::string user;
};
struct EmptyCommand {
    std::string path;
    size_t line;
    std::string directive;
};
struct NoExecStart {
    std::string name;
};
struct SeveralExecStart {
    std::string name;
};
using Error = std::variant<InvalidName, NotAService, NotFound, Masked, ReadFile, TooLarge, TooManyDropIns,
                           LongLine, Syntax, InvalidValue, SocketActivation, SocketUnit, NotifyReload,
                           InvertedCapabilities, CommandSeparator, UnknownSpecifier, UnresolvedSpecifier,
                           EmptyCommand, NoExecStart, SeveralExecStart>;

std::string display(const Error& error);

// One file's text and the path it is shown under.
struct Source {
    std::string path;
    std::string text;
};

// The unit NAME ("caddy", "caddy.service", "wg-quick@wg0"): its file, the drop-ins, the
// record. Nothing throws.
vesko::Result<Unit, Error> load(std::string_view name, const Search& search = {});

// The record of the unit NAME (with its suffix) from the unit file's text and the drop-ins'
// texts, in the order they apply; HOST_NAME for %H.
vesko::Result<Unit, Error> parse(const std::string& name, const Source& file, const std::vector<Source>& drop_ins,
                                 const std::string& host_name);

// The record as text: one "Key: value" line per field that is set, lists in order.
std::string describe(const Unit& unit);

}  // namespace unit
