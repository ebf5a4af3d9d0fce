#include "script_dirs.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "fd.hpp"
#include "runner.hpp"
#include "service.hpp"
#include "text.hpp"
#include "unit.hpp"
#include "unit_map.hpp"

namespace admin {

using vesko::fail;
using vesko::Result;

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

bool any_enabled() {
    std::vector<Error> skipped;
    auto names = enabled_names(Directories::from_environment().enabled_dir, &skipped);
    return !names || !names->empty() || !skipped.empty();
}

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
        // A unit's link (caddy.service) is process 1's to read as a direct service.
        if (name == "." || name == ".." || name.ends_with(".service")) continue;
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

namespace {

// Enables the unit NAME.service, when there is no script NAME nor service file NAME.toml: a link
// NAME.service to the unit's file, which only tells where it was found. NOT_FOUND is what
// to say when there is no unit either.
Result<void, Error> enable_unit(const Directories& directories, std::string name, Error not_found) {
    if (name.ends_with(".service")) name.resize(name.size() - 8);
    struct stat info;
    bool file = ::stat(vesko::path_join(directories.service_dir, name + ".toml").c_str(), &info) == 0;
    if (file || !service::is_valid_unit_service_name(name)) return fail(std::move(not_found));
    auto found = unit::load(name, unit_map::search_from_environment());
    if (!found && std::holds_alternative<unit::NotFound>(found.error())) return fail(std::move(not_found));
    if (!found) return fail(Error{RefusedUnit{name + ".service", unit::display(found.error())}});
    auto mapped = unit_map::to_service(*found);
    if (!mapped) return fail(Error{RefusedUnit{found->name, std::move(mapped.error())}});
    auto created = vesko::create_directories(directories.enabled_dir, 0777);
    if (!created) return fail(Error{CreateDirectory{directories.enabled_dir, created.error()}});
    std::string link = vesko::path_join(directories.enabled_dir, name + ".service");
    if (::lstat(link.c_str(), &info) == 0 && !S_ISLNK(info.st_mode)) return fail(Error{NotSymlink{link}});
    if (::unlink(link.c_str()) != 0 && errno != ENOENT) return fail(Error{RemoveEnableLink{link, vesko::last_os_error()}});
    if (::symlink(found->path.c_str(), link.c_str()) != 0) return fail(Error{CreateEnableLink{link, vesko::last_os_error()}});
    return {};
}

}  // namespace

Result<void, Error> enable_service(const Directories& directories, const std::string& name) {
    auto script = service_path(directories, name);
    bool missing = !script && (std::holds_alternative<ServiceNotFound>(script.error()) ||
                               std::holds_alternative<InvalidServiceName>(script.error()));
    if (missing) return enable_unit(directories, name, std::move(script.error()));
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
    // The script's link, else the unit's.
    std::string link = vesko::path_join(directories.enabled_dir, name);
    struct stat info;
    if (::lstat(link.c_str(), &info) != 0 && errno == ENOENT && !name.ends_with(".service")) {
        link += ".service";
    }
    if (::lstat(link.c_str(), &info) != 0) {
        if (errno == ENOENT) return {};
        return fail(Error{Inspect{link, vesko::last_os_error()}});
    }
    if (!S_ISLNK(info.st_mode)) return fail(Error{NotSymlink{link}});
    if (::unlink(link.c_str()) != 0) return fail(Error{RemoveEnableLink{link, vesko::last_os_error()}});
    return {};
}

}  // namespace admin
