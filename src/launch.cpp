#include "launch.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "account.hpp"
#include "fd.hpp"
#include "text.hpp"

extern char** environ;

namespace launch {

using vesko::fail;
using vesko::Result;

namespace {

using Variables = std::map<std::string, std::string>;

void set(Variables& variables, std::string name, std::string value) {
    variables.insert_or_assign(std::move(name), std::move(value));
}

// The text of an environment file, or nothing for a missing one that may be missing. Never
// blocks on a FIFO nor reads a device.
Result<std::optional<std::string>, std::string> read_environment_file(std::string_view given) {
    bool may_be_missing = given[0] == '-';
    std::string path(given.substr(may_be_missing ? 1 : 0));
    auto problem = [&](const vesko::OsError& os) { return "cannot read environment file " + vesko::shown(path) + ": " + os.display(); };
    // Looked at before it is opened: opening a device can act (a watchdog's starts counting).
    auto found = vesko::open_fd(path, O_PATH | O_CLOEXEC);
    if (!found) {
        if (may_be_missing && found.error().code == ENOENT) return std::optional<std::string>();
        return fail(problem(found.error()));
    }
    struct stat info;
    if (fstat(found->get(), &info) != 0) return fail(problem(vesko::last_os_error()));
    if (!S_ISREG(info.st_mode)) return fail(problem(vesko::fixed_error("not a regular file")));
    auto file = vesko::open_fd("/proc/self/fd/" + std::to_string(found->get()), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (!file) return fail(problem(file.error()));
    auto text = vesko::read_all(file->get(), kMaxEnvironmentFile);
    if (!text) return fail(problem(text.error()));
    if (text->size() > kMaxEnvironmentFile) return fail(problem(vesko::fixed_error("the file is larger than 1 MiB")));
    return std::optional<std::string>(std::move(*text));
}

// The directory NAME in DIRECTORY, never through a link nor into another mount: a service's
// user who owns a directory could put a link there, or mount a file system that never answers.
Result<vesko::Fd, vesko::OsError> open_below(int directory, const std::string& name) {
    open_how how{};
    how.flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_XDEV | RESOLVE_NO_MAGICLINKS;
    for (;;) {
        long fd = syscall(SYS_openat2, directory, name.c_str(), &how, sizeof how);
        if (fd >= 0) return vesko::Fd(static_cast<int>(fd));
        if (errno == EINTR || errno == EAGAIN) continue;
        if (errno != ENOSYS) return fail(vesko::last_os_error());
        // Before Linux 5.6: no link followed, at least.
        fd = openat(directory, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) return vesko::Fd(static_cast<int>(fd));
        if (errno != EINTR) return fail(vesko::last_os_error());
    }
}

// Makes BASE/PATH, each part a directory and never a link followed, and gives the last one
// to the service's user with MODE: a link a service's user left in its place is refused
// rather than followed to a file of someone else's.
Result<void, std::string> make_directory(const std::string& base, const std::string& path, unsigned mode,
                                         uid_t uid, gid_t gid) {
    std::string shown_path = base + "/" + path;
    auto problem = [&](const vesko::OsError& os) { return "cannot make directory " + vesko::shown(shown_path) + ": " + os.display(); };
    auto opened = vesko::open_fd(base, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (!opened) return fail(problem(opened.error()));
    vesko::Fd directory = std::move(*opened);
    for (std::string_view part : vesko::path_components(path)) {
        std::string name(part);
        int made;
        do {
            made = mkdirat(directory.get(), name.c_str(), 0755);
        } while (made != 0 && errno == EINTR);
        if (made != 0 && errno != EEXIST) return fail(problem(vesko::last_os_error()));
        auto next = open_below(directory.get(), name);
        if (!next) return fail(problem(next.error()));
        directory = std::move(*next);
    }
    int done;
    do {
        done = fchown(directory.get(), uid, gid) == 0 && fchmod(directory.get(), mode) == 0 ? 0 : -1;
    } while (done != 0 && errno == EINTR);
    if (done != 0) return fail(problem(vesko::last_os_error()));
    return {};
}

bool is_name_character(char c) {
    return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

}  // namespace

std::vector<std::string> expand_variables(const std::vector<std::string>& command,
                                          const std::vector<std::string>& environment) {
    auto value_of = [&](std::string_view name) -> std::string_view {
        // The last assignment wins, as in the environment a program is given.
        for (auto entry = environment.rbegin(); entry != environment.rend(); ++entry) {
            if (entry->size() > name.size() && entry->compare(0, name.size(), name) == 0 && (*entry)[name.size()] == '=') {
                return std::string_view(*entry).substr(name.size() + 1);
            }
        }
        return {};
    };
    std::vector<std::string> words;
    for (const std::string& word : command) {
        if (word.size() > 1 && word[0] == '$' &&
            std::all_of(word.begin() + 1, word.end(), [](char c) { return is_name_character(c); })) {
            for (std::string_view part : vesko::split_fields(value_of(std::string_view(word).substr(1)))) {
                words.emplace_back(part);
            }
            continue;
        }
        std::string out;
        for (size_t i = 0; i < word.size(); ++i) {
            size_t close = word[i] == '$' && i + 1 < word.size() && word[i + 1] == '{' ? word.find('}', i + 2)
                                                                                        : std::string::npos;
            if (close != std::string::npos) {
                out += value_of(std::string_view(word).substr(i + 2, close - i - 2));
                i = close;
            } else {
                out += word[i];
                if (word[i] == '$' && i + 1 < word.size() && word[i + 1] == '$') ++i;
            }
        }
        words.push_back(std::move(out));
    }
    return words;
}

std::vector<std::pair<std::string, std::string>> parse_environment_file(std::string_view text) {
    std::vector<std::pair<std::string, std::string>> variables;
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    for (std::string_view line : vesko::split_lines(text)) {
        while (!line.empty() && blank(line.front())) line.remove_prefix(1);
        size_t equals = line.find('=');
        if (line.empty() || line[0] == '#' || line[0] == ';' || equals == std::string_view::npos) continue;
        std::string_view name = line.substr(0, equals);
        while (!name.empty() && blank(name.back())) name.remove_suffix(1);
        std::string_view rest = line.substr(equals + 1);
        while (!rest.empty() && blank(rest.front())) rest.remove_prefix(1);
        while (!rest.empty() && blank(rest.back())) rest.remove_suffix(1);
        std::string value;
        if (rest.size() >= 2 && (rest[0] == '"' || rest[0] == '\'') && rest.back() == rest[0]) {
            std::string_view inner = rest.substr(1, rest.size() - 2);
            for (size_t i = 0; i < inner.size(); ++i) {
                if (rest[0] == '"' && inner[i] == '\\' && i + 1 < inner.size()) ++i;
                value += inner[i];
            }
        } else {
            value = rest;
        }
        if (name.empty() || name.find_first_of(" \t") != std::string_view::npos ||
            value.find('\0') != std::string::npos) {
            continue;
        }
        variables.emplace_back(std::string(name), std::move(value));
    }
    return variables;
}

Result<Launch, std::string> prepare(const service::Settings& settings,
                                   const std::vector<std::pair<std::string, std::string>>& extra) {
    Launch launch;
    Variables variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string_view text = *entry;
        size_t equals = text.find('=');
        if (equals != std::string_view::npos) set(variables, std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
    }
    uid_t uid = 0;
    gid_t gid = 0;
    if (!settings.user.empty() || !settings.group.empty() || !settings.groups.empty()) {
        account::Files files = account::read_files();
        std::string who = settings.user.empty() ? "0" : settings.user;
        if (!settings.group.empty()) who += ":" + settings.group;
        auto found = account::find_account(who, files.passwd, files.group);
        if (!found) return fail(found.error());
        for (const std::string& name : settings.groups) {
            auto group = account::find_group(name, files.group);
            if (!group) return fail("unknown group " + vesko::quoted(name));
            if (std::find(found->groups.begin(), found->groups.end(), *group) == found->groups.end()) {
                found->groups.push_back(*group);
            }
        }
        uid = found->uid;
        gid = found->gid;
        launch.credentials = vesko::Credentials{uid, gid, found->groups};
        if (!settings.user.empty()) {
            for (const char* name : {"USER", "LOGNAME"}) set(variables, name, found->name);
            if (!found->home.empty()) set(variables, "HOME", found->home);
            if (!found->shell.empty()) set(variables, "SHELL", found->shell);
        }
    }
    for (const std::string& assignment : settings.environment) {
        size_t equals = assignment.find('=');
        set(variables, assignment.substr(0, equals), assignment.substr(equals + 1));
    }
    for (const std::string& path : settings.environment_files) {
        auto text = read_environment_file(path);
        if (!text) return fail(text.error());
        if (!*text) continue;
        for (auto& [name, value] : parse_environment_file(**text)) set(variables, std::move(name), std::move(value));
    }
    // A notification socket is the service's own or none (not one process 1 was given).
    variables.erase("NOTIFY_SOCKET");
    for (const auto& [name, value] : extra) set(variables, name, value);
    static const char* const kBases[] = {"/run", "/var/lib", "/var/cache", "/var/log", "/etc"};
    for (const service::Directory& directory : settings.directories) {
        bool root_owned = directory.base == service::DirectoryBase::Configuration;
        auto made = make_directory(kBases[static_cast<int>(directory.base)], directory.path, directory.mode,
                                   root_owned ? 0 : uid, root_owned ? 0 : gid);
        if (!made) return fail(made.error());
    }
    std::string_view working = settings.working_directory;
    bool may_be_missing = working.starts_with("-");
    if (may_be_missing) working.remove_prefix(1);
    std::string directory(working == "~" ? std::string_view(variables["HOME"]) : working);
    if (!directory.empty()) {
        struct stat info;
        if (stat(directory.c_str(), &info) == 0) {
            launch.working_directory = directory;
        } else if (!may_be_missing) {
            return fail("cannot use working directory " + vesko::shown(directory) + ": " +
                        vesko::last_os_error().display());
        }
    }
    launch.environment.reserve(variables.size());
    for (const auto& [name, value] : variables) launch.environment.push_back(name + "=" + value);
    return launch;
}

vesko::SpawnOptions Launch::options(const service::Settings& settings) const {
    vesko::SpawnOptions options;
    options.environment = &environment;
    if (credentials) options.credentials = &*credentials;
    if (!working_directory.empty()) options.working_directory = working_directory.c_str();
    options.umask = settings.umask;
    for (const service::Limit& limit : settings.limits) {
        options.limits.push_back({limit.resource, rlimit{limit.soft, limit.hard}});
    }
    options.ambient_capabilities = settings.ambient_capabilities;
    return options;
}

}  // namespace launch
