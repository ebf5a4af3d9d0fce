// Script services: their directories and enable links, their dependency order, their start
// at boot and stop at shutdown, and the vesko-service command.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "os_error.hpp"
#include "result.hpp"

namespace admin {

inline constexpr const char* kDefaultServiceDir = "/etc/veskoinit/services";
inline constexpr const char* kDefaultEnabledDir = "/etc/veskoinit/enabled";
// Where Debian's packages put their init scripts.
inline constexpr const char* kDefaultInitDir = "/etc/init.d";
inline constexpr const char* kNameRule =
    "service names must begin with a lowercase letter and contain only lowercase letters, digits, and hyphens";
inline constexpr const char* kNameNotUtf8 = "service names must be valid UTF-8";

// How long process 1 waits for one script action or metadata query: a daemon that a script
// runs in the foreground must not hold the boot (or the shutdown) for ever. Then it kills
// everything in the session process 1 started the action in (what made a process group of
// its own there too), and the action has failed. VESKO_TEST_ACTION_TIMEOUT (seconds) shortens it, for tests only.
inline constexpr long kActionTimeoutSeconds = 90;

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

struct InvalidServiceName {
    std::string name;
    const char* reason;
};
struct ServiceNotFound {
    std::string name;
    std::string directory;
};
struct CreateDirectory {
    std::string directory;
    vesko::OsError os;
};
struct Inspect {
    std::string path;
    vesko::OsError os;
};
struct NotSymlink {
    std::string link;
};
struct WrongEnableTarget {
    std::string link;
    std::string found;
    std::string expected;
};
struct EnabledEntryNotSymlink {
    std::string path;
};
struct CreateEnableLink {
    std::string link;
    vesko::OsError os;
};
struct RemoveEnableLink {
    std::string link;
    vesko::OsError os;
};
struct ReadDirectory {
    std::string directory;
    vesko::OsError os;
};
struct ReadDirectoryEntry {
    std::string directory;
    vesko::OsError os;
};
struct LocateExecutable {
    vesko::OsError os;
};
struct RunAction {
    std::string action;
    std::string name;
    vesko::OsError os;
};
// STATUS is the exit code in decimal, or "signal".
struct ActionFailed {
    std::string action;
    std::string name;
    std::string status;
};
// Process 1 waited SECONDS for the action and then killed it.
struct ActionTimedOut {
    std::string action;
    std::string name;
    long seconds;
};
struct InvalidMetadata {
    std::string name;
    const char* reason;
};
// A need of a name that no service can have here (OpenRC's net.lo, for one).
struct InvalidNeed {
    std::string name;
    std::string needed;
};
struct MissingNeed {
    std::string name;
    std::string needed;
};
// Every service that could meet a need of NAME was passed over.
struct NeedPassedOver {
    std::string name;
    std::string needed;
};
struct DependencyCycle {
    std::vector<std::string> names;
};
struct WriteStatus {
    vesko::OsError os;
};
using Error = std::variant<InvalidServiceName, ServiceNotFound, CreateDirectory, Inspect, NotSymlink,
                           WrongEnableTarget, EnabledEntryNotSymlink, CreateEnableLink, RemoveEnableLink,
                           ReadDirectory, ReadDirectoryEntry, LocateExecutable, RunAction, ActionFailed,
                           ActionTimedOut, InvalidMetadata, InvalidNeed, MissingNeed, NeedPassedOver, DependencyCycle,
                           WriteStatus>;

std::string display(const Error& error);

bool is_valid_service_name(std::string_view name);

// The script of NAME: a regular file (links followed) in the service directory, else one
// with an LSB header in the init script directory, named NAME or else NAME.sh.
vesko::Result<std::string, Error> service_path(const Directories& directories, const std::string& name);
// The enabled names, in directory order. With SKIPPED, an entry that is no enable link (not a
// link, not a service name) is passed over and its error added there; without, it fails the
// listing.
vesko::Result<std::vector<std::string>, Error> enabled_names(const std::string& enabled_dir,
                                                             std::vector<Error>* skipped = nullptr);
vesko::Result<void, Error> enable_service(const Directories& directories, const std::string& name);
vesko::Result<void, Error> disable_service(const Directories& directories, const std::string& name);

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

// Told about every child of the caller other than the action's own that ends while an action
// runs: process 1 reaps the orphans its script services leave while it waits for them.
using OtherChild = std::function<void(pid_t pid, int status)>;

// The plan of the enabled services as they are now, each asked with the real metadata query.
// An enabled directory that cannot be read is the error; entries in it that are no enable
// links are passed over, their errors in SKIPPED.
vesko::Result<Plan, Error> current_plan(const Directories& directories, std::vector<Error>& skipped,
                                        const OtherChild& other = {});

// Runs ACTION of NAME's script through the runner; QUIET sends its standard output to the
// null device.
vesko::Result<void, Error> run_action(const Directories& directories, const std::string& name,
                                      const std::string& action, bool quiet, const OtherChild& other = {});

// Starts the enabled script services in order, passing over (with a warning line each) what
// cannot start and what needs it; no failure keeps the others from starting. STARTED is told
// the name of each one that started, at once.
struct StartReport {
    size_t started = 0;
    std::vector<PassedOver> passed_over;  // in the order they were passed over
};
StartReport start_enabled(const OtherChild& other = {},
                          const std::function<void(const std::string&)>& started = {});
// Stops them in reverse order, each one whatever happened to the one before; returns how
// many, or the first failure. What the boot passed over (PASSED_OVER) is neither asked for its
// metadata nor stopped, unless its status says it runs (started by hand since); what cannot
// be ordered now is not stopped.
vesko::Result<size_t, Error> stop_enabled(const OtherChild& other = {},
                                          const std::set<std::string>& passed_over = {});

// The vesko-service command line, parsed: the service and its actions (never empty).
struct Request {
    std::string service;
    std::vector<std::string> actions;
};
struct Usage {
    const char* problem;
};
vesko::Result<Request, Usage> parse_request(const std::vector<std::string>& args);

// The vesko-service command's entry.
int main(const std::vector<std::string>& args);

}  // namespace admin
