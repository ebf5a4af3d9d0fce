#include "unit.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <utility>

#include "fd.hpp"
#include "text.hpp"

namespace unit {

using vesko::fail;
using vesko::quoted;
using vesko::Result;
using vesko::shown;

namespace {

std::string at(const std::string& path, size_t line) { return shown(path) + ":" + std::to_string(line) + ": "; }

std::string more_than(size_t limit, const char* what) { return "more than " + std::to_string(limit) + what; }

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
                return "cannot read " + shown(e.path) + ": the unit file and its drop-ins hold " +
                       more_than(kMaxSize, " bytes");
            },
            [](const TooManyDropIns& e) {
                return "unit " + shown(e.name) + " has " + more_than(kMaxDropIns, " drop-ins");
            },
            [](const LargeDirectory& e) {
                return "cannot read " + shown(e.path) + ": the directory holds " +
                       more_than(kMaxDirectoryEntries, " entries");
            },
            [](const LongLine& e) {
                return at(e.path, e.line) + "the line is longer than " + std::to_string(kMaxLineLength) + " bytes";
            },
            [](const TooManyAssignments& e) {
                return at(e.path, e.line) + "the unit file and its drop-ins hold " +
                       more_than(kMaxAssignments, " assignments");
            },
            [](const LargeRecord& e) {
                return at(e.path, e.line) + "the values, specifiers expanded, come to " +
                       more_than(kMaxSize, " bytes");
            },
            [](const Syntax& e) { return at(e.path, e.line) + e.reason; },
            [](const InvalidValue& e) {
                return at(e.path, e.line) + "invalid " + e.directive + "= value " + quoted(e.value) + ": " + e.reason;
            },
            [](const SocketActivation& e) {
                return at(e.path, e.line) + shown(e.setting) + " needs socket activation, which is not offered";
            },
            [](const Unsupported& e) { return at(e.path, e.line) + shown(e.setting) + " is not supported"; },
            [](const UnknownSpecifier& e) {
                return at(e.path, e.line) + "unknown specifier %" + shown(std::string(1, e.specifier)) + " in " +
                       e.directive + "=";
            },
            [](const EmptyCommand& e) { return at(e.path, e.line) + e.directive + "= has no command"; },
            [](const Inconsistent& e) { return "unit " + shown(e.name) + " " + e.reason; },
        },
        error);
}

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
char to_upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
char to_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

