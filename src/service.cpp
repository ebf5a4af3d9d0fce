#include "service.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <set>

// The TOML parser lives in this translation unit only. Its TOML 1.1 features are enabled;
// NDEBUG keeps its internal asserts from aborting on malformed table headers.
#ifndef NDEBUG
#define NDEBUG 1
#endif
#define TOML_HEADER_ONLY 1
#define TOML_ENABLE_UNRELEASED_FEATURES 1
#define TOML_EXCEPTIONS 0
#define TOML_ENABLE_FORMATTERS 0
// GCC 12 has floating-point from_chars; without it the parser falls back to string streams,
// which bring the locale machinery and a third more resident memory into process 1.
#define TOML_FLOAT_CHARCONV 1
#include <toml++/toml.h>

#include "fd.hpp"
#include "text.hpp"

namespace service {

using vesko::fail;
using vesko::shown;
using vesko::quoted;
using vesko::Result;

const std::vector<ConsoleCandidate> kConsoleCandidates = {
    {"/usr/bin/agetty", {"--noclear", "tty1", "linux"}},
    {"/bin/agetty", {"--noclear", "tty1", "linux"}},
    {"/usr/sbin/agetty", {"--noclear", "tty1", "linux"}},
    {"/sbin/agetty", {"--noclear", "tty1", "linux"}},
    {"/usr/bin/getty", {"/dev/tty1", "linux"}},
    {"/bin/getty", {"/dev/tty1", "linux"}},
    {"/usr/sbin/getty", {"/dev/tty1", "linux"}},
    {"/sbin/getty", {"/dev/tty1", "linux"}},
    {"/usr/bin/sh", {"-l"}, true},
    {"/bin/sh", {"-l"}, true},
};

std::string display(const Error& error) {
    return std::visit(
        vesko::Overloaded{
            [](const ReadDirectory& e) { return "cannot read " + shown(e.directory) + ": " + e.os.display(); },
            [](const ReadEntry& e) { return "cannot read an entry in " + shown(e.directory) + ": " + e.os.display(); },
            [](const InspectEntry& e) { return "cannot inspect " + shown(e.path) + ": " + e.os.display(); },
            [](const ReadFile& e) { return "cannot read " + shown(e.path) + ": " + e.os.display(); },
            [](const Parse& e) { return "cannot parse " + shown(e.path) + ": " + e.message; },
            [](const InvalidFileName& e) { return "invalid service filename " + shown(e.path) + ": " + e.reason; },
            [](const DuplicateService& e) {
                return "service " + quoted(e.name) + " is defined by both " + shown(e.first) + " and " +
                       shown(e.second);
            },
            [](const InvalidCommand& e) { return "invalid command in " + shown(e.path) + ": " + e.reason; },
            [](const SelfDependency& e) {
                return "service " + quoted(e.name) + " requires itself in " + shown(e.path);
            },
            [](const DuplicateDependency& e) {
                return "service " + quoted(e.name) + " requires " + quoted(e.required) + " more than once in " +
                       shown(e.path);
            },
            [](const UnknownDependency& e) {
                return "service " + quoted(e.name) + " requires unknown service " + quoted(e.required) + " in " +
                       shown(e.path);
            },
            [](const DependencyCycle& e) { return "dependency cycle involving: " + vesko::join(e.names, ", "); },
            [](const NoFallbackConsole& e) {
                return "no service files were found and no fallback console command exists; tried " +
                       vesko::join(e.tried, ", ");
            },
        },
        error);
}

bool is_valid_service_name(std::string_view name) {
    if (name.empty() || name[0] < 'a' || name[0] > 'z') return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
    });
}

bool is_valid_unit_service_name(std::string_view name) {
    if (name.empty() || name.size() > 248 || name[0] == '.') return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               std::string_view(":-_.\\@").find(c) != std::string_view::npos;
    });
}

