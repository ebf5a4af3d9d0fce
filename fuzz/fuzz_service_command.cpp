// vesko-service's command line: arguments separated by NUL bytes. A request names a valid
// service (or a unit, to enable or disable) and at least one valid action, none of them "and";
// both forms give the same request.
#include <algorithm>
#include <vector>

#include "admin.hpp"
#include "fuzz_support.hpp"
#include "script_dirs.hpp"
#include "service.hpp"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    std::vector<std::string> args = fuzz::arguments(fuzz::text(data, size));
    auto request = admin::parse_request(args);
    if (!request) return 0;
    // A unit's name (wg-quick@wg0) only to enable or disable it.
    bool enabling = std::all_of(request->actions.begin(), request->actions.end(),
                                [](const std::string& a) { return a == "enable" || a == "disable"; });
    bool valid = admin::is_valid_service_name(request->service) ||
                 (enabling && service::is_valid_unit_service_name(request->service));
    if (!valid || request->actions.empty()) {
        fuzz::violated("a request names a valid service and an action", request->service);
    }
    for (const std::string& action : request->actions) {
        if (action.empty() || action == "and") fuzz::violated("actions are words, never and", action);
    }
    // SERVICE ACTION... is the same request, unless the service is itself an action word.
    std::vector<std::string> second{request->service};
    second.insert(second.end(), request->actions.begin(), request->actions.end());
    auto again = admin::parse_request(second);
    if (again && (again->service != request->service || again->actions != request->actions)) {
        if (request->service != "start" && request->service != "stop" && request->service != "status" &&
            request->service != "restart" && request->service != "reload" && request->service != "enable" &&
            request->service != "disable" && request->service != "checkconfig") {
            fuzz::violated("both forms give the same request", request->service);
        }
    }
    return 0;
}
