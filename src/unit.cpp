#include "unit.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <new>

#include "fd.hpp"
#include "text.hpp"

namespace unit {

using vesko::fail;
using vesko::quoted;
using vesko::Result;
using vesko::shown;

namespace {

std::string at(const std::string& path, size_t line) { return shown(path) + ":" + std::to_string(line) + ": "; }

}  // namespace

std::string display(const Error& error) {
    return std::visit(
        vesko::Overloaded{
            [](const InvalidName& e) { return "invalid unit name " + quoted(e.name) + ": " + e.reason; },
            [](const NotAService& e) { return quoted(e.name) + " is not a service unit"; },
            [](const NotFound& e) {
                return "no unit file for " + shown(e.name) + " in " + shown(vesko::join(e.directories, ", "));
            },
            [](const Masked& e) { return "unit " + shown(e.name) + " is masked by " + shown(e.path); },
            [](const ReadFile& e) { return "cannot read " + shown(e.path) + ": " + e.os.display(); },
            [](const TooLarge& e) {
                return "cannot read " + shown(e.path) + ": the file is larger than 1 MiB (1048576 bytes)";
            },
            [](const TooManyDropIns& e) {
                return "unit " + shown(e.name) + " has more than " + std::to_string(kMaxDropIns) + " drop-ins";
            },
            [](const LongLine& e) {
                return at(e.path, e.line) + "the line is longer than " + std::to_string(kMaxLineLength) + " bytes";
            },
            [](const Syntax& e) { return at(e.path, e.line) + e.reason; },
            [](const InvalidValue& e) {
                return at(e.path, e.line) + "invalid " + e.directive + "= value " + quoted(e.value) + ": " + e.reason;
            },
            [](const SocketActivation& e) {
                return at(e.path, e.line) + shown(e.setting) + " needs socket activation, which is not offered";
            },
            [](const SocketUnit& e) {
                return shown(e.socket) + " stands beside " + shown(e.path) +
                       ": socket activation is not offered";
            },
            [](const NotifyReload& e) { return at(e.path, e.line) + "Type=notify-reload is not supported"; },
            [](const InvertedCapabilities& e) {
                return at(e.path, e.line) + "AmbientCapabilities= with ~ (all but those named) is not supported";
            },
            [](const CommandSeparator& e) {
                return at(e.path, e.line) + e.directive + "= holds several commands separated by \";\", " +
                       "which is not supported";
            },
            [](const UnknownSpecifier& e) {
                return at(e.path, e.line) + "unknown specifier %" + shown(std::string(1, e.specifier)) + " in " +
                       e.directive + "=";
            },
            [](const UnresolvedSpecifier& e) {
                return at(e.path, e.line) + "%" + std::string(1, e.specifier) + " in " + e.directive +
                       "= needs the " + (e.specifier == 'h' ? "home directory" : "user id") + " of user " +
                       quoted(e.user) + ", which is not known here";
            },
            [](const EmptyCommand& e) { return at(e.path, e.line) + e.directive + "= has no command"; },
            [](const NoExecStart& e) { return "unit " + shown(e.name) + " has no ExecStart= command"; },
            [](const SeveralExecStart& e) {
                return "unit " + shown(e.name) + " has several ExecStart= commands, which only Type=oneshot allows";
            },
        },
        error);
}

namespace {

// ---- Names ------------------------------------------------------------------------------

constexpr std::string_view kSuffix = ".service";

struct Names {
    std::string full;      // wg-quick@wg0.service
    std::string prefix;    // wg-quick
    std::string instance;  // wg0, empty for a plain unit
    bool templated = false;
    std::string template_file() const { return prefix + "@" + std::string(kSuffix); }
};

Result<Names, Error> split_name(std::string_view given) {
    std::string name(given);
    if (name.size() > kSuffix.size() && name.ends_with(kSuffix)) {
        name.resize(name.size() - kSuffix.size());
    } else if (size_t dot = name.rfind('.'); dot != std::string::npos) {
        static constexpr std::string_view kTypes[] = {"socket", "target", "timer", "mount", "automount", "swap",
                                                      "path",   "slice",  "scope", "device"};
        std::string_view type = std::string_view(name).substr(dot + 1);
        if (std::find(std::begin(kTypes), std::end(kTypes), type) != std::end(kTypes)) {
            return fail(Error{NotAService{std::string(given)}});
        }
    }
    auto invalid = [&](const char* reason) { return fail(Error{InvalidName{std::string(given), reason}}); };
    if (name.empty()) return invalid("the name is empty");
    bool valid = name.size() + kSuffix.size() <= 255 && name[0] != '@' &&
                 std::count(name.begin(), name.end(), '@') <= 1 &&
                 std::all_of(name.begin(), name.end(), [](char c) {
                     return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                            std::strchr(":-_.\\@", c) != nullptr;
                 });
    if (!valid) {
        return invalid("a unit name holds up to 255 ASCII letters, digits and \":-_.\\@\", with at most one "
                       "\"@\" after its prefix");
    }
    Names names{name + std::string(kSuffix), name, "", false};
    if (size_t at_sign = name.find('@'); at_sign != std::string::npos) {
        if (at_sign + 1 == name.size()) return invalid("a template needs an instance after its \"@\"");
        names.prefix = name.substr(0, at_sign);
        names.instance = name.substr(at_sign + 1);
        names.templated = true;
    }
    return names;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A name part as written escaped: "\xNN" is the byte NN and "-" a slash.
std::string unescape(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        auto hex = [&](size_t j) { return j < text.size() && hex_value(text[j]) >= 0; };
        if (text[i] == '-') {
            out += '/';
        } else if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'x' && hex(i + 2) && hex(i + 3)) {
            out += static_cast<char>(hex_value(text[i + 2]) * 16 + hex_value(text[i + 3]));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

// ---- Lines -------------------------------------------------------------------------------

// One KEY=VALUE as read, with where it was written.
struct Assignment {
    std::string section, key, value;
    const std::string* path;
    size_t line;
};

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string_view trim(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    return text;
}

bool is_comment(std::string_view line) {
    line = trim(line);
    return !line.empty() && (line[0] == '#' || line[0] == ';');
}

// Whether LINE ends in a backslash that is not itself escaped.
bool continues(std::string_view line) {
    bool escaped = false;
    for (char c : line) escaped = !escaped && c == '\\';
    return escaped;
}

Result<void, Error> take_line(std::string_view text, std::string& section, const Source& source, size_t line,
                              std::vector<Assignment>& out) {
    text = trim(text);
    if (text.empty() || is_comment(text)) return {};
    if (text[0] == '[') {
        if (text.size() < 3 || text.back() != ']') {
            return fail(Error{Syntax{source.path, line, "a section header without its closing \"]\""}});
        }
        section = text.substr(1, text.size() - 2);
        return {};
    }
    size_t equals = text.find('=');
    if (equals == std::string_view::npos || trim(text.substr(0, equals)).empty()) {
        return fail(Error{Syntax{source.path, line, "neither a section header, a comment nor KEY=VALUE"}});
    }
    if (section.empty()) return fail(Error{Syntax{source.path, line, "an assignment before the first section"}});
    out.push_back({section, std::string(trim(text.substr(0, equals))), std::string(trim(text.substr(equals + 1))),
                   &source.path, line});
    return {};
}

// The assignments of SOURCE in order. A backslash at the end of a line joins the next line
// with a blank in its place; comment lines within such a run are passed over.
Result<void, Error> read_assignments(const Source& source, std::vector<Assignment>& out) {
    std::vector<std::string_view> lines = vesko::split_lines(source.text);
    std::string section, logical;
    size_t first = 0;
    bool continuing = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].size() > kMaxLineLength) return fail(Error{LongLine{source.path, i + 1}});
        if (continuing && is_comment(lines[i])) continue;
        if (!continuing) {
            logical.clear();
            first = i + 1;
        }
        logical += lines[i];
        if (logical.size() > kMaxLineLength) return fail(Error{LongLine{source.path, first}});
        continuing = continues(logical) && !(first == i + 1 && is_comment(logical));
        if (continuing) {
            logical.back() = ' ';
            continue;
        }
        auto taken = take_line(logical, section, source, first, out);
        if (!taken) return taken;
    }
    if (continuing) return take_line(logical, section, source, first, out);
    return {};
}

// ---- Words -------------------------------------------------------------------------------

struct Word {
    std::string text;
    bool separator = false;  // an unquoted ";" on its own
};

void append_utf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// The C escape at the start of TEXT (after its backslash) appended to OUT; returns the
// characters it took, or 0 for one that stands for a NUL or is incomplete. An escape this
// does not know is kept as written, backslash included.
size_t take_escape(std::string_view text, std::string& out) {
    if (text.empty()) return 0;
    static constexpr std::string_view kFrom = "abfnrtv\\\"'s;", kTo = "\a\b\f\n\r\t\v\\\"' ;";
    if (size_t simple = kFrom.find(text[0]); simple != std::string_view::npos) {
        out += kTo[simple];
        return 1;
    }
    auto number = [&](size_t skip, size_t digits, int base) -> size_t {
        uint32_t value = 0;
        if (text.size() < skip + digits) return 0;
        for (size_t i = skip; i < skip + digits; ++i) {
            int digit = hex_value(text[i]);
            if (digit < 0 || digit >= base) return 0;
            value = value * static_cast<uint32_t>(base) + static_cast<uint32_t>(digit);
        }
        if (value == 0 || value > 0x10FFFF || (base == 8 && value > 0377)) return 0;
        if (text[0] != 'u' && text[0] != 'U') {
            out += static_cast<char>(value);
        } else {
            append_utf8(out, value);
        }
        return skip + digits;
    };
    switch (text[0]) {
        case 'x': return number(1, 2, 16);
        case 'u': return number(1, 4, 16);
        case 'U': return number(1, 8, 16);
        case '0': case '1': case '2': case '3': return number(0, 3, 8);
        default: out += '\\'; out += text[0]; return 1;
    }
}

// TEXT split into words with double and single quotes and C escapes (in and out of quotes).
Result<std::vector<Word>, const char*> split_words(std::string_view text) {
    std::vector<Word> words;
    size_t i = 0;
    for (;;) {
        while (i < text.size() && is_blank(text[i])) ++i;
        if (i == text.size()) return words;
        if (text[i] == ';' && (i + 1 == text.size() || is_blank(text[i + 1]))) {
            words.push_back({";", true});
            ++i;
            continue;
        }
        std::string word;
        char quote = 0;
        for (; i < text.size() && (quote != 0 || !is_blank(text[i])); ++i) {
            char c = text[i];
            if (c == '\\') {
                size_t taken = take_escape(text.substr(i + 1), word);
                if (taken == 0) return fail("an escape that is incomplete or stands for a NUL byte");
                i += taken;
            } else if (quote != 0 && c == quote) {
                quote = 0;
            } else if (quote == 0 && (c == '"' || c == '\'')) {
                quote = c;
            } else {
                word += c;
            }
        }
        if (quote != 0) return fail("a quote that is not closed");
        words.push_back({std::move(word), false});
    }
}

bool is_variable_name(std::string_view name) {
    if (name.empty() || (name[0] >= '0' && name[0] <= '9')) return false;
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; });
}

