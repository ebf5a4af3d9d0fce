#include "service.hpp"

#include <dirent.h>
#include <fcntl.h>
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
using vesko::lossy;
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

std::string Error::display() const {
    switch (kind) {
        case Kind::ReadDirectory:
            return "cannot read " + lossy(path) + ": " + os.display();
        case Kind::ReadEntry:
            return "cannot read an entry in " + lossy(path) + ": " + os.display();
        case Kind::InspectEntry:
            return "cannot inspect " + lossy(path) + ": " + os.display();
        case Kind::ReadFile:
            return "cannot read " + lossy(path) + ": " + os.display();
        case Kind::Parse:
            return "cannot parse " + lossy(path) + ": " + detail;
        case Kind::InvalidFileName:
            return "invalid service filename " + lossy(path) + ": " + detail;
        case Kind::DuplicateService:
            return "service " + quoted(name) + " is defined by both " + lossy(other) + " and " +
                   lossy(path);
        case Kind::InvalidCommand:
            return "invalid command in " + lossy(path) + ": " + detail;
        case Kind::SelfDependency:
            return "service " + quoted(name) + " requires itself in " + lossy(path);
        case Kind::DuplicateDependency:
            return "service " + quoted(name) + " requires " + quoted(other) + " more than once in " +
                   lossy(path);
        case Kind::UnknownDependency:
            return "service " + quoted(name) + " requires unknown service " + quoted(other) + " in " +
                   lossy(path);
        case Kind::DependencyCycle:
            return "dependency cycle involving: " + detail;
        case Kind::NoFallbackConsole:
            return "no service files were found and no fallback console command exists; tried " +
                   detail;
    }
    return {};
}

bool is_valid_service_name(std::string_view name) {
    if (name.empty() || name[0] < 'a' || name[0] > 'z') return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
    });
}

namespace {

// ---- Parsing one file -------------------------------------------------------------------

const char* const kKeys = "\"description\", \"command\", \"requires\", \"restart\"";
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

}  // namespace

Result<RawService, std::string> parse_service(std::string_view text) {
    toml::parse_result parsed = toml::parse(text);
    if (!parsed) {
        const toml::parse_error& error = parsed.error();
        return fail(at(error.source()) + std::string(error.description()));
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
        } else {
            return fail(at(key.source()) + "unknown key " + quoted(name) +
                        " in struct RawService, expected one of " + kKeys);
        }
    }
    if (!have_command) return fail(std::string("missing key \"command\" in struct RawService"));
    return raw;
}

Result<std::vector<std::string>, std::vector<std::string>> compute_start_order(
    const std::map<std::string, Service>& services) {
    std::map<std::string_view, size_t> pending;
    std::map<std::string_view, std::vector<std::string_view>> dependents;
    for (const auto& [name, service] : services) {
        pending[name] = service.requires_.size();
        for (const std::string& required : service.requires_) dependents[required].push_back(name);
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

Error error(Error::Kind kind, std::string path) {
    Error e{kind, std::move(path), {}, {}, {}, {}};
    return e;
}

bool has_toml_extension(std::string_view file_name) {
    size_t dot = file_name.rfind('.');
    return dot != std::string_view::npos && dot > 0 && file_name.substr(dot + 1) == "toml";
}

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

// The names of the service files of DIRECTORY, or the failure; ENOENT when it is missing
// is reported as a ReadDirectory error whose os code the caller checks.
Result<std::vector<std::string>, Error> list_service_files(const std::string& directory) {
    auto fd = vesko::open_fd(directory, O_RDONLY | O_DIRECTORY);
    if (!fd) {
        Error e = error(Error::Kind::ReadDirectory, directory);
        e.os = fd.error();
        return fail(std::move(e));
    }
    std::unique_ptr<DIR, DirCloser> dir(fdopendir(fd->get()));
    if (!dir) {
        Error e = error(Error::Kind::ReadDirectory, directory);
        e.os = vesko::last_os_error();
        return fail(std::move(e));
    }
    fd->release();  // now owned by the directory stream
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir.get());
        if (entry == nullptr) {
            if (errno == 0) break;
            Error e = error(Error::Kind::ReadEntry, directory);
            e.os = vesko::last_os_error();
            return fail(std::move(e));
        }
        std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        bool regular;
        if (entry->d_type != DT_UNKNOWN) {
            regular = entry->d_type == DT_REG;
        } else {
            struct stat info;
            if (fstatat(dirfd(dir.get()), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
                Error e = error(Error::Kind::InspectEntry, vesko::path_join(directory, name));
                e.os = vesko::last_os_error();
                return fail(std::move(e));
            }
            regular = S_ISREG(info.st_mode);
        }
        if (regular && has_toml_extension(name)) names.emplace_back(name);
    }
    std::stable_sort(names.begin(), names.end());
    return names;
}

// Validates one parsed file into a Service.
Result<Service, Error> validate(std::string name, std::string path, RawService raw) {
    auto invalid_command = [&](const char* reason) {
        Error e = error(Error::Kind::InvalidCommand, path);
        e.detail = reason;
        return fail(std::move(e));
    };
    if (raw.command.empty()) return invalid_command("command must contain an executable");
    if (raw.command[0].empty() || raw.command[0][0] != '/') {
        return invalid_command("the executable must be an absolute path");
    }
    for (const std::string& argument : raw.command) {
        if (argument.find('\0') != std::string::npos) {
            return invalid_command("command arguments cannot contain NUL bytes");
        }
    }
    for (size_t i = 0; i < raw.requires_.size(); ++i) {
        const std::string& required = raw.requires_[i];
        if (required == name) {
            Error e = error(Error::Kind::SelfDependency, path);
            e.name = name;
            return fail(std::move(e));
        }
        if (std::find(raw.requires_.begin(), raw.requires_.begin() + i, required) !=
            raw.requires_.begin() + i) {
            Error e = error(Error::Kind::DuplicateDependency, path);
            e.name = name;
            e.other = required;
            return fail(std::move(e));
        }
    }
    return Service{std::move(name),        std::move(raw.command), std::move(raw.requires_),
                   std::move(path),        std::move(raw.description), raw.restart};
}

}  // namespace

