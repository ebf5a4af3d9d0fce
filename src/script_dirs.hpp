// The directories of script services: where their scripts are, and the enable links that
// say which of them the boot starts.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "result.hpp"
#include "script_error.hpp"

namespace admin {

inline constexpr const char* kDefaultServiceDir = "/etc/veskoinit/services";
inline constexpr const char* kDefaultEnabledDir = "/etc/veskoinit/enabled";
// Where Debian's packages put their init scripts.
inline constexpr const char* kDefaultInitDir = "/etc/init.d";

struct Directories {
    std::string service_dir;
    std::string enabled_dir;
    // Scripts with an LSB header here are services too, when the service directory has none
    // of that name; one named NAME.sh is the service NAME, when NAME is none; "" for none.
    std::string init_dir;

    // VESKO_SERVICE_DIR, VESKO_ENABLED_DIR and VESKO_INIT_DIR when set (even empty), else the
    // defaults.
    static Directories from_environment();
};

bool is_valid_service_name(std::string_view name);

// The script of NAME: a regular file (links followed) in the service directory, else one
// with an LSB header in the init script directory, named NAME or else NAME.sh.
vesko::Result<std::string, Error> service_path(const Directories& directories, const std::string& name);
// The enabled names, in directory order. With SKIPPED, an entry that is no enable link (not a
// link, not a service name) is passed over and its error added there; without, it fails the
// listing.
vesko::Result<std::vector<std::string>, Error> enabled_names(const std::string& enabled_dir,
                                                             std::vector<Error>* skipped = nullptr);
// Whether the boot has any script service to start: an enabled name, an entry passed over
// with a warning, or a directory that cannot be read (which the start reports).
bool any_enabled();
vesko::Result<void, Error> enable_service(const Directories& directories, const std::string& name);
vesko::Result<void, Error> disable_service(const Directories& directories, const std::string& name);

}  // namespace admin