namespace {

// ---- Parsing one file -------------------------------------------------------------------

const char* const kKeys =
    "\"description\", \"command\", \"requires\", \"restart\", \"type\", \"user\", \"group\", \"groups\", "
    "\"environment\", \"environment-files\", \"working-directory\", \"umask\", \"limits\", "
    "\"ambient-capabilities\", \"directories\", \"before-start\", \"after-start\", \"stop-command\", "
    "\"reload-command\", \"stop-signal\", \"kill-mode\", \"success-statuses\", \"pid-file\", "
    "\"ready-timeout\", \"notify-access\"";
const char* const kRestartWords = "\"never\", \"on-failure\", \"always\"";

std::string at(const toml::source_region& where) {
    return "TOML parse error at line " + std::to_string(where.begin.line) + ", column " +
           std::to_string(where.begin.column) + ": ";
}

const char* type_name(const toml::node& node) {
    switch (node.type()) {
        case toml::node_type::none: return "nothing";
        case toml::node_type::table: return node.as_table()->is_inline() ? "inline table" : "table";
        case toml::node_type::array: return "array";
        case toml::node_type::string: return "string";
        case toml::node_type::integer: return "integer";
        case toml::node_type::floating_point: return "float";
        case toml::node_type::boolean: return "boolean";
        case toml::node_type::date: return "date";
        case toml::node_type::time: return "time";
        case toml::node_type::date_time: return "date-time";
    }
    return "value";
}

std::string wrong_type(const toml::node& node, std::string_view key, std::string_view expected) {
    return at(node.source()) + "invalid type " + type_name(node) + " for key \"" + std::string(key) +
           "\", expected " + std::string(expected);
}

Result<std::vector<std::string>, std::string> string_array(const toml::node& node,
                                                           std::string_view key) {
    const toml::array* array = node.as_array();
    if (array == nullptr) return fail(wrong_type(node, key, "an array of strings"));
    std::vector<std::string> out;
    out.reserve(array->size());
    for (const toml::node& element : *array) {
        const auto* text = element.as_string();
        if (text == nullptr) {
            return fail(wrong_type(element, key, "a string as array element"));
        }
        out.push_back(text->get());
    }
    return out;
}


// ---- The settings of a daemon ------------------------------------------------------------

const char* const kCapabilities[] = {
    "chown",         "dac_override",    "dac_read_search", "fowner",         "fsetid",
    "kill",          "setgid",          "setuid",          "setpcap",        "linux_immutable",
    "net_bind_service", "net_broadcast", "net_admin",      "net_raw",        "ipc_lock",
    "ipc_owner",     "sys_module",      "sys_rawio",       "sys_chroot",     "sys_ptrace",
    "sys_pacct",     "sys_admin",       "sys_boot",        "sys_nice",       "sys_resource",
    "sys_time",      "sys_tty_config",  "mknod",           "lease",          "audit_write",
    "audit_control", "setfcap",         "mac_override",    "mac_admin",      "syslog",
    "wake_alarm",    "block_suspend",   "audit_read",      "perfmon",        "bpf",
    "checkpoint_restore",
};
const char* const kLimits[] = {"cpu",     "fsize", "data",       "stack",    "core",   "rss",
                               "nproc",   "nofile", "memlock",   "as",       "locks",  "sigpending",
                               "msgqueue", "nice",  "rtprio",    "rttime"};  // RLIMIT_* order

bool same_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return (x >= 'A' && x <= 'Z' ? x + 32 : x) == (y >= 'A' && y <= 'Z' ? y + 32 : y);
           });
}

template <size_t N>
std::optional<int> index_of(const char* const (&names)[N], std::string_view name) {
    for (size_t i = 0; i < N; ++i) {
        if (same_ignoring_case(names[i], name)) return static_cast<int>(i);
    }
    return std::nullopt;
}

Result<std::string, std::string> string_value(const toml::node& node, std::string_view key) {
    const auto* value = node.as_string();
    if (value == nullptr) return fail(wrong_type(node, key, "a string"));
    return value->get();
}

std::string bad_value(const toml::node& node, std::string_view key, std::string_view why) {
    return at(node.source()) + "invalid value for key \"" + std::string(key) + "\": " + std::string(why);
}

// An octal mode or umask of at most four digits ("0750").
Result<unsigned, std::string> octal(const toml::node& node, std::string_view key) {
    auto text = string_value(node, key);
    if (!text) return fail(text.error());
    unsigned value = 0;
    if (text->empty() || text->size() > 4) return fail(bad_value(node, key, "expected an octal mode such as \"0755\""));
    for (char c : *text) {
        if (c < '0' || c > '7') return fail(bad_value(node, key, "expected an octal mode such as \"0755\""));
        value = value * 8 + static_cast<unsigned>(c - '0');
    }
    return value;
}