int hex_value(char c) {
    if (is_digit(c)) return c - '0';
    c = to_lower(c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    return text;
}

template <class List, class Item>
bool contains(const List& list, const Item& item) {
    return std::find(std::begin(list), std::end(list), item) != std::end(list);
}

// ---- Names ------------------------------------------------------------------------------

constexpr std::string_view kSuffix = ".service";

struct Names {
    std::string full;      // wg-quick@wg0.service
    std::string prefix;    // wg-quick
    std::string instance;  // wg0, empty for a plain unit
    bool templated = false;
    std::string template_file() const { return prefix + "@" + std::string(kSuffix); }
};

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

Result<Names, Error> split_name(std::string_view given) {
    std::string name(given);
    if (name.size() > kSuffix.size() && name.ends_with(kSuffix)) {
        name.resize(name.size() - kSuffix.size());
    } else if (size_t dot = name.rfind('.'); dot != std::string::npos) {
        static constexpr std::string_view kTypes[] = {"socket", "target", "timer", "mount", "automount", "swap",
                                                      "path",   "slice",  "scope", "device"};
        if (contains(kTypes, std::string_view(name).substr(dot + 1))) return fail(Error{NotAService{name}});
    }
    auto invalid = [&](const char* reason) { return fail(Error{InvalidName{std::string(given), reason}}); };
    if (name.empty()) return invalid("the name is empty");
    bool valid = name.size() + kSuffix.size() <= 255 && name[0] != '@' &&
                 std::count(name.begin(), name.end(), '@') <= 1 && std::all_of(name.begin(), name.end(), [](char c) {
                     return is_digit(c) || (to_lower(c) >= 'a' && to_lower(c) <= 'z') ||
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
    if (contains(unescape(name), '\0')) return invalid("\"\\x00\" stands for a NUL byte");
    return names;
}

// ---- Words -------------------------------------------------------------------------------

struct Word {
    std::string text;
    bool separator = false;  // an unquoted ";" on its own
};

void append_utf8(std::string& out, uint32_t c) {
    int extra = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
    static constexpr unsigned char kLead[] = {0, 0xC0, 0xE0, 0xF0};
    out += static_cast<char>(kLead[extra] | (c >> (6 * extra)));
    for (int shift = 6 * (extra - 1); shift >= 0; shift -= 6) out += static_cast<char>(0x80 | ((c >> shift) & 0x3F));
}

// The C escape at the start of TEXT (after its backslash) appended to OUT; returns the
// characters it took, or 0 for one that is unknown, incomplete or stands for a NUL byte or a
// surrogate, which the caller keeps as written.
size_t take_escape(std::string_view text, std::string& out) {
    if (text.empty()) return 0;
    static constexpr std::string_view kFrom = "abfnrtv\\\"'s;", kTo = "\a\b\f\n\r\t\v\\\"' ;";
    if (size_t simple = kFrom.find(text[0]); simple != std::string_view::npos) {
        out += kTo[simple];
        return 1;
    }
    auto number = [&](size_t skip, size_t digits, uint32_t base) -> size_t {
        uint32_t value = 0;
        if (text.size() < skip + digits) return 0;
        for (size_t i = skip; i < skip + digits; ++i) {
            int digit = hex_value(text[i]);
            if (digit < 0 || static_cast<uint32_t>(digit) >= base) return 0;
            value = value * base + static_cast<uint32_t>(digit);
        }
        bool surrogate = value >= 0xD800 && value <= 0xDFFF;
        if (value == 0 || value > 0x10FFFF || surrogate || (base == 8 && value > 0377)) return 0;
        if (text[0] == 'u' || text[0] == 'U') {
            append_utf8(out, value);
        } else {
            out += static_cast<char>(value);
        }
        return skip + digits;
    };
    switch (text[0]) {
        case 'x': return number(1, 2, 16);
        case 'u': return number(1, 4, 16);
        case 'U': return number(1, 8, 16);
        case '0': case '1': case '2': case '3': return number(0, 3, 8);
        default: return 0;
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
                if (taken == 0) {
                    word += c;
                    if (i + 1 < text.size()) word += text[++i];
                }
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
    return !name.empty() && !is_digit(name[0]) && std::all_of(name.begin(), name.end(), [](char c) {
        return is_digit(c) || (to_lower(c) >= 'a' && to_lower(c) <= 'z') || c == '_';
    });
}

// ---- Values ------------------------------------------------------------------------------

std::optional<bool> parse_bool(std::string_view text) {
    std::string lower;
    for (char c : text) lower += to_lower(c);
    if (contains(std::initializer_list<std::string_view>{"1", "yes", "y", "true", "t", "on"}, lower)) return true;
    if (contains(std::initializer_list<std::string_view>{"0", "no", "n", "false", "f", "off"}, lower)) return false;
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

// TEXT as a decimal number with an optional fraction ("1", "1.5", ".5") times UNIT, the whole
// part at most MAX_WHOLE; fraction digits past the ninth are dropped.
std::optional<uint64_t> parse_scaled(std::string_view text, uint64_t unit, uint64_t max_whole) {
    size_t dot = text.find('.');
    std::string_view whole = text.substr(0, dot);
    std::string_view fraction = dot == std::string_view::npos ? "" : text.substr(dot + 1);
    if ((whole.empty() && fraction.empty()) || !std::all_of(fraction.begin(), fraction.end(), is_digit)) {
        return std::nullopt;
    }
    auto value = whole.empty() ? std::optional<uint64_t>(0) : vesko::parse_unsigned(whole, max_whole);
    if (!value || *value > (UINT64_MAX - 1) / unit) return std::nullopt;
    unsigned __int128 digits = 0, scale = 1;
    for (char c : fraction.substr(0, 9)) {
        digits = digits * 10 + static_cast<unsigned>(c - '0');
        scale *= 10;
    }
    uint64_t part = static_cast<uint64_t>(digits * unit / scale);
    if (*value * unit > UINT64_MAX - 1 - part) return std::nullopt;
    return *value * unit + part;
}

// A systemd time span: "infinity", or numbers (fractions allowed) each with a unit,
// DEFAULT_UNIT microseconds for a bare one: "90", "5s", "1min 30s", "1.5h", ".5s".
std::optional<uint64_t> parse_span(std::string_view text, uint64_t default_unit) {
    text = trim(text);
    if (text == "infinity") return kInfinity;
    static constexpr uint64_t kSec = 1000000, kMin = 60 * kSec, kHour = 60 * kMin, kDay = 24 * kHour;
    static constexpr uint64_t kMonth = 2629800 * kSec, kYear = 31557600 * kSec;
    static const std::pair<std::string_view, uint64_t> kUnits[] = {
        {"us", 1}, {"usec", 1}, {"\xC2\xB5s", 1}, {"\xCE\xBCs", 1}, {"ms", 1000}, {"msec", 1000},
        {"s", kSec}, {"sec", kSec}, {"second", kSec}, {"seconds", kSec},
        {"m", kMin}, {"min", kMin}, {"minute", kMin}, {"minutes", kMin},
        {"h", kHour}, {"hr", kHour}, {"hour", kHour}, {"hours", kHour},
        {"d", kDay}, {"day", kDay}, {"days", kDay}, {"w", 7 * kDay}, {"week", 7 * kDay}, {"weeks", 7 * kDay},
        {"M", kMonth}, {"month", kMonth}, {"months", kMonth}, {"y", kYear}, {"year", kYear}, {"years", kYear}};
    if (text.empty()) return std::nullopt;
    uint64_t total = 0;
    for (size_t i = 0; i < text.size();) {
        size_t start = i;
        while (i < text.size() && (is_digit(text[i]) || text[i] == '.')) ++i;
        std::string_view number = text.substr(start, i - start);
        while (i < text.size() && is_blank(text[i])) ++i;
        size_t unit_start = i;
        while (i < text.size() && !is_blank(text[i]) && !is_digit(text[i]) && text[i] != '.') ++i;
        std::string_view unit = text.substr(unit_start, i - unit_start);
        uint64_t multiplier = unit.empty() ? default_unit : 0;
        for (const auto& [name, value] : kUnits) if (name == unit) multiplier = value;
        auto part = multiplier == 0 ? std::nullopt : parse_scaled(number, multiplier, UINT32_MAX);
        if (!part || *part > UINT64_MAX / 2 - total) return std::nullopt;
        total += *part;
        while (i < text.size() && is_blank(text[i])) ++i;
    }
    return total;
}

// A signal by number or name, with or without "SIG"; RTMIN+N and RTMAX-N for the real-time ones.
std::optional<int> parse_signal(std::string_view text) {
    if (auto number = vesko::parse_unsigned(text, static_cast<uint64_t>(SIGRTMAX)); number && *number > 0) {
        return static_cast<int>(*number);
    }
    if (text.starts_with("SIG")) text.remove_prefix(3);
    for (int signal = 1; signal < 32; ++signal) {
        const char* name = sigabbrev_np(signal);
        if (name != nullptr && text == name) return signal;
    }
    bool min = text.starts_with("RTMIN");
    if (!min && !text.starts_with("RTMAX")) return std::nullopt;
    std::string_view offset = text.substr(5);
    if (offset.empty()) return min ? SIGRTMIN : SIGRTMAX;
    auto n = vesko::parse_unsigned(offset.substr(1), static_cast<uint64_t>(SIGRTMAX - SIGRTMIN));
    if (!n || offset[0] != (min ? '+' : '-') || offset.substr(1).starts_with('+')) return std::nullopt;
    return min ? SIGRTMIN + static_cast<int>(*n) : SIGRTMAX - static_cast<int>(*n);
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
            // Powers of 1024, fractions allowed: "64K", "1.5G".
            static constexpr std::string_view kSuffixes = "BKMGTPE";
            size_t power = text.empty() ? std::string_view::npos : kSuffixes.find(text.back());
            if (power == std::string_view::npos) {
                power = 0;
            } else {
                text.remove_suffix(1);
            }
            return parse_scaled(text, uint64_t{1} << (10 * power), UINT64_MAX - 1);
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

// Read and refused when set: the service would run in another root, with credentials or an
// environment and a search path taken from the manager, none of which is offered.
constexpr std::string_view kRefused[] = {
    "RootDirectory", "RootImage", "LoadCredential", "LoadCredentialEncrypted", "SetCredential",
    "SetCredentialEncrypted", "ImportCredential", "PassEnvironment", "UnsetEnvironment", "ExecSearchPath",
};

// ---- Applying assignments ----------------------------------------------------------------

// One KEY=VALUE as read, with where it was written.
struct Assignment {
    std::string_view section;
    std::string key, value;
    const std::string* path;
    size_t line;
};

struct State {
    Unit& unit;
    std::vector<std::pair<char, std::string>> specifiers;
    std::optional<Type> type;
    bool bus_name = false;
    size_t assignments = 0;
    size_t budget = kMaxSize;  // what the record's values may still take
    // What makes the unit refused, by directive; a later assignment may take one back.
    std::vector<std::pair<std::string, Error>> refusals;
};

// The specifiers that a system manager's unit NAMES has.
std::vector<std::pair<char, std::string>> specifiers(const Names& names, const std::string& host_name) {
    std::string_view last = names.prefix;
    last.remove_prefix(last.rfind('-') == std::string_view::npos ? 0 : last.rfind('-') + 1);
    std::string file = unescape(names.templated ? names.instance : names.prefix);  // %f: dev-sda1 is /dev/sda1
    if (!file.starts_with('/')) file.insert(0, "/");
    return {{'n', names.full}, {'N', names.full.substr(0, names.full.size() - kSuffix.size())},
            {'p', names.prefix}, {'P', unescape(names.prefix)}, {'i', names.instance},
            {'I', unescape(names.instance)}, {'j', std::string(last)}, {'J', unescape(last)},
            {'f', file}, {'H', host_name}, {'t', "/run"}, {'S', "/var/lib"}, {'C', "/var/cache"}, {'L', "/var/log"},
            {'E', "/etc"}, {'T', "/tmp"}, {'V', "/var/tmp"}, {'u', "root"}, {'g', "root"}, {'U', "0"},
            {'G', "0"}, {'h', "/root"}, {'s', "/bin/sh"}, {'%', "%"}};
}

Error invalid(const Assignment& a, const char* reason) {
    return InvalidValue{*a.path, a.line, a.key, a.value, reason};
}

// Takes BYTES of a value kept in the record out of the budget.
Result<void, Error> charge(State& state, const Assignment& a, size_t bytes) {
    if (bytes + kValueOverhead > state.budget) return fail(Error{LargeRecord{*a.path, a.line}});
    state.budget -= bytes + kValueOverhead;
    return {};
}

// TEXT with its %-specifiers expanded; a "%" at the end stays as it is.
Result<std::string, Error> expand(State& state, const Assignment& a, std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        char c = text[++i];
        auto found = std::find_if(state.specifiers.begin(), state.specifiers.end(),
                                  [&](const auto& specifier) { return specifier.first == c; });
        if (found == state.specifiers.end()) return fail(Error{UnknownSpecifier{*a.path, a.line, a.key, c}});
        if (out.size() + found->second.size() > state.budget) return fail(Error{LargeRecord{*a.path, a.line}});
        out += found->second;
    }
    auto charged = charge(state, a, out.size());
    if (!charged) return fail(std::move(charged.error()));
    return out;
}

// The words of the value, unquoted and with specifiers expanded.
Result<std::vector<std::string>, Error> expanded_words(State& state, const Assignment& a) {
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

Result<Command, Error> parse_command(State& state, const Assignment& a, const std::vector<Word>& words) {
    Command command;
    std::string_view first = words[0].text;
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
    if (n == first.size() || words.size() <= argv_from) return fail(Error{EmptyCommand{*a.path, a.line, a.key}});
    auto path = expand(state, a, first.substr(n));
    if (!path) return fail(std::move(path.error()));
    command.path = std::move(*path);
    if (command.path.empty()) return fail(Error{EmptyCommand{*a.path, a.line, a.key}});
    if (command.path[0] != '/' && command.path.find('/') != std::string::npos) {
        return fail(invalid(a, "the program is neither an absolute path nor a file name"));
    }
    if (!command.separate_argv0) command.argv.push_back(command.path);
    for (size_t i = 1; i < words.size(); ++i) {
        auto word = expand(state, a, words[i].text);
        if (!word) return fail(std::move(word.error()));
        command.argv.push_back(std::move(*word));
    }
    return command;
}

const std::pair<std::string_view, std::vector<Command> Unit::*> kCommands[] = {
    {"ExecCondition", &Unit::exec_condition}, {"ExecStartPre", &Unit::exec_start_pre},
    {"ExecStart", &Unit::exec_start},         {"ExecStartPost", &Unit::exec_start_post},
    {"ExecReload", &Unit::exec_reload},       {"ExecStop", &Unit::exec_stop},
    {"ExecStopPost", &Unit::exec_stop_post}};

struct WordList {
    std::string_view section, key;
    std::vector<std::string> Unit::*list;
};

const WordList kWordLists[] = {
    {"Unit", "After", &Unit::after},         {"Unit", "Before", &Unit::before},
    {"Unit", "Requires", &Unit::requires_},  {"Unit", "Wants", &Unit::wants},
    {"Unit", "BindsTo", &Unit::binds_to},    {"Unit", "Requisite", &Unit::requisite},
    {"Unit", "PartOf", &Unit::part_of},      {"Unit", "Conflicts", &Unit::conflicts},
    {"Install", "WantedBy", &Unit::wanted_by}, {"Install", "RequiredBy", &Unit::required_by},
    {"Install", "Alias", &Unit::alias},      {"Install", "Also", &Unit::also},
    {"Service", "SupplementaryGroups", &Unit::supplementary_groups}};

constexpr std::string_view kDirectoryNames[kDirectoryKinds] = {
    "RuntimeDirectory", "StateDirectory", "CacheDirectory", "LogsDirectory", "ConfigurationDirectory"};

constexpr std::string_view kConditionNames[] = {"PathExists",        "PathIsDirectory",  "FileNotEmpty",
                                                "DirectoryNotEmpty", "FileIsExecutable", "PathExistsGlob"};

// A name below a directory kind's base: relative, every component a name other than "." and "..".
bool is_directory_name(std::string_view name) {
    if (name.empty() || contains(name, ':')) return false;
    for (size_t start = 0; start <= name.size();) {
        size_t end = std::min(name.find('/', start), name.size());
        std::string_view part = name.substr(start, end - start);
        if (part.empty() || part == "." || part == "..") return false;
        start = end + 1;
    }
    return true;
}

// An empty value puts a single-valued setting back to unset.
template <class T>
bool cleared(const Assignment& a, std::optional<T>& field) {
    if (a.value.empty()) field.reset();
    return a.value.empty();
}

// The enumerator whose index is that of the value among NAMES.
template <class T>
Result<void, Error> set_named(std::optional<T>& field, const Assignment& a,
                              std::initializer_list<std::string_view> names) {
    if (cleared(a, field)) return {};
    auto found = std::find(names.begin(), names.end(), a.value);
    if (found == names.end()) return fail(invalid(a, "not one of the words this setting takes"));
    field = static_cast<T>(found - names.begin());
    return {};
}

template <class T, class Parse>
Result<void, Error> set_parsed(std::optional<T>& field, const Assignment& a, Parse parse, const char* reason) {
    if (cleared(a, field)) return {};
    auto value = parse(a.value);
    if (!value) return fail(invalid(a, reason));
    field = static_cast<T>(*value);
    return {};
}

Result<void, Error> set_text(State& state, const Assignment& a, std::optional<std::string>& field) {
    if (cleared(a, field)) return {};
    auto text = expand(state, a, a.value);
    if (!text) return fail(std::move(text.error()));
    field = std::move(*text);
    return {};
}

// An absolute path after an optional "-" prefix, with specifiers expanded.
Result<std::string, Error> optional_path(State& state, const Assignment& a, bool& missing_ok) {
    missing_ok = a.value.starts_with('-');
    auto path = expand(state, a, std::string_view(a.value).substr(missing_ok ? 1 : 0));
    if (path && !path->starts_with('/')) return fail(invalid(a, "not an absolute path"));
    return path;
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
        auto charged = charge(state, a, a.key.size() + a.value.size());
        if (charged) u.unsupported_conditions.push_back(a.key + "=" + a.value);
        return charged;
    }
    Condition condition{static_cast<ConditionKind>(kind - std::begin(kConditionNames)), assert_, false, false, ""};
    std::string_view text = a.value;
    for (auto [mark, flag] : {std::pair{'|', &condition.trigger}, std::pair{'!', &condition.negate}}) {
        *flag = text.starts_with(mark);
        if (*flag) text = trim(text.substr(1));
    }
    auto path = expand(state, a, text);
    if (!path) return fail(std::move(path.error()));
    if (!path->starts_with('/')) return fail(invalid(a, "not an absolute path"));
    condition.path = std::move(*path);
    u.conditions.push_back(std::move(condition));
    return {};
}

// A refusal waits for the end of the files, as a later assignment may take it back.
Result<void, Error> refuse(State& state, const Assignment& a, Error error) {
    state.refusals.emplace_back(a.key, std::move(error));
    return {};
}

void note(std::vector<std::string>& list, std::string entry) {
    if (!contains(list, entry)) list.push_back(std::move(entry));
}

Result<void, Error> apply_command(State& state, const Assignment& a, std::vector<Command>& list) {
    if (a.value.empty()) {
        list.clear();
        return {};
    }
    auto words = split_words(a.value);
    if (!words) return fail(invalid(a, words.error()));
    if (std::any_of(words->begin(), words->end(), [](const Word& word) { return word.separator; })) {
        return refuse(state, a, Unsupported{*a.path, a.line, a.key + "= with several commands separated by \";\""});
    }
    auto command = parse_command(state, a, *words);
    if (!command) return fail(std::move(command.error()));
    list.push_back(std::move(*command));
    return {};
}

// The directives of [Service] that are honoured; false for any other.
Result<bool, Error> apply_service(State& state, const Assignment& a) {
    Unit& u = state.unit;
    const std::string& key = a.key;
    Result<void, Error> set;
    auto span = [&](std::optional<uint64_t>& field, bool zero_is_infinity) {
        auto parsed = set_parsed(field, a, [](std::string_view text) { return parse_span(text, 1000000); },
                                 "not a time span");
        if (zero_is_infinity && field == uint64_t{0}) field = kInfinity;
        return parsed;
    };
    if (key == "Type" && a.value == "notify-reload") {
        set = refuse(state, a, Unsupported{*a.path, a.line, "Type=notify-reload"});
    } else if (key == "Type") {
        set = set_named(state.type, a, {"simple", "exec", "forking", "oneshot", "notify", "dbus", "idle"});
        // Type=idle only delays the start until the other jobs are done: it runs as simple.
        if (state.type == Type{6}) state.type = Type::Simple;
    } else if (key == "PIDFile") {
        set = set_text(state, a, u.pid_file);
        if (set && u.pid_file && !u.pid_file->starts_with('/')) u.pid_file = "/run/" + *u.pid_file;
    } else if (key == "RemainAfterExit" || key == "DynamicUser") {
        set = set_parsed(key == "DynamicUser" ? u.dynamic_user : u.remain_after_exit, a, parse_bool, "not a boolean");
    } else if (key == "NotifyAccess") {
        set = set_named(u.notify_access, a, {"none", "main", "exec", "all"});
    } else if (key == "Restart") {
        set = set_named(u.restart, a,
                        {"no", "on-success", "on-failure", "on-abnormal", "on-watchdog", "on-abort", "always"});
    } else if (key == "RestartSec") {
        set = span(u.restart_sec, false);
    } else if (key == "TimeoutStartSec" || key == "TimeoutSec") {
        set = span(u.timeout_start_sec, true);
        if (key == "TimeoutSec") u.timeout_stop_sec = u.timeout_start_sec;
    } else if (key == "TimeoutStopSec") {
        set = span(u.timeout_stop_sec, true);
    } else if (key == "KillMode") {
        set = set_named(u.kill_mode, a, {"control-group", "mixed", "process", "none"});
    } else if (key == "KillSignal") {
        set = set_parsed(u.kill_signal, a, parse_signal, "not a signal");
    } else if (key == "SuccessExitStatus") {
        if (a.value.empty()) {
            u.success_exit_statuses.clear();
            u.success_signals.clear();
        }
        for (std::string_view word : vesko::split_fields(a.value)) {
            if (set = charge(state, a, 0); !set) break;
            // The names of sysexits.h, from 64 on.
            static constexpr std::string_view kExits[] = {"USAGE",    "DATAERR", "NOINPUT",  "NOUSER",    "NOHOST",
                                                          "UNAVAILABLE", "SOFTWARE", "OSERR", "OSFILE", "CANTCREAT",
                                                          "IOERR",    "TEMPFAIL", "PROTOCOL", "NOPERM", "CONFIG"};
            if (const auto* name = std::find(std::begin(kExits), std::end(kExits), word); name != std::end(kExits)) {
                u.success_exit_statuses.push_back(64 + static_cast<int>(name - std::begin(kExits)));
            } else if (auto status = vesko::parse_unsigned(word, 255)) {
                u.success_exit_statuses.push_back(static_cast<int>(*status));
            } else if (auto signal = parse_signal(word)) {
                u.success_signals.push_back(*signal);
            } else {
                return fail(invalid(a, "not an exit status or a signal"));
            }
        }
    } else if (key == "User" || key == "Group") {
        set = set_text(state, a, key == "User" ? u.user : u.group);
    } else if (key == "Environment") {
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
    } else if (key == "EnvironmentFile") {
        if (a.value.empty()) {
            u.environment_files.clear();
            return true;
        }
        EnvironmentFile file;
        auto path = optional_path(state, a, file.missing_ok);
        if (!path) return fail(std::move(path.error()));
        file.path = std::move(*path);
        u.environment_files.push_back(std::move(file));
    } else if (key == "WorkingDirectory") {
        if (cleared(a, u.working_directory)) return true;
        WorkingDirectory directory{"", false, a.value == "~" || a.value == "-~"};
        directory.missing_ok = a.value.starts_with('-');
        if (!directory.home) {
            auto path = optional_path(state, a, directory.missing_ok);
            if (!path) return fail(std::move(path.error()));
            directory.path = std::move(*path);
        }
        u.working_directory = std::move(directory);
    } else if (key == "UMask") {
        set = set_parsed(u.umask, a, [](std::string_view text) { return parse_octal(text, 0777); },
                         "not an octal mode");
    } else if (key == "AmbientCapabilities" && a.value.starts_with('~')) {
        set = refuse(state, a, Unsupported{*a.path, a.line, "AmbientCapabilities= with ~ (all but those named)"});
    } else if (key == "AmbientCapabilities") {
        if (a.value.empty()) u.ambient_capabilities.clear();
        for (std::string_view word : vesko::split_fields(a.value)) {
            std::string name;
            for (char c : word) name += to_upper(c);
            auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || c == '_'; };
            if (name.size() <= 4 || !name.starts_with("CAP_") || !std::all_of(name.begin(), name.end(), letter)) {
                return fail(invalid(a, "not a capability name"));
            }
            if (set = charge(state, a, name.size()); !set) break;
            u.ambient_capabilities.push_back(std::move(name));
        }
    } else if (auto kind = std::find_if(std::begin(kDirectoryNames), std::end(kDirectoryNames),
                                        [&](std::string_view name) { return key.starts_with(name); });
               kind != std::end(kDirectoryNames) && (key == *kind || key == std::string(*kind) + "Mode")) {
        Directories& directories = u.directories[kind - std::begin(kDirectoryNames)];
        if (key != *kind) {
            set = set_parsed(directories.mode, a, [](std::string_view text) { return parse_octal(text, 07777); },
                             "not an octal mode");
        } else {
            if (a.value.empty()) directories.names.clear();
            auto words = expanded_words(state, a);
            if (!words) return fail(std::move(words.error()));
            for (std::string& name : *words) {
                if (!is_directory_name(name)) return fail(invalid(a, "not a relative path below the directory"));
                directories.names.push_back(std::move(name));
            }
        }
    } else if (auto limit = std::find_if(std::begin(kLimits), std::end(kLimits),
                                         [&](const LimitDirective& l) { return key == l.name; });
               limit != std::end(kLimits)) {
        auto found = std::find_if(u.limits.begin(), u.limits.end(), [&](const Limit& l) { return l.name == key; });
        if (a.value.empty()) {
            if (found != u.limits.end()) u.limits.erase(found);
            return true;
        }
        size_t colon = a.value.find(':');
        std::string_view value = a.value;
        auto soft = parse_limit_value(value.substr(0, colon), limit->kind);
        auto hard = colon == std::string::npos ? soft : parse_limit_value(value.substr(colon + 1), limit->kind);
        if (!soft || !hard) return fail(invalid(a, "not a limit (VALUE or SOFT:HARD, or infinity)"));
        if (*soft > *hard) return fail(invalid(a, "the soft limit is above the hard one"));
        if (found == u.limits.end()) found = u.limits.insert(u.limits.end(), Limit{key, limit->resource, 0, 0});
        found->soft = *soft;
        found->hard = *hard;
    } else {
        if (key == "BusName") state.bus_name = !a.value.empty();
        return false;
    }
    if (!set) return fail(std::move(set.error()));
    return true;
}

// The setting that asks for socket activation, in whichever section it stands.
std::optional<std::string> socket_setting(const Assignment& a) {
    if (a.value.empty()) return std::nullopt;
    if (a.key == "Sockets" || a.key == "Accept" || a.key.starts_with("Listen")) return a.key + "=";
    bool standard = a.key == "StandardInput" || a.key == "StandardOutput" || a.key == "StandardError";
    if (standard && (a.value == "socket" || a.value.starts_with("fd"))) return a.key + "=" + a.value;
    // A socket unit beside the service that is an alternative to it (ssh.socket) is not asked for.
    // Nor is syslog.socket, the journal's forwarding socket that rsyslog's unit requires: without
    // a journal a syslog daemon opens /dev/log itself.
    bool needed = a.section == "Unit" && (a.key == "Requires" || a.key == "BindsTo" || a.key == "Requisite");
    for (std::string_view word : needed ? vesko::split_fields(a.value) : std::vector<std::string_view>{}) {
        if (word.ends_with(".socket") && word != "syslog.socket") return a.key + "=" + std::string(word);
    }
    return std::nullopt;
}

Result<void, Error> apply(State& state, const Assignment& a) {
    Unit& u = state.unit;
    // An empty value, or another value of a single-valued setting, takes back the refusal of an
    // earlier one; the dependencies of [Unit] only ever grow.
    bool single = contains(std::initializer_list<std::string_view>{"Type", "StandardInput", "RootDirectory",
                                                                   "RootImage", "ExecSearchPath"},
                           a.key);
    if ((a.value.empty() && a.section != "Unit") || single) {
        std::erase_if(state.refusals, [&](const auto& refusal) { return refusal.first == a.key; });
    }
    if (auto setting = socket_setting(a)) return refuse(state, a, SocketActivation{*a.path, a.line, *setting});
    if (a.section == "Service" && !a.value.empty() && contains(kRefused, a.key)) {
        return refuse(state, a, Unsupported{*a.path, a.line, a.key + "="});
    }
    if (a.section == "Service" && a.key == "StandardInput" && !a.value.empty() && a.value != "null") {
        return refuse(state, a, Unsupported{*a.path, a.line, a.key + "=" + a.value});
    }
    for (const auto& [key, list] : kCommands) {
        if (a.section == "Service" && a.key == key) return apply_command(state, a, u.*list);
    }
    for (const WordList& field : kWordLists) {
        if (a.section != field.section || a.key != field.key) continue;
        // Unit names keep their escapes (dev-disk-by\x2dlabel-x.device).
        std::vector<std::string>& list = u.*field.list;
        if (a.value.empty() && a.section != "Unit") list.clear();
        for (std::string_view word : vesko::split_fields(a.value)) {
            auto name = expand(state, a, word);
            if (!name) return fail(std::move(name.error()));
            list.push_back(std::move(*name));
        }
        return {};
    }
    if (a.section == "Unit" && a.key == "Description") {
        // A specifier not known here drops only this setting, which is only ever shown.
        auto set = set_text(state, a, u.description);
        if (set || !std::holds_alternative<UnknownSpecifier>(set.error())) return set;
        note(u.ignored, a.key);
        return {};
    }
    if (a.section == "Unit" && (a.key.starts_with("Condition") || a.key.starts_with("Assert"))) {
        return apply_condition(state, a);
    }
    if (a.section == "Install" && a.key == "DefaultInstance") return set_text(state, a, u.default_instance);
    if (a.section == "Service") {
        auto applied = apply_service(state, a);
        if (!applied) return fail(std::move(applied.error()));
        if (*applied) return {};
    }
    bool ignored = contains(std::initializer_list<std::string_view>{"Unit", "Service", "Install"}, a.section) &&
                   contains(kIgnored, a.key);
    note(ignored ? u.ignored : u.unknown, ignored ? a.key : "[" + std::string(a.section) + "] " + a.key);
    return {};
}

// ---- Lines -------------------------------------------------------------------------------

bool is_comment(std::string_view line) {
    line = trim(line);
    return !line.empty() && (line[0] == '#' || line[0] == ';');
}

// Whether LINE ends in a backslash that is not itself escaped.
bool continues(std::string_view line) {
    size_t backslashes = 0;
    while (backslashes < line.size() && line[line.size() - 1 - backslashes] == '\\') ++backslashes;
    return backslashes % 2 == 1;
}

Result<void, Error> take_line(std::string_view text, std::string& section, const Source& source, size_t line,
                              State& state) {
    text = trim(text);
    if (text.empty() || is_comment(text)) return {};
    if (++state.assignments > kMaxAssignments) return fail(Error{TooManyAssignments{source.path, line}});
    if (text[0] == '[') {
        if (text.size() < 3 || text.back() != ']') {
            return fail(Error{Syntax{source.path, line, "a section header without its closing \"]\""}});
        }
        section = text.substr(1, text.size() - 2);
        return {};
    }
    if (section.empty()) return fail(Error{Syntax{source.path, line, "an assignment before the first section"}});
    size_t equals = text.find('=');
    std::string_view key = trim(text.substr(0, equals));
    // A line that is not KEY=VALUE is passed over, as systemd does with a warning, and named.
    if (equals == std::string_view::npos || key.empty()) {
        note(state.unit.unknown, "[" + section + "] " + std::string(text));
        return {};
    }
    return apply(state, Assignment{section, std::string(key), std::string(trim(text.substr(equals + 1))),
                                   &source.path, line});
}

// Applies the assignments of SOURCE in order. A backslash at the end of a line joins the next
// line with a blank in its place; comment lines within such a run are passed over.
Result<void, Error> read_lines(const Source& source, State& state) {
    std::string_view text = source.text;
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    std::string section, logical;
    size_t number = 0, first = 0;
    bool continuing = false;
    while (!text.empty()) {
        size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        if (line.ends_with('\r')) line.remove_suffix(1);
        ++number;
        if (line.size() > kMaxLineLength) return fail(Error{LongLine{source.path, number}});
        if (continuing && is_comment(line)) continue;
        if (!continuing) {
            logical.clear();
            first = number;
        }
        if (logical.size() + line.size() > kMaxLineLength) return fail(Error{LongLine{source.path, first}});
        continuing = continues(line) && !(first == number && is_comment(line));
        logical += line;
        if (continuing) {
            logical.back() = ' ';
            continue;
        }
        auto taken = take_line(logical, section, source, first, state);
        if (!taken) return taken;
    }
    if (continuing) return take_line(logical, section, source, first, state);
    return {};
}

// ---- Files -------------------------------------------------------------------------------

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

// The drop-ins (*.conf) named in DIRECTORY; none when it does not exist or is not a directory.
Result<std::vector<std::string>, Error> drop_in_names(const std::string& directory) {
    auto opened = vesko::open_fd(directory, O_RDONLY | O_DIRECTORY);
    if (!opened) {
        if (opened.error().code == ENOENT || opened.error().code == ENOTDIR) return std::vector<std::string>();
        return fail(Error{ReadFile{directory, opened.error()}});
    }
    std::unique_ptr<DIR, DirCloser> dir(fdopendir(opened->get()));
    if (!dir) return fail(Error{ReadFile{directory, vesko::last_os_error()}});
    opened->release();
    std::vector<std::string> names;
    for (size_t entries = 0;; ++entries) {
        if (entries > kMaxDirectoryEntries + 2) return fail(Error{LargeDirectory{directory}});
        errno = 0;
        const dirent* entry = readdir(dir.get());
        if (entry == nullptr) {
            if (errno == 0) return names;
            return fail(Error{ReadFile{directory, vesko::last_os_error()}});
        }
        std::string_view name = entry->d_name;
        if (name.size() > 5 && name.ends_with(".conf")) names.emplace_back(name);
    }
}

enum class Entry { Missing, Masked, Present };

// Whether PATH exists, links followed, and whether it masks: /dev/null or an empty file.
Result<Entry, Error> inspect(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return Entry::Missing;
        return fail(Error{ReadFile{path, vesko::last_os_error()}});
    }
    bool null_device = S_ISCHR(info.st_mode) && info.st_rdev == makedev(1, 3);
    return null_device || (S_ISREG(info.st_mode) && info.st_size == 0) ? Entry::Masked : Entry::Present;
}

// The file at PATH, taking its size out of BUDGET. It is looked at before it is opened, as
// opening a device can act on it (a watchdog starts counting).
Result<Source, Error> read_source(const std::string& path, size_t& budget) {
    auto error = [&](vesko::OsError os) { return fail(Error{ReadFile{path, os}}); };
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return error(vesko::last_os_error());
    if (!S_ISREG(info.st_mode)) return error(vesko::fixed_error("not a regular file"));
    if (static_cast<uint64_t>(info.st_size) > budget) return fail(Error{TooLarge{path}});
    auto opened = vesko::open_fd(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (!opened) return error(opened.error());
    if (vesko::file_id(opened->get()) != vesko::FileId{info.st_dev, info.st_ino}) {
        return error(vesko::fixed_error("the file changed before it was opened"));
    }
    auto text = vesko::read_all(opened->get(), budget);
    if (!text) return error(text.error());
    if (text->size() > budget) return fail(Error{TooLarge{path}});
    if (!vesko::is_utf8(*text)) return error(vesko::fixed_error(vesko::kInvalidUtf8Text));
    budget -= text->size();
    return Source{path, std::move(*text)};
}

// The unit file of NAMES: the instance's own file in any directory before its template's.
Result<std::string, Error> find_file(const Names& names, const Search& search) {
    std::vector<std::string> candidates = {names.full};
    if (names.templated) candidates.push_back(names.template_file());
    for (const std::string& candidate : candidates) {
        for (const std::string& directory : search.directories) {
            std::string path = vesko::path_join(directory, candidate);
            auto entry = inspect(path);
            if (!entry) return fail(std::move(entry.error()));
            if (*entry == Entry::Masked) return fail(Error{Masked{names.full, path}});
            if (*entry == Entry::Present) return path;
        }
    }
    return fail(Error{NotFound{names.full, search.directories}});
}

// The name of the unit whose file PATH, a file of NAMES, links to under another name: NAMES
// is then an alias of that unit (sshd.service of ssh.service). A template's alias names the
// same instance of the other template.
std::optional<std::string> alias_target(const std::string& path, const Names& names) {
    std::unique_ptr<char, decltype(&free)> real(realpath(path.c_str(), nullptr), &free);
    if (!real) return std::nullopt;
    std::string_view target = real.get(), own = path;
    target.remove_prefix(target.rfind('/') + 1);
    own.remove_prefix(own.rfind('/') + 1);
    if (target == own || !target.ends_with(kSuffix)) return std::nullopt;
    std::string name(target.substr(0, target.size() - kSuffix.size()));
    if (names.templated && name.ends_with('@')) name += names.instance;
    return name + std::string(kSuffix);
}

// The drop-in directories of NAMES, in the order in which one hides a file name in the later
// ones of the same unit directory: the name's, the template's, then those of the prefix cut
// after each dash, longest first (wg-.service.d for wg-quick@wg0.service).
void add_drop_in_directories(const Names& names, std::vector<std::string>& directories) {
    auto add = [&](std::string directory) {
        if (!contains(directories, directory)) directories.push_back(std::move(directory));
    };
    add(names.full + ".d");
    if (names.templated) add(names.template_file() + ".d");
    const std::string& prefix = names.prefix;
    for (size_t dash = prefix.rfind('-'); dash != std::string::npos && dash > 0; dash = prefix.rfind('-', dash - 1)) {
        add(prefix.substr(0, dash + 1) + std::string(kSuffix) + ".d");
    }
}

Result<Unit, Error> load_unit(std::string_view given, const Search& search) {
    auto split = split_name(given);
    if (!split) return fail(std::move(split.error()));
    Names names = std::move(*split);
    std::vector<Names> aliases;
    std::string found;
    for (;;) {
        auto file = find_file(names, search);
        if (!file) return fail(std::move(file.error()));
        found = std::move(*file);
        // A chain of aliases is followed a few steps at most.
        auto target = aliases.size() < 8 ? alias_target(found, names) : std::nullopt;
        if (!target) break;
        auto next = split_name(*target);
        if (!next) return fail(std::move(next.error()));
        aliases.push_back(std::exchange(names, std::move(*next)));
    }
    // The unit's own drop-ins, its aliases', then those for every service.
    std::vector<std::string> drop_in_directories;
    add_drop_in_directories(names, drop_in_directories);
    for (const Names& alias : aliases) add_drop_in_directories(alias, drop_in_directories);
    drop_in_directories.push_back("service.d");
    // Drop-ins by file name: the first unit directory that has a name hides it in the others.
    std::map<std::string, std::optional<std::string>> drop_in_paths;
    for (const std::string& directory : search.directories) {
        for (const std::string& drop_in_directory : drop_in_directories) {
            std::string full_directory = vesko::path_join(directory, drop_in_directory);
            auto entries = drop_in_names(full_directory);
            if (!entries) return fail(std::move(entries.error()));
            for (const std::string& entry_name : *entries) {
                if (drop_in_paths.count(entry_name) != 0) continue;
                std::string path = vesko::path_join(full_directory, entry_name);
                auto entry = inspect(path);
                if (!entry) return fail(std::move(entry.error()));
                if (*entry == Entry::Missing) continue;
                drop_in_paths[entry_name] = *entry == Entry::Masked ? std::nullopt : std::optional(path);
                if (drop_in_paths.size() > kMaxDropIns) return fail(Error{TooManyDropIns{names.full}});
            }
        }
    }
    size_t budget = kMaxSize;
    auto file = read_source(found, budget);
    if (!file) return fail(std::move(file.error()));
    std::vector<Source> drop_ins;
    for (const auto& [entry_name, path] : drop_in_paths) {
        if (!path) continue;
        auto source = read_source(*path, budget);
        if (!source) return fail(std::move(source.error()));
        drop_ins.push_back(std::move(*source));
    }
    std::string host_name;
    if (search.host_name) {
        host_name = *search.host_name;
    } else if (struct utsname system; uname(&system) == 0) {
        host_name = system.nodename;
    }
    return parse(names.full, *file, drop_ins, host_name);
}

Result<Unit, Error> parse_unit(const std::string& name, const Source& file, const std::vector<Source>& drop_ins,
                               const std::string& host_name) {
    auto names = split_name(name);
    if (!names) return fail(std::move(names.error()));
    Unit unit;
    unit.name = names->full;
    unit.path = file.path;
    for (const Source& drop_in : drop_ins) unit.drop_ins.push_back(drop_in.path);
    State state{unit, specifiers(*names, host_name), std::nullopt, false, 0, kMaxSize, {}};
    auto read = read_lines(file, state);
    for (size_t i = 0; read && i < drop_ins.size(); ++i) read = read_lines(drop_ins[i], state);
    if (!read) return fail(std::move(read.error()));
    if (!state.refusals.empty()) return fail(std::move(state.refusals.front().second));
    unit.type = state.type          ? *state.type
                : state.bus_name          ? Type::Dbus
                : unit.exec_start.empty() ? Type::Oneshot
                                          : Type::Simple;
    // What systemd refuses as well.
    bool oneshot = unit.type == Type::Oneshot;
    const char* inconsistent = nullptr;
    if (unit.exec_start.empty() && unit.exec_stop.empty()) {
        inconsistent = "has neither an ExecStart= nor an ExecStop= command";
    } else if (unit.exec_start.empty() && (!oneshot || !unit.remain_after_exit.value_or(false))) {
        inconsistent = "has no ExecStart= command, which only Type=oneshot with RemainAfterExit=yes allows";
    } else if (unit.exec_start.size() > 1 && !oneshot) {
        inconsistent = "has several ExecStart= commands, which only Type=oneshot allows";
    } else if (oneshot && (unit.restart == Restart::Always || unit.restart == Restart::OnSuccess)) {
        inconsistent = "has Restart=always or Restart=on-success, which Type=oneshot does not allow";
    } else if (unit.type == Type::Dbus && !state.bus_name) {
        inconsistent = "has Type=dbus without a BusName=";
    }
    if (inconsistent != nullptr) return fail(Error{Inconsistent{unit.name, inconsistent}});
    return unit;
}

}  // namespace

Result<Unit, Error> parse(const std::string& name, const Source& file, const std::vector<Source>& drop_ins,
                          const std::string& host_name) {
    // Running out of memory is an error of this unit, never an exception for the caller.
    try {
        return parse_unit(name, file, drop_ins, host_name);
    } catch (const std::bad_alloc&) {
        return fail(Error{ReadFile{file.path, vesko::OsError{ENOMEM}}});
    }
}

Result<Unit, Error> load(std::string_view name, const Search& search) {
    try {
        return load_unit(name, search);
    } catch (const std::bad_alloc&) {
        return fail(Error{ReadFile{std::string(name), vesko::OsError{ENOMEM}}});
    }
}

}  // namespace unit