// The variables that WORD refers to: all of it "$NAME", or "${NAME}" within it ("$$" is a
// dollar sign).
void add_variables(std::string_view word, std::vector<std::string>& names) {
    auto add = [&](std::string_view name) {
        if (is_variable_name(name) && std::find(names.begin(), names.end(), name) == names.end()) {
            names.emplace_back(name);
        }
    };
    if (word.size() > 1 && word[0] == '$' && word[1] != '{' && is_variable_name(word.substr(1))) {
        return add(word.substr(1));
    }
    for (size_t i = 0; i + 1 < word.size(); ++i) {
        if (word[i] != '$') continue;
        if (word[i + 1] == '$') {
            ++i;
        } else if (size_t close = word.find('}', i); word[i + 1] == '{' && close != std::string_view::npos) {
            add(word.substr(i + 2, close - i - 2));
            i = close;
        }
    }
}

// ---- Values ------------------------------------------------------------------------------

std::optional<bool> parse_bool(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    for (const char* yes : {"1", "yes", "y", "true", "t", "on"}) if (lower == yes) return true;
    for (const char* no : {"0", "no", "n", "false", "f", "off"}) if (lower == no) return false;
    return std::nullopt;
}

std::optional<unsigned> parse_octal(std::string_view text, unsigned max) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '7') return std::nullopt;
        value = value * 8 + static_cast<unsigned>(c - '0');
    }
    if (value > max) return std::nullopt;
    return value;
}