// One command: an array of strings whose first element is an absolute path.
Result<std::vector<std::string>, std::string> one_command(const toml::node& node, std::string_view key) {
    auto command = string_array(node, key);
    if (!command) return command;
    if (command->empty() || (*command)[0].empty() || (*command)[0][0] != '/') {
        return fail(bad_value(node, key, "a command is an absolute executable and its arguments"));
    }
    for (const std::string& argument : *command) {
        if (argument.find('\0') != std::string::npos) {
            return fail(bad_value(node, key, "command arguments cannot contain NUL bytes"));
        }
    }
    return command;
}

Result<std::vector<std::vector<std::string>>, std::string> command_list(const toml::node& node,
                                                                        std::string_view key) {
    const toml::array* array = node.as_array();
    if (array == nullptr) return fail(wrong_type(node, key, "an array of commands"));
    std::vector<std::vector<std::string>> out;
    for (const toml::node& element : *array) {
        auto command = one_command(element, key);
        if (!command) return fail(command.error());
        out.push_back(std::move(*command));
    }
    return out;
}

Result<uint64_t, std::string> limit_value(const toml::node& node, std::string_view key) {
    if (const auto* number = node.as_integer(); number != nullptr && number->get() >= 0) {
        return static_cast<uint64_t>(number->get());
    }
    if (const auto* word = node.as_string(); word != nullptr && word->get() == "infinity") return ~uint64_t{0};
    return fail(bad_value(node, key, "expected a number of at least 0 or \"infinity\""));
}

Result<void, std::string> limits(const toml::node& node, std::string_view key, Settings& settings) {
    const toml::table* table = node.as_table();
    if (table == nullptr) return fail(wrong_type(node, key, "a table of limits"));
    for (const auto& [name, value] : *table) {
        auto resource = limit_resource(name.str());
        if (!resource) return fail(at(name.source()) + "unknown resource limit " + quoted(name.str()));
        Limit limit{*resource, 0, 0};
        // A number for both, or [soft, hard].
        const toml::array* pair = value.as_array();
        if (pair != nullptr && pair->size() != 2) return fail(bad_value(value, key, "expected [soft, hard]"));
        auto soft = limit_value(pair != nullptr ? (*pair)[0] : value, key);
        auto hard = limit_value(pair != nullptr ? (*pair)[1] : value, key);
        if (!soft) return fail(soft.error());
        if (!hard) return fail(hard.error());
        if (*soft > *hard) return fail(bad_value(value, key, "the soft limit is above the hard one"));
        limit.soft = *soft;
        limit.hard = *hard;
        settings.limits.push_back(limit);
    }
    return {};
}

// A relative path without empty, . or .. components, for a directory under a base.
bool plain_relative(std::string_view path) {
    if (path.empty() || path.front() == '/' || path.find('\0') != std::string_view::npos) return false;
    for (size_t start = 0;;) {
        size_t slash = path.find('/', start);
        std::string_view part = path.substr(start, slash - start);
        if (part.empty() || part == "." || part == "..") return false;
        if (slash == std::string_view::npos) return true;
        start = slash + 1;
    }
}

Result<void, std::string> directories(const toml::node& node, std::string_view key, Settings& settings) {
    const toml::table* table = node.as_table();
    if (table == nullptr) return fail(wrong_type(node, key, "a table of directories"));
    const char* const kBases[] = {"runtime", "state", "cache", "logs"};
    unsigned modes[4] = {0755, 0755, 0755, 0755};
    std::vector<Directory> found;
    for (const auto& [name, value] : *table) {
        std::string_view word = name.str();
        bool mode = word.size() > 5 && word.substr(word.size() - 5) == "-mode";
        auto base = index_of(kBases, mode ? word.substr(0, word.size() - 5) : word);
        if (!base) {
            return fail(at(name.source()) + "unknown key " + quoted(word) +
                        " in directories, expected runtime, state, cache, logs or one of them with -mode");
        }
        if (mode) {
            auto given = octal(value, word);
            if (!given) return fail(given.error());
            modes[*base] = *given;
            continue;
        }
        auto paths = string_array(value, word);
        if (!paths) return fail(paths.error());
        for (std::string& path : *paths) {
            if (!plain_relative(path)) return fail(bad_value(value, word, "a relative path without . or .. is expected"));
            found.push_back({static_cast<DirectoryBase>(*base), std::move(path)});
        }
    }
    for (Directory& directory : found) directory.mode = modes[static_cast<int>(directory.base)];
    settings.directories = std::move(found);
    return {};
}

