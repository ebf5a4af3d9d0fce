// vesko-service's command line: arguments separated by NUL bytes. A request names a valid
// service and at least one valid action, none of them "and"; both forms give the same request.
#include <vector>

#include "admin.hpp"
#include "fuzz_support.hpp"
#include "script_dirs.hpp"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    std::vector<std::string> args = fuzz::arguments(fuzz::text(data, size));
    auto request = admin::parse_request(args);
    if (!request) return 0;
    if (!admin::is_valid_service_name(request->service) || request->actions.empty()) {
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