// A systemd time span: "infinity", or numbers (fractions allowed) each with a unit,
// DEFAULT_UNIT microseconds for a bare one: "90", "5s", "1min 30s", "1.5h".
std::optional<uint64_t> parse_span(std::string_view text, uint64_t default_unit) {
    text = trim(text);
    if (text == "infinity") return kInfinity;
    static constexpr uint64_t kSec = 1000000, kMin = 60 * kSec, kHour = 60 * kMin, kDay = 24 * kHour;
    static const std::pair<std::string_view, uint64_t> kUnits[] = {
        {"us", 1}, {"usec", 1}, {"\xC2\xB5s", 1}, {"\xCE\xBCs", 1}, {"ms", 1000}, {"msec", 1000},
        {"s", kSec}, {"sec", kSec}, {"second", kSec}, {"seconds", kSec},
        {"m", kMin}, {"min", kMin}, {"minute", kMin}, {"minutes", kMin},
        {"h", kHour}, {"hr", kHour}, {"hour", kHour}, {"hours", kHour},
        {"d", kDay}, {"day", kDay}, {"days", kDay}, {"w", 7 * kDay}, {"week", 7 * kDay}, {"weeks", 7 * kDay},
        {"M", 2629800 * kSec}, {"month", 2629800 * kSec}, {"months", 2629800 * kSec},
        {"y", 31557600 * kSec}, {"year", 31557600 * kSec}, {"years", 31557600 * kSec}};
    uint64_t total = 0;
    size_t i = 0;
    if (text.empty()) return std::nullopt;
    while (i < text.size()) {
        size_t start = i;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
        auto whole = vesko::parse_unsigned(text.substr(start, i - start), UINT32_MAX);
        if (!whole) return std::nullopt;
        std::string_view fraction;
        if (i < text.size() && text[i] == '.') {
            size_t dot = ++i;
            while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
            fraction = text.substr(dot, std::min<size_t>(i - dot, 9));
        }
        while (i < text.size() && is_blank(text[i])) ++i;
        size_t unit_start = i;
        while (i < text.size() && !is_blank(text[i]) && !std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
        std::string_view unit = text.substr(unit_start, i - unit_start);
        uint64_t multiplier = unit.empty() ? default_unit : 0;
        for (const auto& [name, value] : kUnits) if (name == unit) multiplier = value;
        if (multiplier == 0 || *whole > UINT64_MAX / 2 / multiplier) return std::nullopt;
        uint64_t part = *whole * multiplier, scale = 1, digits = 0;
        for (char c : fraction) {
            digits = digits * 10 + static_cast<uint64_t>(c - '0');
            scale *= 10;
        }
        part += static_cast<uint64_t>(static_cast<long double>(multiplier) * digits / scale);
        if (part > UINT64_MAX / 2 - total) return std::nullopt;
        total += part;
        while (i < text.size() && is_blank(text[i])) ++i;
    }
    return total;
}

std::optional<int> parse_signal(std::string_view text) {
    if (auto number = vesko::parse_unsigned(text, 64); number && *number > 0) return static_cast<int>(*number);
    if (text.starts_with("SIG")) text.remove_prefix(3);
    for (int signal = 1; signal < 32; ++signal) {
        const char* name = sigabbrev_np(signal);
        if (name != nullptr && text == name) return signal;
    }
    return std::nullopt;
}

std::string signal_name(int signal) {
    const char* name = sigabbrev_np(signal);
    return name != nullptr ? std::string("SIG") + name : std::to_string(signal);
}

enum class LimitKind { Count, Bytes, Seconds, Microseconds, Nice };

struct LimitDirective {
    std::string_view name;
    int resource;
    LimitKind kind;
};

const LimitDirective kLimits[] = {
    {"LimitCPU", RLIMIT_CPU, LimitKind::Seconds},        {"LimitFSIZE", RLIMIT_FSIZE, LimitKind::Bytes},
    {"LimitDATA", RLIMIT_DATA, LimitKind::Bytes},        {"LimitSTACK", RLIMIT_STACK, LimitKind::Bytes},
    {"LimitCORE", RLIMIT_CORE, LimitKind::Bytes},        {"LimitRSS", RLIMIT_RSS, LimitKind::Bytes},
    {"LimitNOFILE", RLIMIT_NOFILE, LimitKind::Count},    {"LimitAS", RLIMIT_AS, LimitKind::Bytes},
    {"LimitNPROC", RLIMIT_NPROC, LimitKind::Count},      {"LimitMEMLOCK", RLIMIT_MEMLOCK, LimitKind::Bytes},
    {"LimitLOCKS", RLIMIT_LOCKS, LimitKind::Count},      {"LimitSIGPENDING", RLIMIT_SIGPENDING, LimitKind::Count},
    {"LimitMSGQUEUE", RLIMIT_MSGQUEUE, LimitKind::Bytes}, {"LimitNICE", RLIMIT_NICE, LimitKind::Nice},
    {"LimitRTPRIO", RLIMIT_RTPRIO, LimitKind::Count},    {"LimitRTTIME", RLIMIT_RTTIME, LimitKind::Microseconds},
};

std::optional<uint64_t> parse_limit_value(std::string_view text, LimitKind kind) {
    if (text == "infinity") return kInfinity;
    switch (kind) {
        case LimitKind::Count: return vesko::parse_unsigned(text, UINT64_MAX - 1);
        case LimitKind::Bytes: {
            static constexpr std::string_view kSuffixes = "BKMGTPE";
            size_t power = 0;
            if (!text.empty() && kSuffixes.find(text.back()) != std::string_view::npos) {
                power = kSuffixes.find(text.back());
                text.remove_suffix(1);
            }
            auto value = vesko::parse_unsigned(text, (UINT64_MAX - 1) >> (10 * power));
            if (!value) return std::nullopt;
            return *value << (10 * power);
        }
        case LimitKind::Seconds: {
            auto span = parse_span(text, 1000000);
            if (!span || *span == kInfinity) return span;
            return (*span + 999999) / 1000000;
        }
        case LimitKind::Microseconds: return parse_span(text, 1);
        case LimitKind::Nice: {
            // A sign makes it a nice value (-20 to 19), stored as the kernel's 20 - nice.
            if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
                auto nice = vesko::parse_unsigned(text.substr(1), text[0] == '-' ? 20 : 19);
                if (!nice) return std::nullopt;
                return text[0] == '-' ? 20 + *nice : 20 - *nice;
            }
            return vesko::parse_unsigned(text, 40);
        }
    }
    return std::nullopt;
}

// Read and left out: sandboxing and hardening, resource accounting, start rate limits,
// logging and terminal settings, documentation and manager-only behaviour.
constexpr std::string_view kIgnored[] = {
    "Documentation", "DefaultDependencies", "IgnoreOnIsolate", "RefuseManualStart", "RefuseManualStop",
    "AllowIsolate", "StopWhenUnneeded", "JobTimeoutSec", "JobTimeoutAction", "StartLimitIntervalSec",
    "StartLimitInterval", "StartLimitBurst", "StartLimitAction", "RequiresMountsFor", "OnFailure",
    "OnFailureJobMode", "CollectMode", "SuccessAction", "FailureAction", "ProtectSystem", "ProtectHome",
    "PrivateTmp", "PrivateDevices", "PrivateNetwork", "PrivateUsers", "PrivateIPC", "PrivateMounts",
    "ProtectKernelTunables", "ProtectKernelModules", "ProtectKernelLogs", "ProtectControlGroups",
    "ProtectClock", "ProtectHostname", "ProtectProc", "ProcSubset", "RestrictAddressFamilies",
    "RestrictNamespaces", "RestrictRealtime", "RestrictSUIDSGID", "RestrictFileSystems", "LockPersonality",
    "MemoryDenyWriteExecute", "NoNewPrivileges", "CapabilityBoundingSet", "SystemCallFilter",
    "SystemCallArchitectures", "SystemCallErrorNumber", "SecureBits", "ReadWritePaths", "ReadOnlyPaths",
    "InaccessiblePaths", "ExecPaths", "NoExecPaths", "TemporaryFileSystem", "BindPaths", "BindReadOnlyPaths",
    "DevicePolicy", "DeviceAllow", "IPAddressAllow", "IPAddressDeny", "IPAccounting", "RemoveIPC",
    "KeyringMode", "CPUAccounting", "MemoryAccounting", "IOAccounting", "BlockIOAccounting",
    "TasksAccounting", "MemoryMax", "MemoryHigh", "MemoryLow", "MemoryMin", "MemoryLimit", "MemorySwapMax",
    "TasksMax", "CPUQuota", "CPUWeight", "CPUShares", "IOWeight", "BlockIOWeight", "Slice", "Delegate",
    "ManagedOOMSwap", "ManagedOOMMemoryPressure", "OOMPolicy", "OOMScoreAdjust", "Nice", "CPUSchedulingPolicy",
    "CPUSchedulingPriority", "IOSchedulingClass", "IOSchedulingPriority", "CPUAffinity", "WatchdogSec",
    "RuntimeMaxSec", "TimeoutAbortSec", "FileDescriptorStoreMax", "RestartPreventExitStatus",
    "RestartForceExitStatus", "GuessMainPID", "SendSIGHUP", "SendSIGKILL", "FinalKillSignal",
    "RestartKillSignal", "RuntimeDirectoryPreserve", "BusName", "StandardInput", "StandardOutput",
    "StandardError", "SyslogIdentifier", "SyslogFacility", "SyslogLevel", "SyslogLevelPrefix", "LogLevelMax",
    "LogRateLimitIntervalSec", "LogRateLimitBurst", "LogExtraFields", "TTYPath", "TTYReset", "TTYVHangup",
    "TTYVTDisallocate", "UtmpIdentifier", "UtmpMode", "PAMName", "Personality", "LogNamespace",
};