Result<void, std::string> success_statuses(const toml::node& node, std::string_view key, Settings& settings) {
    const toml::array* array = node.as_array();
    if (array == nullptr) return fail(wrong_type(node, key, "an array of exit codes and signal names"));
    for (const toml::node& element : *array) {
        if (const auto* code = element.as_integer(); code != nullptr && code->get() >= 0 && code->get() <= 255) {
            settings.success_exit_codes.push_back(static_cast<int>(code->get()));
        } else if (auto signal = element.is_string() ? signal_number(element.as_string()->get()) : std::nullopt) {
            settings.success_signals.push_back(*signal);
        } else {
            return fail(bad_value(element, key, "expected an exit code from 0 to 255 or a signal name"));
        }
    }
    return {};
}

Result<void, std::string> environment(const toml::node& node, std::string_view key, Settings& s) {
    const toml::table* table = node.as_table();
    if (table == nullptr) return fail(wrong_type(node, key, "a table of strings"));
    for (const auto& [name, value] : *table) {
        std::string_view variable = name.str();
        auto text = string_value(value, variable);
        if (!text) return fail(text.error());
        if (variable.empty() || variable.find_first_of(std::string_view("=\0", 2)) != std::string_view::npos ||
            text->find('\0') != std::string::npos) {
            return fail(bad_value(value, key, "a variable's name holds no = and neither holds a NUL byte"));
        }
        s.environment.push_back(std::string(variable) + "=" + *text);
    }
    return {};
}

Result<void, std::string> environment_files(const toml::node& node, std::string_view key, Settings& s) {
    const toml::array* array = node.as_array();
    if (array == nullptr) return fail(wrong_type(node, key, "an array of strings"));
    for (const toml::node& element : *array) {
        auto text = string_value(element, key);
        if (!text) return fail(text.error());
        std::string_view bare = *text;
        if (!bare.empty() && bare[0] == '-') bare.remove_prefix(1);
        if (bare.empty() || bare[0] != '/' || bare.find('\0') != std::string_view::npos) {
            return fail(bad_value(element, key, "an absolute path is expected, \"-\" first if it may be missing"));
        }
        s.environment_files.push_back(std::move(*text));
    }
    return {};
}

Result<void, std::string> capabilities(const toml::node& node, std::string_view key, Settings& s) {
    auto names = string_array(node, key);
    if (!names) return fail(names.error());
    for (const std::string& name : *names) {
        auto number = capability_number(name);
        if (!number) return fail(bad_value(node, key, "unknown capability " + quoted(name)));
        s.ambient_capabilities |= uint64_t{1} << *number;
    }
    return {};
}

Result<void, std::string> stop_signal(const toml::node& node, std::string_view key, Settings& s) {
    auto text = string_value(node, key);
    if (!text) return fail(text.error());
    auto signal = signal_number(*text);
    if (!signal) return fail(bad_value(node, key, "unknown signal " + quoted(*text)));
    if (*signal == SIGSTOP || *signal == SIGTSTP || *signal == SIGTTIN || *signal == SIGTTOU || *signal == SIGCONT) {
        return fail(bad_value(node, key, "a signal that stops or continues a process ends no service"));
    }
    s.stop_signal = *signal;
    return {};
}

template <typename Enum, size_t N>
Result<Enum, std::string> word_of(const toml::node& node, std::string_view key, const char* const (&words)[N]) {
    auto text = string_value(node, key);
    if (!text) return fail(text.error());
    for (size_t i = 0; i < N; ++i) {
        if (*text == words[i]) return static_cast<Enum>(i);
    }
    std::string expected;
    for (size_t i = 0; i < N; ++i) expected += std::string(i > 0 ? ", " : "") + "\"" + words[i] + "\"";
    return fail(bad_value(node, key, "expected one of " + expected));
}

