#include "unit_map.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <map>
#include <memory>
#include <set>

#include "account.hpp"
#include "text.hpp"

namespace unit_map {

using vesko::fail;
using vesko::quoted;
using vesko::Result;

namespace {

constexpr std::string_view kSuffix = ".service";

template <class List, class Item>
bool contains(const List& list, const Item& item) {
    return std::find(std::begin(list), std::end(list), item) != std::end(list);
}

// The non-empty parts of a colon-separated list.
std::vector<std::string> colon_list(std::string_view text) {
    std::vector<std::string> parts;
    for (size_t start = 0; start <= text.size();) {
        size_t colon = std::min(text.find(':', start), text.size());
        if (colon > start) parts.emplace_back(text.substr(start, colon - start));
        start = colon + 1;
    }
    return parts;
}

// An executable named without a slash, looked for in kSearchPath; nothing when none is there.
std::optional<std::string> find_executable(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    for (const std::string& directory : colon_list(kSearchPath)) {
        std::string path = vesko::path_join(directory, name);
        if (::access(path.c_str(), X_OK) == 0) return path;
    }
    return std::nullopt;
}

// The Exec lines KEY of a unit as commands of a service; FLAGS gets whether each one's failure
// is passed over.
Result<std::vector<std::vector<std::string>>, std::string> commands(const std::vector<unit::Command>& lines,
                                                                    const char* key, bool as_user,
                                                                    std::vector<bool>* flags) {
    std::vector<std::vector<std::string>> out;
    for (const unit::Command& line : lines) {
        auto prefix = [&](const char* which) {
            return fail("the prefix \"" + std::string(which) + "\" in " + key + "= is not supported" +
                        (as_user ? " with User=, Group= or DynamicUser=" : ""));
        };
        if (line.separate_argv0) return prefix("@");
        static const char* const kPrivileges[] = {"", "+", "!", "!!"};
        if (line.privileges != unit::Privileges::Normal && as_user) return prefix(kPrivileges[static_cast<int>(line.privileges)]);
        bool dollar = std::any_of(line.argv.begin(), line.argv.end(), [](const std::string& w) { return w.find('$') != std::string::npos; });
        if (!line.expand_variables && dollar) return prefix(":");
        auto path = find_executable(line.path);
        if (!path) return fail("executable " + quoted(line.path) + " in " + key + "= not found in " + kSearchPath);
        std::vector<std::string> argv = line.argv;
        argv[0] = *path;
        out.push_back(std::move(argv));
        if (flags != nullptr) flags->push_back(line.ignore_failure);
    }
    return out;
}

const char* const kConditionNames[] = {"PathExists",        "PathIsDirectory",  "FileNotEmpty",
                                       "DirectoryNotEmpty", "FileIsExecutable", "PathExistsGlob"};

bool holds(const unit::Condition& c) {
    struct stat info;
    bool found = ::stat(c.path.c_str(), &info) == 0;
    bool result = false;
    switch (c.kind) {
        case unit::ConditionKind::PathExists:
            result = found;
            break;
        case unit::ConditionKind::PathIsDirectory:
            result = found && S_ISDIR(info.st_mode);
            break;
        case unit::ConditionKind::FileNotEmpty:
            result = found && S_ISREG(info.st_mode) && info.st_size > 0;
            break;
        case unit::ConditionKind::FileIsExecutable:
            result = found && S_ISREG(info.st_mode) && (info.st_mode & 0111) != 0;
            break;
        case unit::ConditionKind::DirectoryNotEmpty: {
            std::unique_ptr<DIR, int (*)(DIR*)> dir(found && S_ISDIR(info.st_mode) ? opendir(c.path.c_str()) : nullptr,
                                                    closedir);
            for (const dirent* entry; dir && (entry = readdir(dir.get())) != nullptr;) {
                std::string_view name = entry->d_name;
                if (name != "." && name != "..") result = true;
            }
            break;
        }
        case unit::ConditionKind::PathExistsGlob: {
            glob_t matches{};
            result = glob(c.path.c_str(), GLOB_NOSORT, nullptr, &matches) == 0 && matches.gl_pathc > 0;
            globfree(&matches);
            break;
        }
    }
    return result != c.negate;
}

std::string condition_text(const unit::Condition& c) {
    return std::string(c.assert_ ? "Assert" : "Condition") + kConditionNames[static_cast<int>(c.kind)] + "=" +
           (c.trigger ? "|" : "") + (c.negate ? "!" : "") + c.path;
}

// The targets and other units whose meaning is met before any direct service starts: the
// mounts are made, the script services (networking, ssh, a time daemon) have started.
const std::set<std::string_view> kMet = {"network.target",    "network-online.target", "local-fs.target",
                                         "remote-fs.target",  "nss-lookup.target",     "time-sync.target",
                                         "sysinit.target",    "basic.target",          "multi-user.target",
                                         "syslog.socket"};

}  // namespace

unit::Search search_from_environment() {
    unit::Search search;
    if (const char* path = std::getenv("VESKO_UNIT_PATH")) {
        search.directories = colon_list(path);
    }
    return search;
}

Result<service::Service, std::string> to_service(const unit::Unit& u) {
    service::Service s;
    s.name = u.name.substr(0, u.name.size() - kSuffix.size());
    s.origin = u.path;
    s.description = u.description;
    service::Settings& t = s.settings;
    t.expand_variables = true;
    bool as_user = u.user || u.group || u.dynamic_user.value_or(false);
    if (!u.exec_condition.empty()) return fail(std::string("ExecCondition= is not supported"));
    auto start = commands(u.exec_start, "ExecStart", as_user, nullptr);
    if (!start) return fail(std::move(start.error()));
    // A one-shot unit with only an ExecStop= runs nothing at its start.
    s.command = start->empty() ? std::vector<std::string>{"/bin/true"} : start->front();
    auto before = commands(u.exec_start_pre, "ExecStartPre", as_user, &t.failure_ignored);
    if (!before) return fail(std::move(before.error()));
    t.before_start = std::move(*before);
    // The further commands of a one-shot unit run after its first, as commands after the start.
    for (size_t i = 1; i < start->size(); ++i) {
        t.after_start.push_back((*start)[i]);
        t.failure_ignored.push_back(u.exec_start[i].ignore_failure);
    }
    auto after = commands(u.exec_start_post, "ExecStartPost", as_user, &t.failure_ignored);
    if (!after) return fail(std::move(after.error()));
    t.after_start.insert(t.after_start.end(), after->begin(), after->end());
    if (std::find(t.failure_ignored.begin(), t.failure_ignored.end(), true) == t.failure_ignored.end()) {
        t.failure_ignored.clear();
    }
    for (auto [lines, key, command] : {std::tuple(&u.exec_stop, "ExecStop", &t.stop_command),
                                       std::tuple(&u.exec_reload, "ExecReload", &t.reload_command)}) {
        if (lines->size() > 1) return fail("several " + std::string(key) + "= commands are not supported");
        auto mapped = commands(*lines, key, as_user, nullptr);
        if (!mapped) return fail(std::move(mapped.error()));
        if (!mapped->empty()) *command = mapped->front();
    }
    switch (u.type) {
        case unit::Type::Simple:
        case unit::Type::Exec:
        case unit::Type::Dbus:
            t.type = service::Type::Simple;
            break;
        case unit::Type::Forking:
            if (!u.pid_file) return fail(std::string("Type=forking without a PIDFile= is not supported: its main process would be unknown"));
            t.type = service::Type::Forking;
            t.pid_file = *u.pid_file;
            break;
        case unit::Type::Oneshot:
            t.type = service::Type::Oneshot;
            break;
        case unit::Type::Notify:
            t.type = service::Type::Notify;
            break;
    }
    t.notify_access = u.notify_access == unit::NotifyAccess::All ? service::NotifyAccess::All : service::NotifyAccess::Main;
    switch (u.restart.value_or(unit::Restart::No)) {
        case unit::Restart::No:
            s.restart = service::RestartPolicy::Never;
            break;
        case unit::Restart::OnSuccess:  // a failure is restarted too, rather than a clean exit never
        case unit::Restart::Always:
            s.restart = service::RestartPolicy::Always;
            break;
        default:
            s.restart = service::RestartPolicy::OnFailure;
            break;
    }
    unit::KillMode kill = u.kill_mode.value_or(unit::KillMode::ControlGroup);
    t.kill_mode = kill == unit::KillMode::ControlGroup || kill == unit::KillMode::Mixed ? service::KillMode::Group
                                                                                      : service::KillMode::Process;
    if (u.kill_signal) t.stop_signal = *u.kill_signal;
    t.success_exit_codes = u.success_exit_statuses;
    t.success_signals = u.success_signals;
    if (u.timeout_start_sec) {
        uint64_t seconds = *u.timeout_start_sec == unit::kInfinity ? std::numeric_limits<unsigned>::max()
                                                                   : (*u.timeout_start_sec + 999999) / 1000000;
        t.ready_timeout = static_cast<unsigned>(std::min<uint64_t>(seconds, std::numeric_limits<unsigned>::max()));
    }
    t.user = u.user.value_or("");
    t.group = u.group.value_or("");
    if (u.dynamic_user.value_or(false)) {
        if (t.user.empty()) t.user = s.name;
        account::Files files = account::read_files();
        if (!account::find_account(t.user, files.passwd, files.group)) {
            return fail("DynamicUser=yes needs the user " + quoted(t.user) + " in /etc/passwd: add it with \"adduser --system " +
                        t.user + "\"");
        }
    }
    t.groups = u.supplementary_groups;
    t.environment = u.environment;
    for (const unit::EnvironmentFile& file : u.environment_files) {
        t.environment_files.push_back((file.missing_ok ? "-" : "") + file.path);
    }
    if (const auto& w = u.working_directory) t.working_directory = (w->missing_ok ? "-" : "") + (w->home ? "~" : w->path);
    if (u.umask) t.umask = static_cast<int>(*u.umask);
    for (const unit::Limit& limit : u.limits) t.limits.push_back({limit.resource, limit.soft, limit.hard});
    for (const std::string& name : u.ambient_capabilities) {
        auto number = service::capability_number(name);
        if (!number) return fail("unknown capability " + quoted(name) + " in AmbientCapabilities=");
        t.ambient_capabilities |= uint64_t{1} << *number;
    }
    for (size_t kind = 0; kind < unit::kDirectoryKinds; ++kind) {
        for (const std::string& path : u.directories[kind].names) {
            t.directories.push_back({static_cast<service::DirectoryBase>(kind), path, u.directories[kind].mode.value_or(0755)});
        }
    }
    return s;
}

std::optional<std::string> unmet_condition(const unit::Unit& u) {
    // Conditions first, then assertions: each that is not triggering must hold, and one of the
    // triggering ones when there are any.
    for (bool assertion : {false, true}) {
        std::vector<std::string> triggers;
        bool triggered = false;
        for (const unit::Condition& c : u.conditions) {
            if (c.assert_ != assertion) continue;
            bool met = holds(c);
            if (c.trigger) {
                triggers.push_back(condition_text(c));
                triggered = triggered || met;
            } else if (!met) {
                return assertion ? "warning: its assertion " + condition_text(c) + " failed"
                                 : "its condition " + condition_text(c) + " is not met";
            }
        }
        if (!triggers.empty() && !triggered) {
            return std::string(assertion ? "warning: none of its assertions " : "none of its conditions ") +
                   vesko::join(triggers, ", ") + (assertion ? " holds" : " is met");
        }
    }
    return std::nullopt;
}

std::vector<std::string> enabled_units(const std::string& enabled_dir) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(enabled_dir.c_str()), closedir);
    for (const dirent* entry; dir && (entry = readdir(dir.get())) != nullptr;) {
        std::string_view name = entry->d_name;
        if (!name.ends_with(kSuffix)) continue;
        name.remove_suffix(kSuffix.size());
        struct stat info;
        bool link = fstatat(dirfd(dir.get()), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode);
        if (link && service::is_valid_unit_service_name(name)) names.emplace_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

Added add_enabled(service::Catalog& catalog, const std::string& enabled_dir, const std::vector<std::string>& scripts,
                  const unit::Search& search) {
    Added added;
    auto pass_over = [&](const std::string& name, std::string why) {
        bool warning = why.starts_with("warning: ");
        if (warning) why.erase(0, 9);
        added.lines.push_back((warning ? "warning: " : "") + std::string("passing over unit ") + name +
                              ".service: " + why);
    };
    std::vector<std::string> names = enabled_units(enabled_dir);
    std::map<std::string, std::pair<unit::Unit, service::Service>> loaded;
    for (const std::string& name : names) {
        if (auto file = catalog.services.find(name); file != catalog.services.end()) {
            pass_over(name, vesko::shown(file->second.origin) + " defines the service " + name);
            continue;
        }
        auto u = unit::load(name + std::string(kSuffix), search);
        if (!u) {
            pass_over(name, "warning: " + unit::display(u.error()));
            continue;
        }
        if (auto unmet = unmet_condition(*u)) {
            pass_over(name, std::move(*unmet));
            continue;
        }
        auto mapped = to_service(*u);
        if (!mapped) {
            pass_over(name, "warning: " + mapped.error());
            continue;
        }
        mapped->name = name;  // an alias's link keeps its own name
        loaded.emplace(name, std::pair(std::move(*u), std::move(*mapped)));
    }

    // What a dependency on the unit DEPENDENCY is here: nothing when it is neither enabled nor
    // met, "" when it is met before any direct service starts, else the direct service.
    auto resolve = [&](const std::string& dependency) -> std::optional<std::string> {
        if (kMet.count(dependency) != 0 || dependency.ends_with(".mount") || dependency.ends_with(".slice")) return "";
        if (!dependency.ends_with(kSuffix)) return std::nullopt;
        std::string name = dependency.substr(0, dependency.size() - kSuffix.size());
        if (catalog.services.count(name) != 0 || contains(names, name)) return name;
        if (contains(scripts, name)) return "";
        return std::nullopt;
    };
    for (auto entry = loaded.begin(); entry != loaded.end();) {
        const auto& [name, pair] = *entry;
        const unit::Unit& u = pair.first;
        service::Service& s = entry->second.second;
        std::optional<std::string> unmet;
        for (const auto* list : {&u.requires_, &u.binds_to, &u.requisite}) {
            for (const std::string& dependency : *list) {
                auto found = resolve(dependency);
                if (!found) unmet = unmet.value_or(dependency);
                if (found && !found->empty() && *found != name && !contains(s.requires_, *found)) s.requires_.push_back(*found);
            }
        }
        for (const auto* list : {&u.after, &u.wants}) {
            for (const std::string& dependency : *list) {
                auto found = resolve(dependency);
                if (found && !found->empty() && *found != name && !contains(s.after, *found)) s.after.push_back(*found);
            }
        }
        if (unmet) {
            pass_over(name, "warning: it requires " + *unmet + ", which is neither enabled nor met here");
            entry = loaded.erase(entry);
        } else {
            ++entry;
        }
    }
    for (const auto& [name, pair] : loaded) {
        for (const std::string& dependency : pair.first.before) {
            auto found = resolve(dependency);
            auto other = found ? loaded.find(*found) : loaded.end();
            if (other != loaded.end() && other->first != name) other->second.second.after.push_back(name);
        }
    }
    // What requires a unit that was passed over is passed over too.
    for (bool again = true; again;) {
        again = false;
        for (auto entry = loaded.begin(); entry != loaded.end();) {
            const std::vector<std::string>& required = entry->second.second.requires_;
            auto gone = std::find_if(required.begin(), required.end(), [&](const std::string& r) {
                return loaded.count(r) == 0 && catalog.services.count(r) == 0;
            });
            if (gone == required.end()) {
                ++entry;
                continue;
            }
            pass_over(entry->first, "warning: it requires " + *gone + std::string(kSuffix) + ", which was passed over");
            entry = loaded.erase(entry);
            again = true;
        }
    }
    for (auto& [name, pair] : loaded) {
        std::erase_if(pair.second.after, [&](const std::string& a) {
            return loaded.count(a) == 0 && catalog.services.count(a) == 0;
        });
        catalog.services.emplace(name, std::move(pair.second));
    }
    // A service file cannot require a unit: only units can be caught in a cycle.
    for (;;) {
        auto order = service::compute_start_order(catalog.services);
        if (order) {
            catalog.start_order = std::move(*order);
            break;
        }
        size_t before = loaded.size();
        for (const std::string& name : order.error()) {
            if (loaded.erase(name) == 0) continue;
            catalog.services.erase(name);
            pass_over(name, "warning: a dependency cycle involving: " + vesko::join(order.error(), ", "));
        }
        if (loaded.size() == before) break;
    }
    added.units = loaded.size();
    return added;
}

}  // namespace unit_map