// ---- Applying assignments ----------------------------------------------------------------

struct State {
    Unit& unit;
    const Names& names;
    const std::string& host_name;
    std::optional<std::string> user;  // the last User=, for %u, %U and %h
    std::optional<Type> type;
    bool bus_name = false;
};

Error invalid(const Assignment& a, const char* reason) {
    return InvalidValue{*a.path, a.line, a.key, a.value, reason};
}

// TEXT with its %-specifiers expanded.
Result<std::string, Error> expand(const State& state, const Assignment& a, std::string_view text) {
    std::string out;
    bool root = !state.user || *state.user == "root" || *state.user == "0";
    std::string_view stem = std::string_view(state.names.full).substr(0, state.names.full.size() - kSuffix.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (++i == text.size()) return fail(invalid(a, "a \"%\" at the end stands for no specifier"));
        char c = text[i];
        auto unresolved = [&] { return fail(Error{UnresolvedSpecifier{*a.path, a.line, a.key, c, *state.user}}); };
        switch (c) {
            case 'i': out += state.names.instance; break;
            case 'I': out += unescape(state.names.instance); break;
            case 'n': out += state.names.full; break;
            case 'N': out += stem; break;
            case 'p': out += state.names.prefix; break;
            case 'P': out += unescape(state.names.prefix); break;
            case 't': out += "/run"; break;
            case 'S': out += "/var/lib"; break;
            case 'C': out += "/var/cache"; break;
            case 'L': out += "/var/log"; break;
            case 'E': out += "/etc"; break;
            case 'T': out += "/tmp"; break;
            case 'V': out += "/var/tmp"; break;
            case 'H': out += state.host_name; break;
            case '%': out += '%'; break;
            case 'u': out += root ? "root" : *state.user; break;
            case 'h':
                if (!root) return unresolved();
                out += "/root";
                break;
            case 'U':
                if (!root && !vesko::parse_unsigned(*state.user, UINT32_MAX)) return unresolved();
                out += root ? "0" : *state.user;
                break;
            default: return fail(Error{UnknownSpecifier{*a.path, a.line, a.key, c}});
        }
    }
    return out;
}

// The words of the value, unquoted and with specifiers expanded.
Result<std::vector<std::string>, Error> expanded_words(const State& state, const Assignment& a) {
    auto words = split_words(a.value);
    if (!words) return fail(invalid(a, words.error()));
    std::vector<std::string> out;
    for (Word& word : *words) {
        auto text = expand(state, a, word.text);
        if (!text) return fail(std::move(text.error()));
        out.push_back(std::move(*text));
    }
    return out;
}

Result<Command, Error> parse_command(const State& state, const Assignment& a) {
    auto words = split_words(a.value);
    if (!words) return fail(invalid(a, words.error()));
    for (const Word& word : *words) {
        if (word.separator) return fail(Error{CommandSeparator{*a.path, a.line, a.key}});
    }
    Command command;
    std::string_view first = (*words)[0].text;
    size_t n = 0;
    for (; n < first.size(); ++n) {
        char c = first[n];
        bool privileged = command.privileges != Privileges::Normal;
        if (c == '-' && !command.ignore_failure) {
            command.ignore_failure = true;
        } else if (c == '@' && !command.separate_argv0) {
            command.separate_argv0 = true;
        } else if (c == ':' && command.expand_variables) {
            command.expand_variables = false;
        } else if ((c == '+' || c == '!') && !privileged) {
            command.privileges = c == '+' ? Privileges::Full : Privileges::NoSetuid;
        } else if (c == '!' && command.privileges == Privileges::NoSetuid) {
            command.privileges = Privileges::AmbientFallback;
        } else {
            break;
        }
    }
    size_t argv_from = command.separate_argv0 ? 1 : 0;
    if (n == first.size() || words->size() <= argv_from) return fail(Error{EmptyCommand{*a.path, a.line, a.key}});
    auto path = expand(state, a, first.substr(n));
    if (!path) return fail(std::move(path.error()));
    command.path = std::move(*path);
    if (command.path.empty()) return fail(Error{EmptyCommand{*a.path, a.line, a.key}});
    if (command.path[0] != '/' && command.path.find('/') != std::string::npos) {
        return fail(invalid(a, "the program is neither an absolute path nor a file name"));
    }
    if (!command.separate_argv0) command.argv.push_back(command.path);
    for (size_t i = 1; i < words->size(); ++i) {
        auto word = expand(state, a, (*words)[i].text);
        if (!word) return fail(std::move(word.error()));
        command.argv.push_back(std::move(*word));
    }
    if (command.expand_variables) {
        for (const std::string& word : command.argv) add_variables(word, command.variables);
    }
    return command;
}

std::vector<Command>* exec_list(Unit& u, std::string_view key) {
    if (key == "ExecStartPre") return &u.exec_start_pre;
    if (key == "ExecStart") return &u.exec_start;
    if (key == "ExecStartPost") return &u.exec_start_post;
    if (key == "ExecReload") return &u.exec_reload;
    if (key == "ExecStop") return &u.exec_stop;
    if (key == "ExecStopPost") return &u.exec_stop_post;
    return nullptr;
}

std::vector<std::string>* word_list(Unit& u, std::string_view section, std::string_view key) {
    if (section == "Unit") {
        if (key == "After") return &u.after;
        if (key == "Before") return &u.before;
        if (key == "Requires") return &u.requires_;
        if (key == "Wants") return &u.wants;
        if (key == "BindsTo") return &u.binds_to;
        if (key == "Requisite") return &u.requisite;
        if (key == "PartOf") return &u.part_of;
        if (key == "Conflicts") return &u.conflicts;
    } else if (section == "Install") {
        if (key == "WantedBy") return &u.wanted_by;
        if (key == "RequiredBy") return &u.required_by;
        if (key == "Alias") return &u.alias;
        if (key == "Also") return &u.also;
    } else if (section == "Service" && key == "SupplementaryGroups") {
        return &u.supplementary_groups;
    }
    return nullptr;
}

constexpr std::string_view kDirectoryNames[kDirectoryKinds] = {
    "RuntimeDirectory", "StateDirectory", "CacheDirectory", "LogsDirectory", "ConfigurationDirectory"};