// The keys of a daemon's settings; false for a key that is none of them.
Result<bool, std::string> parse_setting(std::string_view key, const toml::node& node, Settings& s) {
    auto take = [&](auto parsed, auto& field) -> Result<bool, std::string> {
        if (!parsed) return fail(parsed.error());
        field = std::move(*parsed);
        return true;
    };
    auto absolute = [&](std::string& field, bool optional_prefix = false) -> Result<bool, std::string> {
        auto text = string_value(node, key);
        if (!text) return fail(text.error());
        std::string_view path = *text;
        if (optional_prefix && !path.empty() && path[0] == '-') path.remove_prefix(1);
        if (path.empty() || path[0] != '/' || path.find('\0') != std::string_view::npos) {
            return fail(bad_value(node, key, "an absolute path is expected"));
        }
        field = std::move(*text);
        return true;
    };
    auto done = [](Result<void, std::string> result) -> Result<bool, std::string> {
        if (!result) return fail(result.error());
        return true;
    };
    if (key == "user") return take(string_value(node, key), s.user);
    if (key == "group") return take(string_value(node, key), s.group);
    if (key == "groups") return take(string_array(node, key), s.groups);
    if (key == "working-directory") return absolute(s.working_directory);
    if (key == "pid-file") return absolute(s.pid_file);
    if (key == "umask") {
        auto mask = octal(node, key);
        if (!mask) return fail(mask.error());
        s.umask = static_cast<int>(*mask & 0777);
        return true;
    }
    if (key == "environment") return done(environment(node, key, s));
    if (key == "environment-files") return done(environment_files(node, key, s));
    if (key == "limits") return done(limits(node, key, s));
    if (key == "ambient-capabilities") return done(capabilities(node, key, s));
    if (key == "directories") return done(directories(node, key, s));
    if (key == "before-start") return take(command_list(node, key), s.before_start);
    if (key == "after-start") return take(command_list(node, key), s.after_start);
    if (key == "stop-command") return take(one_command(node, key), s.stop_command);
    if (key == "reload-command") return take(one_command(node, key), s.reload_command);
    if (key == "stop-signal") return done(stop_signal(node, key, s));
    if (key == "kill-mode") return take(word_of<KillMode>(node, key, {"process", "group"}), s.kill_mode);
    if (key == "success-statuses") return done(success_statuses(node, key, s));
    if (key == "type") return take(word_of<Type>(node, key, {"simple", "notify", "oneshot", "forking"}), s.type);
    if (key == "notify-access") return take(word_of<NotifyAccess>(node, key, {"main", "all"}), s.notify_access);
    if (key == "ready-timeout") {
        const auto* seconds = node.as_integer();
        if (seconds == nullptr || seconds->get() < 1 || seconds->get() > 86400) {
            return fail(bad_value(node, key, "expected a number of seconds from 1 to 86400"));
        }
        s.ready_timeout = static_cast<unsigned>(seconds->get());
        return true;
    }
    return false;
}
}  // namespace

std::optional<int> signal_number(std::string_view name) {
    if (name.substr(0, 3) == "SIG") name.remove_prefix(3);
    for (int signal = 1; signal < 32; ++signal) {
        const char* abbreviation = sigabbrev_np(signal);
        if (abbreviation != nullptr && name == abbreviation) return signal;
    }
    return std::nullopt;
}

std::optional<int> capability_number(std::string_view name) {
    if (name.size() > 4 && same_ignoring_case(name.substr(0, 4), "cap_")) name.remove_prefix(4);
    return index_of(kCapabilities, name);
}

std::optional<int> limit_resource(std::string_view name) {
    if (name.substr(0, 5) == "Limit") name.remove_prefix(5);
    return index_of(kLimits, name);
}

namespace {

// The parser nests one level per component of a dotted key or table header (a.b.c = 1,
// [a.b.c]) without a limit of its own, so a long enough one overflows the stack. This scan
// finds the longest run of dot-separated parts outside strings and comments, before the
// parser sees the text: nothing else in a valid file holds more than one dot in a row of
// parts (a float has one). Returns the position (line, column) where the limit is passed.
std::optional<std::pair<size_t, size_t>> find_overlong_key(std::string_view text) {
    size_t line = 1, line_start = 0, dots = 0;
    auto skip_string = [&](size_t& i) {
        char quote = text[i];
        bool multi = text.substr(i, 3) == std::string(3, quote);
        size_t at = i + (multi ? 3 : 1);
        while (at < text.size()) {
            char c = text[at];
            if (c == '\\' && quote == '"') {
                at += 2;
                continue;
            }
            if (c == '\n') {
                if (!multi) break;  // a broken string; the parser reports it
                ++line;
                line_start = at + 1;
            }
            if (c == quote && (!multi || text.substr(at, 3) == std::string(3, quote))) {
                at += multi ? 3 : 1;
                break;
            }
            ++at;
        }
        i = at;
    };
    for (size_t i = 0; i < text.size();) {
        char c = text[i];
        if (c == '"' || c == '\'') {
            skip_string(i);
            continue;
        }
        if (c == '#') {
            while (i < text.size() && text[i] != '\n') ++i;
            continue;
        }
        if (c == '.') {
            if (++dots >= kMaxKeyComponents) return std::pair{line, i - line_start + 1};
        } else if (c == '\n') {
            dots = 0;
            ++line;
            line_start = i + 1;
        } else if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == ' ' || c == '\t')) {
            dots = 0;
        }
        ++i;
    }
    return std::nullopt;
}