Result<Catalog, Error> Catalog::load(const std::string& directory) {
    auto names = list_service_files(directory);
    if (!names) {
        if (names.error().kind == Error::Kind::ReadDirectory && names.error().os.code == ENOENT) {
            vesko::print_err("veskoinit: " + lossy(directory) +
                             " not found; starting fallback console service\n");
            return fallback_console();
        }
        return fail(std::move(names.error()));
    }
    if (names->empty()) {
        vesko::print_err("veskoinit: no service files in " + lossy(directory) +
                         "; starting fallback console service\n");
        return fallback_console();
    }

    Catalog catalog;
    for (const std::string& file_name : *names) {
        std::string path = vesko::path_join(directory, file_name);
        std::string name = file_name.substr(0, file_name.rfind('.'));
        if (!vesko::is_utf8(file_name)) {
            Error e = error(Error::Kind::InvalidFileName, path);
            e.detail = "the filename is not valid UTF-8";
            return fail(std::move(e));
        }
        if (!is_valid_service_name(name)) {
            Error e = error(Error::Kind::InvalidFileName, path);
            e.detail = "use lowercase ASCII letters, digits, and hyphens; begin with a letter";
            return fail(std::move(e));
        }
        auto text = vesko::read_text_file(path);
        if (!text) {
            Error e = error(Error::Kind::ReadFile, path);
            e.os = text.error();
            return fail(std::move(e));
        }
        auto raw = parse_service(*text);
        if (!raw) {
            Error e = error(Error::Kind::Parse, path);
            e.detail = std::move(raw.error());
            return fail(std::move(e));
        }
        auto service = validate(name, path, std::move(*raw));
        if (!service) return fail(std::move(service.error()));
        auto [position, inserted] = catalog.services.try_emplace(name, std::move(*service));
        if (!inserted) {
            // Unreachable while names come from one directory listing, kept for safety.
            Error e = error(Error::Kind::DuplicateService, path);
            e.name = name;
            e.other = position->second.origin;
            return fail(std::move(e));
        }
    }

    for (const auto& [name, service] : catalog.services) {
        for (const std::string& required : service.requires_) {
            if (catalog.services.count(required) == 0) {
                Error e = error(Error::Kind::UnknownDependency, service.origin);
                e.name = name;
                e.other = required;
                return fail(std::move(e));
            }
        }
    }

    auto order = compute_start_order(catalog.services);
    if (!order) {
        Error e = error(Error::Kind::DependencyCycle, {});
        e.detail = vesko::join(order.error(), ", ");
        return fail(std::move(e));
    }
    catalog.start_order = std::move(*order);
    return catalog;
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
    Error e = error(Error::Kind::NoFallbackConsole, {});
    e.detail = vesko::join(tried, ", ");
    return fail(std::move(e));
}

}  // namespace service