constexpr std::string_view kConditionNames[] = {"PathExists",        "PathIsDirectory",  "FileNotEmpty",
                                                "DirectoryNotEmpty", "FileIsExecutable", "PathExistsGlob"};

// An empty value puts a single-valued setting back to unset.
template <class T>
bool cleared(const Assignment& a, std::optional<T>& field) {
    if (a.value.empty()) field.reset();
    return a.value.empty();
}

template <class T>
Result<void, Error> set_choice(std::optional<T>& field, const Assignment& a,
                               std::initializer_list<std::pair<std::string_view, T>> choices) {
    if (cleared(a, field)) return {};
    for (const auto& [word, value] : choices) {
        if (a.value == word) {
            field = value;
            return {};
        }
    }
    return fail(invalid(a, "not one of the words this setting takes"));
}

Result<void, Error> set_text(State& state, const Assignment& a, std::optional<std::string>& field) {
    if (cleared(a, field)) return {};
    auto text = expand(state, a, a.value);
    if (!text) return fail(std::move(text.error()));
    field = std::move(*text);
    return {};
}

Result<void, Error> set_span(const Assignment& a, std::optional<uint64_t>& field, bool zero_is_infinity) {
    if (cleared(a, field)) return {};
    auto span = parse_span(a.value, 1000000);
    if (!span) return fail(invalid(a, "not a time span"));
    field = *span == 0 && zero_is_infinity ? kInfinity : *span;
    return {};
}

Result<void, Error> apply_condition(State& state, const Assignment& a) {
    Unit& u = state.unit;
    bool assert_ = a.key.starts_with("Assert");
    std::string_view kind_name = std::string_view(a.key).substr(assert_ ? 6 : 9);
    const auto* kind = std::find(std::begin(kConditionNames), std::end(kConditionNames), kind_name);
    // An empty value drops the conditions so far (or the assertions, for an Assert*).
    if (a.value.empty()) {
        std::erase_if(u.conditions, [&](const Condition& c) { return c.assert_ == assert_; });
        std::erase_if(u.unsupported_conditions,
                      [&](const std::string& c) { return c.starts_with(assert_ ? "Assert" : "Condition"); });
        return {};
    }
    if (kind == std::end(kConditionNames)) {
        u.unsupported_conditions.push_back(a.key + "=" + a.value);
        return {};
    }
    Condition condition{static_cast<ConditionKind>(kind - std::begin(kConditionNames)), assert_, false, false, ""};
    std::string_view text = a.value;
    condition.trigger = text.starts_with('|');
    if (condition.trigger) text.remove_prefix(1);
    condition.negate = text.starts_with('!');
    if (condition.negate) text.remove_prefix(1);
    auto path = expand(state, a, text);
    if (!path) return fail(std::move(path.error()));
    if (!path->starts_with('/')) return fail(invalid(a, "not an absolute path"));
    condition.path = std::move(*path);
    u.conditions.push_back(std::move(condition));
    return {};
}

// The directives of [Service] that are honoured; HANDLED is cleared for any other.
Result<void, Error> apply_service(State& state, const Assignment& a, bool& handled) {
    Unit& u = state.unit;
    const std::string& key = a.key;
    if (key == "Type") {
        if (a.value == "notify-reload") return fail(Error{NotifyReload{*a.path, a.line}});
        if (a.value.empty()) {
            state.type.reset();
            return {};
        }
        return set_choice(state.type, a, {{"simple", Type::Simple}, {"exec", Type::Exec}, {"forking", Type::Forking},
                                          {"oneshot", Type::Oneshot}, {"notify", Type::Notify},
                                          {"dbus", Type::Dbus}, {"idle", Type::Simple}});
    }
    if (key == "PIDFile") {
        auto set = set_text(state, a, u.pid_file);
        if (set && u.pid_file && !u.pid_file->starts_with('/')) u.pid_file = "/run/" + *u.pid_file;
        return set;
    }
    if (key == "RemainAfterExit" || key == "DynamicUser") {
        std::optional<bool>& field = key == "DynamicUser" ? u.dynamic_user : u.remain_after_exit;
        if (cleared(a, field)) return {};
        field = parse_bool(a.value);
        if (!field) return fail(invalid(a, "not a boolean"));
        return {};
    }
    if (key == "NotifyAccess") {
        return set_choice(u.notify_access, a, {{"none", NotifyAccess::None}, {"main", NotifyAccess::Main},
                                               {"exec", NotifyAccess::Exec}, {"all", NotifyAccess::All}});
    }
    if (key == "Restart") {
        return set_choice(u.restart, a, {{"no", Restart::No}, {"on-success", Restart::OnSuccess},
                                         {"on-failure", Restart::OnFailure}, {"on-abnormal", Restart::OnAbnormal},
                                         {"on-watchdog", Restart::OnWatchdog}, {"on-abort", Restart::OnAbort},
                                         {"always", Restart::Always}});
    }
    if (key == "RestartSec") return set_span(a, u.restart_sec, false);
    if (key == "TimeoutStartSec") return set_span(a, u.timeout_start_sec, true);
    if (key == "TimeoutStopSec") return set_span(a, u.timeout_stop_sec, true);
    if (key == "TimeoutSec") {
        auto set = set_span(a, u.timeout_start_sec, true);
        u.timeout_stop_sec = u.timeout_start_sec;
        return set;
    }
    if (key == "KillMode") {
        return set_choice(u.kill_mode, a, {{"control-group", KillMode::ControlGroup}, {"mixed", KillMode::Mixed},
                                           {"process", KillMode::Process}, {"none", KillMode::None}});
    }
    if (key == "KillSignal") {
        if (cleared(a, u.kill_signal)) return {};
        auto signal = parse_signal(a.value);
        if (!signal) return fail(invalid(a, "not a signal"));
        u.kill_signal = *signal;
        return {};
    }
    if (key == "SuccessExitStatus") {
        if (a.value.empty()) {
            u.success_exit_statuses.clear();
            u.success_signals.clear();
        }
        for (std::string_view word : vesko::split_fields(a.value)) {
            if (auto status = vesko::parse_unsigned(word, 255)) {
                u.success_exit_statuses.push_back(static_cast<int>(*status));
            } else if (auto signal = parse_signal(word)) {
                u.success_signals.push_back(*signal);
            } else {
                return fail(invalid(a, "not an exit status or a signal"));
            }
        }
        return {};
    }
    if (key == "User" || key == "Group") return set_text(state, a, key == "User" ? u.user : u.group);
    if (key == "Environment") {
        if (a.value.empty()) u.environment.clear();
        auto words = expanded_words(state, a);
        if (!words) return fail(std::move(words.error()));
        for (std::string& word : *words) {
            size_t equals = word.find('=');
            if (equals == std::string::npos || !is_variable_name(std::string_view(word).substr(0, equals))) {
                return fail(invalid(a, "an assignment that is not NAME=VALUE"));
            }
            u.environment.push_back(std::move(word));
        }
        return {};
    }
    if (key == "EnvironmentFile") {
        if (a.value.empty()) {
            u.environment_files.clear();
            return {};
        }
        bool missing_ok = a.value[0] == '-';
        auto path = expand(state, a, std::string_view(a.value).substr(missing_ok ? 1 : 0));
        if (!path) return fail(std::move(path.error()));
        if (!path->starts_with('/')) return fail(invalid(a, "not an absolute path"));
        u.environment_files.push_back({std::move(*path), missing_ok});
        return {};
    }
    if (key == "WorkingDirectory") {
        if (a.value.empty()) {
            u.working_directory.reset();
            return {};
        }
        WorkingDirectory directory{"", a.value[0] == '-'};
        std::string_view text = std::string_view(a.value).substr(directory.missing_ok ? 1 : 0);
        directory.home = text == "~";
        if (!directory.home) {
            auto path = expand(state, a, text);
            if (!path) return fail(std::move(path.error()));
            if (!path->starts_with('/')) return fail(invalid(a, "not an absolute path or ~"));
            directory.path = std::move(*path);
        }
        u.working_directory = std::move(directory);
        return {};
    }
    if (key == "UMask") {
        if (cleared(a, u.umask)) return {};
        auto mask = parse_octal(a.value, 0777);
        if (!mask) return fail(invalid(a, "not an octal mode"));
        u.umask = *mask;
        return {};
    }
    if (key == "AmbientCapabilities") {
        if (a.value.empty()) u.ambient_capabilities.clear();
        if (a.value.starts_with('~')) return fail(Error{InvertedCapabilities{*a.path, a.line}});
        for (std::string_view word : vesko::split_fields(a.value)) {
            std::string name(word);
            std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::toupper(c); });
            bool valid = name.size() > 4 && name.starts_with("CAP_") && std::all_of(name.begin(), name.end(), [](char c) {
                return std::isupper(static_cast<unsigned char>(c)) || c == '_';
            });
            if (!valid) {
                return fail(invalid(a, "not a capability name"));
            }
            std::vector<std::string>& list = u.ambient_capabilities;
            if (std::find(list.begin(), list.end(), name) == list.end()) list.push_back(std::move(name));
        }
        return {};
    }
    for (size_t kind = 0; kind < kDirectoryKinds; ++kind) {
        Directories& directories = u.directories[kind];
        if (key == std::string(kDirectoryNames[kind]) + "Mode") {
            if (cleared(a, directories.mode)) return {};
            auto mode = parse_octal(a.value, 07777);
            if (!mode) return fail(invalid(a, "not an octal mode"));
            directories.mode = *mode;
            return {};
        }
        if (key != kDirectoryNames[kind]) continue;
        if (a.value.empty()) directories.names.clear();
        auto words = expanded_words(state, a);
        if (!words) return fail(std::move(words.error()));
        for (std::string& name : *words) {
            std::vector<std::string_view> parts = vesko::path_components(name);
            if (name.starts_with('/') || name.find(':') != std::string::npos || parts.empty() ||
                std::find(parts.begin(), parts.end(), "..") != parts.end()) {
                return fail(invalid(a, "not a relative path below the directory"));
            }
            directories.names.push_back(std::move(name));
        }
        return {};
    }
    for (const LimitDirective& limit : kLimits) {
        if (key != limit.name) continue;
        auto found = std::find_if(u.limits.begin(), u.limits.end(), [&](const Limit& l) { return l.name == key; });
        if (a.value.empty()) {
            if (found != u.limits.end()) u.limits.erase(found);
            return {};
        }
        size_t colon = a.value.find(':');
        std::string_view value = a.value;
        auto soft = parse_limit_value(value.substr(0, colon), limit.kind);
        auto hard = colon == std::string::npos ? soft : parse_limit_value(value.substr(colon + 1), limit.kind);
        if (!soft || !hard) return fail(invalid(a, "not a limit (VALUE or SOFT:HARD, or infinity)"));
        if (*soft > *hard) return fail(invalid(a, "the soft limit is above the hard one"));
        if (found == u.limits.end()) found = u.limits.insert(u.limits.end(), Limit{key, limit.resource, 0, 0});
        found->soft = *soft;
        found->hard = *hard;
        return {};
    }
    if (key == "BusName") state.bus_name = !a.value.empty();
    handled = false;
    return {};
}

