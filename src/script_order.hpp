// The dependency order of the enabled script services, from their scripts' metadata.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "result.hpp"
#include "script_action.hpp"
#include "script_dirs.hpp"
#include "script_error.hpp"

namespace admin {

// The dependency records of one service's metadata output. PROVIDE holds the virtual names
// the service stands for (OpenRC's provide): a need, use, after or before of such a name
// refers to every enabled service that provides it, and to the service of that name. A use,
// after or before of a name that no service can have here (OpenRC's net.lo, rpc.statd) is
// passed over; a need of one is an error. `after *` and `before *` set AFTER_ALL and
// BEFORE_ALL: after (before) every other service that is not ordered the other way already
// and does not say the same.
struct Records {
    std::vector<std::string> need, use, after, before, provide;
    bool after_all = false, before_all = false;
};
vesko::Result<Records, Error> parse_metadata(const std::string& name, std::string_view output);

// Runs the metadata action of the script at PATH for NAME and returns its standard output.
using MetadataQuery =
    std::function<vesko::Result<std::string, Error>(const std::string& name, const std::string& path)>;

// The records of NAME: its script found, QUERY (or the real query) asked, the output parsed.
vesko::Result<Records, Error> records_of(const Directories& directories, const std::string& name,
                                         const MetadataQuery& query);

// The start order of the enabled services NAMES (any order, repetitions allowed), asking
// QUERY (the real metadata query by default) for each one's records in ascending name order.
// A need that no enabled service meets is reported once every service has been asked, since
// a later one may provide it; but before a later query's own failure.
vesko::Result<std::vector<std::string>, Error> enabled_start_order(const Directories& directories,
                                                                   const std::vector<std::string>& names,
                                                                   const MetadataQuery& query = {});

// A service that the boot does not start, and why.
struct PassedOver {
    std::string name;
    Error why;
};

// A need of a service: the services any one of which meets it, and whether anything enabled
// is or provides that name (a need of nothing enabled is missing; one whose services were
// all passed over is unmet).
struct Need {
    std::string name;
    std::set<std::string> met_by;
    bool known = false;
};

// What a boot does with the enabled services NAMES, so that one service's mistake never keeps
// the others from starting: a service whose script is missing or whose metadata fails, and
// the members of a dependency cycle, are passed over; the others are ordered as
// enabled_start_order orders them, without what was passed over.
struct Plan {
    std::vector<std::string> order;
    std::vector<PassedOver> passed_over;  // in name order, then the members of cycles
    std::map<std::string, std::vector<Need>> needs;  // of each service of ORDER
};
Plan plan_start(const Directories& directories, const std::vector<std::string>& names,
                const MetadataQuery& query = {});
// Why NAME of PLAN is passed over in its turn when the services STARTED have started: a need
// that nothing enabled meets, or one whose every service was passed over; nullopt when it
// can start.
std::optional<Error> unmet_need(const Plan& plan, const std::string& name, const std::set<std::string>& started);

// The plan of the enabled services as they are now, each asked with the real metadata query.
// An enabled directory that cannot be read is the error; entries in it that are no enable
// links are passed over, their errors in SKIPPED.
vesko::Result<Plan, Error> current_plan(const Directories& directories, std::vector<Error>& skipped,
                                        const OtherChild& other = {});

}  // namespace admin
