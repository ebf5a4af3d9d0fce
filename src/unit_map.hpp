// Systemd service units run as direct services: a unit's record mapped onto a service's, the
// conditions on paths it sets checked, and the enabled units added to the catalog beside the
// service files, with their dependencies on each other.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "result.hpp"
#include "service.hpp"
#include "unit.hpp"

namespace unit_map {

// Where a bare executable name in an Exec line is looked for, in this order.
inline constexpr const char* kSearchPath = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

// The directories units are found in: those VESKO_UNIT_PATH names, separated by colons, when it
// is set, else the usual ones.
unit::Search search_from_environment();

// The direct service that runs the unit U, without what it requires or starts after (the
// catalog's to work out); else why it cannot run here, in one line.
vesko::Result<service::Service, std::string> to_service(const unit::Unit& u);

// What keeps U from starting now by its conditions and assertions on paths: "its condition
// ConditionPathExists=/x is not met", or a line that begins with "warning: " for an assertion
// that fails; nothing when they hold.
std::optional<std::string> unmet_condition(const unit::Unit& u);

// The units enabled in ENABLED_DIR, by the names of their services: the links NAME.service
// with a NAME that is_valid_unit_service_name takes, ascending.
std::vector<std::string> enabled_units(const std::string& enabled_dir);

struct Added {
    size_t units = 0;                // added to the catalog
    std::vector<std::string> lines;  // one per unit passed over; a warning begins with "warning: "
};
// Adds the units enabled in ENABLED_DIR (found with SEARCH) to CATALOG, and orders it again. A
// unit named like a service of the catalog, one that cannot be read or run, one whose condition
// is not met and one that requires what is neither enabled nor met (SCRIPTS are the enabled
// script services, which start before) is passed over with a line; the others are added all
// the same.
Added add_enabled(service::Catalog& catalog, const std::string& enabled_dir, const std::vector<std::string>& scripts,
                  const unit::Search& search);

}  // namespace unit_map