// The directives that socket activation brings, in whichever section they stand.
bool needs_socket(const Assignment& a) {
    if (a.key == "Sockets" || a.key == "Accept" || a.key.starts_with("Listen")) return true;
    bool standard = a.key == "StandardInput" || a.key == "StandardOutput" || a.key == "StandardError";
    return standard && (a.value == "socket" || a.value.starts_with("fd"));
}

Result<void, Error> apply(State& state, const Assignment& a) {
    Unit& u = state.unit;
    if (needs_socket(a)) {
        std::string setting = a.key + "=" + (a.key.starts_with("Standard") ? a.value : "");
        return fail(Error{SocketActivation{*a.path, a.line, setting}});
    }
    bool section_known = a.section == "Unit" || a.section == "Service" || a.section == "Install";
    if (auto* list = exec_list(u, a.key); list != nullptr && a.section == "Service") {
        if (a.value.empty()) {
            list->clear();
            return {};
        }
        auto command = parse_command(state, a);
        if (!command) return fail(std::move(command.error()));
        list->push_back(std::move(*command));
        return {};
    }
    if (auto* list = word_list(u, a.section, a.key)) {
        // The dependencies of [Unit] only ever grow, as systemd has them.
        // Unit names keep their escapes (dev-disk-by\x2dlabel-x.device).
        if (a.value.empty() && a.section != "Unit") list->clear();
        for (std::string_view word : vesko::split_fields(a.value)) {
            auto name = expand(state, a, word);
            if (!name) return fail(std::move(name.error()));
            list->push_back(std::move(*name));
        }
        return {};
    }
    if (a.section == "Unit" && a.key == "Description") return set_text(state, a, u.description);
    if (a.section == "Unit" && (a.key.starts_with("Condition") || a.key.starts_with("Assert"))) {
        return apply_condition(state, a);
    }
    if (a.section == "Install" && a.key == "DefaultInstance") return set_text(state, a, u.default_instance);
    if (a.section == "Service") {
        bool handled = true;
        auto applied = apply_service(state, a, handled);
        if (handled) return applied;
    }
    bool ignored = std::find(std::begin(kIgnored), std::end(kIgnored), a.key) != std::end(kIgnored);
    std::string entry = ignored && section_known ? a.key : "[" + a.section + "] " + a.key;
    std::vector<std::string>& list = ignored && section_known ? u.ignored : u.unknown;
    if (std::find(list.begin(), list.end(), entry) == list.end()) list.push_back(std::move(entry));
    return {};
}

// ---- Files -------------------------------------------------------------------------------

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

// The entry names of DIRECTORY; none when it does not exist or is not a directory.
Result<std::vector<std::string>, Error> list_directory(const std::string& directory) {
    auto opened = vesko::open_fd(directory, O_RDONLY | O_DIRECTORY);
    if (!opened) {
        if (opened.error().code == ENOENT || opened.error().code == ENOTDIR) return std::vector<std::string>();
        return fail(Error{ReadFile{directory, opened.error()}});
    }
    std::unique_ptr<DIR, DirCloser> dir(fdopendir(opened->get()));
    if (!dir) return fail(Error{ReadFile{directory, vesko::last_os_error()}});
    opened->release();
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir.get());
        if (entry == nullptr) {
            if (errno == 0) return names;
            return fail(Error{ReadFile{directory, vesko::last_os_error()}});
        }
        std::string_view name = entry->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
    }
}