Result<RawService, std::string> parse_service_text(std::string_view text);

}  // namespace

Result<RawService, std::string> parse_service(std::string_view text) {
    if (auto where = find_overlong_key(text)) {
        return fail("TOML parse error at line " + std::to_string(where->first) + ", column " +
                    std::to_string(where->second) + ": a dotted key or table header has more than " +
                    std::to_string(kMaxKeyComponents) + " parts");
    }
    // Process 1 parses its catalog: running out of memory here is an error of this file, not
    // an exception that could reach the entry.
    try {
        return parse_service_text(text);
    } catch (const std::bad_alloc&) {
        return fail(std::string("not enough memory to parse the file"));
    }
}

namespace {

Result<RawService, std::string> parse_service_text(std::string_view text) {
    toml::parse_result parsed = toml::parse(text);
    if (!parsed) {
        const toml::parse_error& error = parsed.error();
        // The parser's message may echo what it read, line breaks and escapes included.
        return fail(at(error.source()) + vesko::shown(error.description()));
    }
    const toml::table& table = parsed.table();
    RawService raw;
    bool have_command = false;
    for (const auto& [key, node] : table) {
        std::string_view name = key.str();
        if (name == "description") {
            const auto* value = node.as_string();
            if (value == nullptr) return fail(wrong_type(node, name, "a string"));
            raw.description = value->get();
        } else if (name == "command") {
            auto command = string_array(node, name);
            if (!command) return fail(command.error());
            raw.command = std::move(*command);
            have_command = true;
        } else if (name == "requires") {
            auto requires_ = string_array(node, name);
            if (!requires_) return fail(requires_.error());
            raw.requires_ = std::move(*requires_);
        } else if (name == "restart") {
            const auto* value = node.as_string();
            if (value == nullptr) return fail(wrong_type(node, name, "enum RestartPolicy"));
            const std::string& word = value->get();
            if (word == "never") {
                raw.restart = RestartPolicy::Never;
            } else if (word == "on-failure") {
                raw.restart = RestartPolicy::OnFailure;
            } else if (word == "always") {
                raw.restart = RestartPolicy::Always;
            } else {
                return fail(at(node.source()) + "unknown variant " + quoted(word) +
                            " of enum RestartPolicy, expected one of " + kRestartWords);
            }
        } else if (auto setting = parse_setting(name, node, raw.settings); !setting || *setting) {
            if (!setting) return fail(setting.error());
        } else {
            return fail(at(key.source()) + "unknown key " + quoted(name) +
                        " in struct RawService, expected one of " + kKeys);
        }
    }
    if (!have_command) return fail(std::string("missing key \"command\" in struct RawService"));
    if (raw.settings.type == Type::Forking && raw.settings.pid_file.empty()) {
        return fail(std::string("a service of type \"forking\" needs the key \"pid-file\""));
    }
    return raw;
}

}  // namespace

Result<std::vector<std::string>, std::vector<std::string>> compute_start_order(
    const std::map<std::string, Service>& services) {
    std::map<std::string_view, size_t> pending;
    std::map<std::string_view, std::vector<std::string_view>> dependents;
    for (const auto& [name, service] : services) {
        pending[name] = service.requires_.size();
        for (const std::string& required : service.requires_) dependents[required].push_back(name);
        for (const std::string& before : service.after) {
            if (services.count(before) == 0 || std::count(service.requires_.begin(), service.requires_.end(), before)) continue;
            ++pending[name];
            dependents[before].push_back(name);
        }
    }
    std::set<std::string_view> ready;
    for (const auto& [name, count] : pending) {
        if (count == 0) ready.insert(name);
    }
    std::vector<std::string> order;
    order.reserve(services.size());
    while (!ready.empty()) {
        std::string_view next = *ready.begin();
        ready.erase(ready.begin());
        order.emplace_back(next);
        auto found = dependents.find(next);
        if (found == dependents.end()) continue;
        for (std::string_view dependent : found->second) {
            if (--pending[dependent] == 0) ready.insert(dependent);
        }
    }
    if (order.size() == services.size()) return order;
    std::vector<std::string> stuck;
    for (const auto& [name, count] : pending) {
        if (count > 0) stuck.emplace_back(name);
    }
    return fail(std::move(stuck));
}

