#include "admin.hpp"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>

#include "fd.hpp"
#include "script_action.hpp"
#include "script_dirs.hpp"
#include "script_order.hpp"
#include "service.hpp"
#include "text.hpp"

namespace admin {

using vesko::fail;
using vesko::Result;

Result<Request, Usage> parse_request(const std::vector<std::string>& args) {
    static const std::set<std::string_view> kActions = {"start",  "stop",   "restart", "reload",
                                                        "status", "enable", "disable", "checkconfig"};
    std::vector<std::string> words;
    for (const std::string& arg : args) {
        if (!vesko::is_utf8(arg)) return fail(Usage{"arguments must be valid UTF-8"});
    }
    for (const std::string& arg : args) {
        if (arg != "and") words.push_back(arg);
    }
    if (words.size() < 2) return fail(Usage{"provide at least one action and one service"});
    Request request;
    if (kActions.count(words.front()) != 0) {
        request.service = words.back();
        request.actions.assign(words.begin(), words.end() - 1);
    } else {
        request.service = words.front();
        request.actions.assign(words.begin() + 1, words.end());
    }
    // A unit (wg-quick@wg0) is only enabled or disabled here; process 1 runs it.
    bool enabling = std::all_of(request.actions.begin(), request.actions.end(),
                                [](const std::string& a) { return a == "enable" || a == "disable"; });
    if (!is_valid_service_name(request.service) &&
        !(enabling && service::is_valid_unit_service_name(request.service))) {
        return fail(Usage{kNameRule});
    }
    for (const std::string& action : request.actions) {
        bool valid = !action.empty();
        for (char c : action) {
            valid = valid && ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_');
        }
        if (!valid) return fail(Usage{"actions must contain only lowercase letters, digits, hyphens, and underscores"});
    }
    return request;
}

namespace {

// How long vesko-service waits for each metadata query when it foretells what the next boot
// will pass over: an unrelated script that hangs must not hold the command.
constexpr long kForetellSeconds = 10;

// What the next boot will pass over because NAME was enabled (ENABLED) or disabled: NAME
// itself, when it cannot be ordered or something it needs is missing; or, once it is
// disabled, every enabled service that needs it (or a name it provides) and is left without.
std::vector<Error> boot_consequences(const Directories& directories, const std::string& name, bool enabled) {
    std::set<std::string> meanings{name};
    if (!enabled) {
        if (auto own = records_of(directories, name, {})) meanings.insert(own->provide.begin(), own->provide.end());
    }
    std::vector<Error> skipped, found;
    auto names = enabled_names(directories.enabled_dir, &skipped);
    if (!names) return found;
    // The bounded waits take SIGCHLD from the pending set, as process 1 does: blocked meanwhile.
    sigset_t child, previous;
    if (sigemptyset(&child) != 0 || sigaddset(&child, SIGCHLD) != 0 || pthread_sigmask(SIG_BLOCK, &child, &previous) != 0) {
        return found;
    }
    Plan plan = plan_start(directories, *names, [&](const std::string& service, const std::string& path) {
        return query_metadata(directories, service, path, {}, kForetellSeconds);
    });
    (void)pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    // Without /proc (a chroot being set up) nothing can be asked here, and a query that hangs
    // tells nothing: nothing is foretold.
    for (const PassedOver& passed : plan.passed_over) {
        if (std::holds_alternative<LocateExecutable>(passed.why) || std::holds_alternative<ActionTimedOut>(passed.why)) {
            return found;
        }
    }
    for (PassedOver& passed : plan.passed_over) {
        if (enabled && passed.name == name) found.push_back(std::move(passed.why));
    }
    std::set<std::string> started;
    for (const std::string& service : plan.order) {
        auto unmet = unmet_need(plan, service, started);
        if (!unmet) {
            started.insert(service);
            continue;
        }
        const auto* missing = std::get_if<MissingNeed>(&*unmet);
        if (enabled ? service == name : missing != nullptr && meanings.count(missing->needed) != 0) {
            found.push_back(std::move(*unmet));
        }
    }
    return found;
}

}  // namespace

int main(const std::vector<std::string>& args) {
    auto request = parse_request(args);
    if (!request) {
        vesko::print_err(std::string("vesko-service: ") + request.error().problem +
                         "\nusage: vesko-service ACTION [and ACTION ...] SERVICE\n"
                         "       vesko-service SERVICE ACTION [ACTION ...]\n");
        return 2;
    }
    Directories directories = Directories::from_environment();
    auto written = vesko::write_all(STDOUT_FILENO, "vesko-service " + vesko::join(request->actions, " and ") + " " +
                                                       request->service + ": one sec... ");
    if (!written) {
        vesko::print_err("vesko-service: " + display(WriteStatus{written.error()}) + "\n");
        return 1;
    }
    for (const std::string& action : request->actions) {
        Result<void, Error> done = action == "enable"    ? enable_service(directories, request->service)
                                   : action == "disable" ? disable_service(directories, request->service)
                                                         : run_action(directories, request->service, action, true);
        if (!done) {
            vesko::print_out("<failed>\n");
            vesko::print_err("vesko-service: " + display(done.error()) + "\n");
            return 1;
        }
    }
    static const std::map<std::string_view, const char*> kWords = {
        {"start", "started"}, {"stop", "stopped"}, {"restart", "restarted"}, {"enable", "enabled"}, {"disable", "disabled"}};
    auto word = kWords.find(request->actions.back());
    vesko::print_out("<" + (word != kWords.end() ? std::string(word->second) : request->actions.back()) + "> done.\n");
    // Enabling or disabling is done all the same; what it means for the next boot is said.
    for (auto action = request->actions.rbegin(); action != request->actions.rend(); ++action) {
        if (*action != "enable" && *action != "disable") continue;
        for (const Error& consequence : boot_consequences(directories, request->service, *action == "enable")) {
            vesko::print_err("vesko-service: warning: " + display(consequence) + "\n");
        }
        break;
    }
    return 0;
}

}  // namespace admin