enum class Entry { Missing, Masked, Present };

// Whether PATH exists, and whether it masks: a link to /dev/null, or an empty file.
Result<Entry, Error> inspect(const std::string& path) {
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return Entry::Missing;
        return fail(Error{ReadFile{path, vesko::last_os_error()}});
    }
    if (S_ISLNK(info.st_mode)) {
        auto target = vesko::read_link(path);
        if (!target) return fail(Error{ReadFile{path, target.error()}});
        return *target == "/dev/null" ? Entry::Masked : Entry::Present;
    }
    return S_ISREG(info.st_mode) && info.st_size == 0 ? Entry::Masked : Entry::Present;
}

Result<Source, Error> read_source(const std::string& path) {
    auto opened = vesko::open_fd(path, O_RDONLY | O_NONBLOCK);
    if (!opened) return fail(Error{ReadFile{path, opened.error()}});
    struct stat info;
    if (fstat(opened->get(), &info) != 0) return fail(Error{ReadFile{path, vesko::last_os_error()}});
    if (!S_ISREG(info.st_mode)) return fail(Error{ReadFile{path, vesko::fixed_error("not a regular file")}});
    if (static_cast<uint64_t>(info.st_size) > kMaxFileSize) return fail(Error{TooLarge{path}});
    auto text = vesko::read_all(opened->get(), kMaxFileSize);
    if (!text) return fail(Error{ReadFile{path, text.error()}});
    if (text->size() > kMaxFileSize) return fail(Error{TooLarge{path}});
    if (!vesko::is_utf8(*text)) return fail(Error{ReadFile{path, vesko::fixed_error(vesko::kInvalidUtf8Text)}});
    return Source{path, std::move(*text)};
}

Result<Unit, Error> load_unit(std::string_view given, const Search& search) {
    auto names = split_name(given);
    if (!names) return fail(std::move(names.error()));
    // An instance's own file, in any directory, comes before its template's.
    std::vector<std::string> candidates = {names->full};
    if (names->templated) candidates.push_back(names->template_file());
    std::string found, found_in;
    for (const std::string& candidate : candidates) {
        for (const std::string& directory : search.directories) {
            std::string path = vesko::path_join(directory, candidate);
            auto entry = inspect(path);
            if (!entry) return fail(std::move(entry.error()));
            if (*entry == Entry::Masked) return fail(Error{Masked{names->full, path}});
            if (*entry == Entry::Missing) continue;
            found = path;
            found_in = directory;
            break;
        }
        if (!found.empty()) break;
    }
    if (found.empty()) return fail(Error{NotFound{names->full, search.directories}});
    // A socket unit beside the service would start it on a connection, with the socket.
    std::string own_stem = names->full.substr(0, names->full.size() - kSuffix.size());
    for (const std::string& stem : {own_stem, names->prefix + "@"}) {
        if (stem == names->prefix + "@" && !names->templated) continue;
        std::string socket = vesko::path_join(found_in, stem + ".socket");
        auto entry = inspect(socket);
        if (!entry) return fail(std::move(entry.error()));
        if (*entry == Entry::Present) return fail(Error{SocketUnit{found, socket}});
    }
    // Drop-ins by file name: the first directory that has a name hides it in the others.
    std::map<std::string, std::optional<std::string>> drop_in_paths;
    for (const std::string& directory : search.directories) {
        for (const std::string& candidate : candidates) {
            std::string drop_in_dir = vesko::path_join(directory, candidate + ".d");
            auto entries = list_directory(drop_in_dir);
            if (!entries) return fail(std::move(entries.error()));
            for (const std::string& entry_name : *entries) {
                bool drop_in = entry_name.size() > 5 && entry_name.ends_with(".conf");
                if (!drop_in || drop_in_paths.count(entry_name) != 0) continue;
                std::string path = vesko::path_join(drop_in_dir, entry_name);
                auto entry = inspect(path);
                if (!entry) return fail(std::move(entry.error()));
                if (*entry == Entry::Missing) continue;
                drop_in_paths[entry_name] = *entry == Entry::Masked ? std::nullopt : std::optional(path);
                if (drop_in_paths.size() > kMaxDropIns) return fail(Error{TooManyDropIns{names->full}});
            }
        }
    }
    auto file = read_source(found);
    if (!file) return fail(std::move(file.error()));
    std::vector<Source> drop_ins;
    for (const auto& [entry_name, path] : drop_in_paths) {
        if (!path) continue;
        auto source = read_source(*path);
        if (!source) return fail(std::move(source.error()));
        drop_ins.push_back(std::move(*source));
    }
    std::string host_name;
    if (search.host_name) {
        host_name = *search.host_name;
    } else if (struct utsname system; uname(&system) == 0) {
        host_name = system.nodename;
    }
    return parse(names->full, *file, drop_ins, host_name);
}

Result<Unit, Error> parse_unit(const std::string& name, const Source& file, const std::vector<Source>& drop_ins,
                               const std::string& host_name) {
    auto names = split_name(name);
    if (!names) return fail(std::move(names.error()));
    std::vector<Assignment> assignments;
    auto read = read_assignments(file, assignments);
    for (size_t i = 0; read && i < drop_ins.size(); ++i) read = read_assignments(drop_ins[i], assignments);
    if (!read) return fail(std::move(read.error()));
    Unit unit;
    unit.name = names->full;
    unit.path = file.path;
    for (const Source& drop_in : drop_ins) unit.drop_ins.push_back(drop_in.path);
    State state{unit, *names, host_name, std::nullopt, std::nullopt, false};
    // %u, %U and %h stand for the last User=, wherever it is.
    for (const Assignment& a : assignments) {
        if (a.section != "Service" || a.key != "User") continue;
        if (a.value.empty()) {
            state.user.reset();
        } else {
            auto user = expand(state, a, a.value);
            if (!user) return fail(std::move(user.error()));
            state.user = std::move(*user);
        }
    }
    for (const Assignment& a : assignments) {
        auto applied = apply(state, a);
        if (!applied) return fail(std::move(applied.error()));
    }
    unit.type = state.type ? *state.type
                : state.bus_name    ? Type::Dbus
                : unit.exec_start.empty() ? Type::Oneshot
                                          : Type::Simple;
    bool oneshot = unit.type == Type::Oneshot;
    if (unit.exec_start.empty() && (!oneshot || unit.exec_stop.empty())) return fail(Error{NoExecStart{unit.name}});
    if (unit.exec_start.size() > 1 && !oneshot) return fail(Error{SeveralExecStart{unit.name}});
    return unit;
}

// ---- Description -------------------------------------------------------------------------

std::string show_word(const std::string& word) {
    bool plain = !word.empty() && std::none_of(word.begin(), word.end(), [](char c) {
        return is_blank(c) || c == '"' || c == '\'' || c == '\\' || c == ';' || static_cast<unsigned char>(c) < 0x20;
    });
    return plain ? shown(word) : quoted(word);
}