namespace {

// ---- Loading a directory ----------------------------------------------------------------

bool has_toml_extension(std::string_view file_name) {
    size_t dot = file_name.rfind('.');
    return dot != std::string_view::npos && dot > 0 && file_name.substr(dot + 1) == "toml";
}

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

// The names of the service files in the open directory DIRECTORY (shown as PATH).
Result<std::vector<std::string>, Error> list_service_files(const vesko::Fd& directory, const std::string& path) {
    // The listing consumes a descriptor of its own; DIRECTORY stays for opening the files.
    int listing = fcntl(directory.get(), F_DUPFD_CLOEXEC, 3);
    if (listing < 0) return fail(Error{ReadDirectory{path, vesko::last_os_error()}});
    std::unique_ptr<DIR, DirCloser> dir(fdopendir(listing));
    if (!dir) {
        vesko::OsError os = vesko::last_os_error();
        ::close(listing);
        return fail(Error{ReadDirectory{path, os}});
    }
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir.get());
        if (entry == nullptr) {
            if (errno == 0) break;
            return fail(Error{ReadEntry{path, vesko::last_os_error()}});
        }
        std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        bool regular;
        if (entry->d_type != DT_UNKNOWN) {
            regular = entry->d_type == DT_REG;
        } else {
            struct stat info;
            if (fstatat(dirfd(dir.get()), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
                return fail(Error{InspectEntry{vesko::path_join(path, name), vesko::last_os_error()}});
            }
            regular = S_ISREG(info.st_mode);
        }
        if (regular && has_toml_extension(name)) names.emplace_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Reads one listed service file through the directory's descriptor: never through a link,
// never blocking on a FIFO. An entry that is no longer a regular file (replaced since the
// listing) is passed over as the listing passes such entries over: nullopt.
Result<std::optional<std::string>, Error> read_service_file(const vesko::Fd& directory, const std::string& name,
                                                            const std::string& path) {
    int opened;
    do {
        opened = openat(directory.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    } while (opened < 0 && errno == EINTR);
    if (opened < 0) {
        if (errno == ELOOP) return std::optional<std::string>();
        return fail(Error{ReadFile{path, vesko::last_os_error()}});
    }
    vesko::Fd file(opened);
    struct stat info;
    if (fstat(file.get(), &info) != 0) return fail(Error{ReadFile{path, vesko::last_os_error()}});
    if (!S_ISREG(info.st_mode)) return std::optional<std::string>();
    auto too_large = [&] {
        return fail(Error{ReadFile{path, vesko::fixed_error("the file is larger than 1 MiB (1048576 bytes)")}});
    };
    if (static_cast<uint64_t>(info.st_size) > kMaxServiceFileSize) return too_large();
    // The size may change under the read: never take more than the limit all the same.
    auto text = vesko::read_all(file.get(), kMaxServiceFileSize + 1);
    if (!text) return fail(Error{ReadFile{path, text.error()}});
    if (text->size() > kMaxServiceFileSize) return too_large();
    if (!vesko::is_utf8(*text)) return fail(Error{ReadFile{path, vesko::fixed_error(vesko::kInvalidUtf8Text)}});
    return std::optional<std::string>(std::move(*text));
}

// Validates one parsed file into a Service.
Result<Service, Error> validate(std::string name, std::string path, RawService raw) {
    auto invalid_command = [&](const char* reason) { return fail(Error{InvalidCommand{path, reason}}); };
    if (raw.command.empty()) return invalid_command("command must contain an executable");
    if (raw.command[0].empty() || raw.command[0][0] != '/') {
        return invalid_command("the executable must be an absolute path");
    }
    for (const std::string& argument : raw.command) {
        if (argument.find('\0') != std::string::npos) {
            return invalid_command("command arguments cannot contain NUL bytes");
        }
    }
    // Entry by entry in file order; a set keeps this O(n log n) for any number of entries.
    std::set<std::string_view> seen;
    for (const std::string& required : raw.requires_) {
        if (required == name) return fail(Error{SelfDependency{name, path}});
        if (!seen.insert(required).second) return fail(Error{DuplicateDependency{name, required, path}});
    }
    return Service{std::move(name),        std::move(raw.command), std::move(raw.requires_),
                   std::move(path),        std::move(raw.description), raw.restart,
                   false,                  std::move(raw.settings), {}};
}

Result<Catalog, Error> load_catalog(const std::string& directory, bool fallback) {
    auto opened = vesko::open_fd(directory, O_RDONLY | O_DIRECTORY);
    if (!opened) {
        if (opened.error().code == ENOENT && !fallback) return Catalog{};
        if (opened.error().code == ENOENT) {
            vesko::print_err("veskoinit: " + shown(directory) + " not found; starting fallback console service\n");
            return Catalog::fallback_console();
        }
        return fail(Error{ReadDirectory{directory, opened.error()}});
    }
    auto names = list_service_files(*opened, directory);
    if (!names) return fail(std::move(names.error()));
    if (names->empty() && !fallback) return Catalog{};
    if (names->empty()) {
        vesko::print_err("veskoinit: no service files in " + shown(directory) +
                         "; starting fallback console service\n");
        return Catalog::fallback_console();
    }

    Catalog catalog;
    for (const std::string& file_name : *names) {
        std::string path = vesko::path_join(directory, file_name);
        std::string name = file_name.substr(0, file_name.rfind('.'));
        if (!vesko::is_utf8(file_name)) return fail(Error{InvalidFileName{path, "the filename is not valid UTF-8"}});
        if (!is_valid_service_name(name)) {
            return fail(Error{InvalidFileName{
                path, "use lowercase ASCII letters, digits, and hyphens; begin with a letter"}});
        }
        auto text = read_service_file(*opened, file_name, path);
        if (!text) return fail(std::move(text.error()));
        if (!*text) continue;
        auto raw = parse_service(**text);
        if (!raw) return fail(Error{Parse{path, std::move(raw.error())}});
        auto service = validate(name, path, std::move(*raw));
        if (!service) return fail(std::move(service.error()));
        auto [position, inserted] = catalog.services.try_emplace(name, std::move(*service));
        if (!inserted) {
            // Unreachable while names come from one directory listing, kept for safety.
            return fail(Error{DuplicateService{name, position->second.origin, path}});
        }
    }

    for (const auto& [name, service] : catalog.services) {
        for (const std::string& required : service.requires_) {
            if (catalog.services.count(required) == 0) {
                return fail(Error{UnknownDependency{name, required, service.origin}});
            }
        }
    }

    auto order = compute_start_order(catalog.services);
    if (!order) return fail(Error{DependencyCycle{std::move(order.error())}});
    catalog.start_order = std::move(*order);
    return catalog;
}

}  // namespace

Result<Catalog, Error> Catalog::load(const std::string& directory, bool fallback) {
    // Process 1 loads its catalog at boot: running out of memory there must be an error of
    // the load, never an exception that reaches the entry.
    try {
        return load_catalog(directory, fallback);
    } catch (const std::bad_alloc&) {
        return fail(Error{ReadDirectory{directory, vesko::OsError{ENOMEM}}});
    }
}

Result<Catalog, Error> Catalog::fallback_console() { return fallback_console(kConsoleCandidates); }

Result<Catalog, Error> Catalog::fallback_console(std::span<const ConsoleCandidate> candidates) {
    for (const ConsoleCandidate& candidate : candidates) {
        struct stat info;
        if (stat(candidate.program, &info) != 0 || !S_ISREG(info.st_mode)) continue;
        Service console;
        console.name = kFallbackName;
        console.command.emplace_back(candidate.program);
        for (const char* argument : candidate.arguments) console.command.emplace_back(argument);
        console.origin = kFallbackOrigin;
        console.description = "Fallback interactive console";
        console.restart = RestartPolicy::Always;
        console.on_console = candidate.shell;
        Catalog catalog;
        catalog.start_order.emplace_back(kFallbackName);
        catalog.services.emplace(kFallbackName, std::move(console));
        return catalog;
    }
    std::vector<std::string> tried;
    for (const ConsoleCandidate& candidate : candidates) tried.emplace_back(candidate.program);
    return fail(Error{NoFallbackConsole{std::move(tried)}});
}

}  // namespace service