std::string show_command(const Command& c) {
    static constexpr const char* kPrivileges[] = {"", "+", "!", "!!"};
    std::string out = std::string(c.ignore_failure ? "-" : "") + (c.separate_argv0 ? "@" : "") +
                      kPrivileges[static_cast<int>(c.privileges)] + (c.expand_variables ? "" : ":") +
                      show_word(c.path);
    for (size_t i = c.separate_argv0 ? 0 : 1; i < c.argv.size(); ++i) out += " " + show_word(c.argv[i]);
    if (!c.variables.empty()) out += " (variables: " + vesko::join(c.variables, " ") + ")";
    return out;
}

std::string show_span(uint64_t span) {
    if (span == kInfinity) return "infinity";
    if (span % 1000000 == 0) return std::to_string(span / 1000000) + "s";
    if (span % 1000 == 0) return std::to_string(span / 1000) + "ms";
    return std::to_string(span) + "us";
}

std::string show_octal(unsigned mode) {
    std::string out;
    for (int shift = 9; shift >= 0; shift -= 3) out += static_cast<char>('0' + ((mode >> shift) & 7));
    return out;
}

std::string show_limit(uint64_t value) { return value == kInfinity ? "infinity" : std::to_string(value); }

}  // namespace

Result<Unit, Error> parse(const std::string& name, const Source& file, const std::vector<Source>& drop_ins,
                          const std::string& host_name) {
    try {
        return parse_unit(name, file, drop_ins, host_name);
    } catch (const std::bad_alloc&) {
        return fail(Error{ReadFile{file.path, vesko::OsError{ENOMEM}}});
    }
}

Result<Unit, Error> load(std::string_view name, const Search& search) {
    // Running out of memory is an error of this unit, never an exception for the caller.
    try {
        return load_unit(name, search);
    } catch (const std::bad_alloc&) {
        return fail(Error{ReadFile{std::string(name), vesko::OsError{ENOMEM}}});
    }
}

std::string describe(const Unit& u) {
    std::string out;
    auto line = [&](std::string_view key, const std::string& value) {
        out += std::string(key) + ": " + value + "\n";
    };
    auto words = [&](std::string_view key, const std::vector<std::string>& list) {
        if (list.empty()) return;
        std::string joined;
        for (const std::string& word : list) joined += (joined.empty() ? "" : " ") + show_word(word);
        line(key, joined);
    };
    auto text = [&](std::string_view key, const std::optional<std::string>& value) {
        if (value) line(key, shown(*value));
    };
    auto yes_no = [&](std::string_view key, const std::optional<bool>& value) {
        if (value) line(key, *value ? "yes" : "no");
    };
    auto span = [&](std::string_view key, const std::optional<uint64_t>& value) {
        if (value) line(key, show_span(*value));
    };
    line("Name", shown(u.name));
    line("Path", shown(u.path));
    for (const std::string& drop_in : u.drop_ins) line("DropIn", shown(drop_in));
    text("Description", u.description);
    static constexpr const char* kTypes[] = {"simple", "exec", "forking", "oneshot", "notify", "dbus"};
    line("Type", kTypes[static_cast<int>(u.type)]);
    const std::pair<const char*, const std::vector<Command>*> commands[] = {
        {"ExecStartPre", &u.exec_start_pre}, {"ExecStart", &u.exec_start}, {"ExecStartPost", &u.exec_start_post},
        {"ExecReload", &u.exec_reload},      {"ExecStop", &u.exec_stop},   {"ExecStopPost", &u.exec_stop_post}};
    for (const auto& [key, list] : commands) {
        for (const Command& command : *list) line(key, show_command(command));
    }
    text("PIDFile", u.pid_file);
    yes_no("RemainAfterExit", u.remain_after_exit);
    static constexpr const char* kAccess[] = {"none", "main", "exec", "all"};
    if (u.notify_access) line("NotifyAccess", kAccess[static_cast<int>(*u.notify_access)]);
    static constexpr const char* kRestarts[] = {"no",          "on-success", "on-failure", "on-abnormal",
                                                "on-watchdog", "on-abort",   "always"};
    if (u.restart) line("Restart", kRestarts[static_cast<int>(*u.restart)]);
    span("RestartSec", u.restart_sec);
    span("TimeoutStartSec", u.timeout_start_sec);
    span("TimeoutStopSec", u.timeout_stop_sec);
    static constexpr const char* kKillModes[] = {"control-group", "mixed", "process", "none"};
    if (u.kill_mode) line("KillMode", kKillModes[static_cast<int>(*u.kill_mode)]);
    if (u.kill_signal) line("KillSignal", signal_name(*u.kill_signal));
    std::vector<std::string> statuses;
    for (int status : u.success_exit_statuses) statuses.push_back(std::to_string(status));
    for (int signal : u.success_signals) statuses.push_back(signal_name(signal));
    words("SuccessExitStatus", statuses);
    text("User", u.user);
    text("Group", u.group);
    yes_no("DynamicUser", u.dynamic_user);
    words("SupplementaryGroups", u.supplementary_groups);
    for (const std::string& assignment : u.environment) line("Environment", shown(assignment));
    for (const EnvironmentFile& file : u.environment_files) {
        line("EnvironmentFile", (file.missing_ok ? "-" : "") + shown(file.path));
    }
    if (const auto& w = u.working_directory) {
        line("WorkingDirectory", (w->missing_ok ? "-" : "") + (w->home ? std::string("~") : shown(w->path)));
    }
    if (u.umask) line("UMask", show_octal(*u.umask));
    for (const Limit& limit : u.limits) {
        line(limit.name, show_limit(limit.soft) + (limit.soft == limit.hard ? "" : ":" + show_limit(limit.hard)));
    }
    words("AmbientCapabilities", u.ambient_capabilities);
    for (size_t kind = 0; kind < kDirectoryKinds; ++kind) {
        words(kDirectoryNames[kind], u.directories[kind].names);
        if (u.directories[kind].mode) {
            line(std::string(kDirectoryNames[kind]) + "Mode", show_octal(*u.directories[kind].mode));
        }
    }
    for (const Condition& c : u.conditions) {
        line(std::string(c.assert_ ? "Assert" : "Condition") + std::string(kConditionNames[static_cast<int>(c.kind)]),
             std::string(c.trigger ? "|" : "") + (c.negate ? "!" : "") + shown(c.path));
    }
    for (const std::string& condition : u.unsupported_conditions) line("UnsupportedCondition", shown(condition));
    const std::pair<const char*, const std::vector<std::string>*> lists[] = {
        {"After", &u.after},         {"Before", &u.before},       {"Requires", &u.requires_},
        {"Wants", &u.wants},         {"BindsTo", &u.binds_to},    {"Requisite", &u.requisite},
        {"PartOf", &u.part_of},      {"Conflicts", &u.conflicts}, {"WantedBy", &u.wanted_by},
        {"RequiredBy", &u.required_by}, {"Alias", &u.alias},      {"Also", &u.also}};
    for (const auto& [key, list] : lists) words(key, *list);
    text("DefaultInstance", u.default_instance);
    words("Ignored", u.ignored);
    for (const std::string& entry : u.unknown) line("Unknown", shown(entry));
    return out;
}

}  // namespace unit
