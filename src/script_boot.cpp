#include "script_boot.hpp"

#include "script_dirs.hpp"
#include "script_order.hpp"
#include "fd.hpp"
#include "spawn.hpp"
#include "text.hpp"

namespace admin {

using vesko::fail;
using vesko::Result;
using vesko::shown;

StartReport start_enabled(const OtherChild& other, const std::function<void(const std::string&, bool)>& after_start) {
    Directories directories = Directories::from_environment();
    StartReport report;
    auto warn = [](const std::string& text) { vesko::print_err("veskoinit: warning: " + text + "\n"); };
    auto pass = [&](const std::string& name, Error why) {
        warn("passing over script service " + name + ": " + display(why));
        report.passed_over.push_back({name, std::move(why)});
    };
    std::vector<Error> skipped;
    auto plan = current_plan(directories, skipped, other);
    for (const Error& entry : skipped) warn("passing over an entry of " + shown(directories.enabled_dir) + ": " + display(entry));
    if (!plan) {
        warn(display(plan.error()) + "; no script service is started");
        return report;
    }
    for (PassedOver& passed : plan->passed_over) pass(passed.name, std::move(passed.why));
    std::set<std::string> started;
    for (const std::string& name : plan->order) {
        if (auto unmet = unmet_need(*plan, name, started)) {
            pass(name, std::move(*unmet));
            continue;
        }
        auto done = run_action(directories, name, "start", false, other);
        if (after_start) after_start(name, static_cast<bool>(done));
        if (!done) {
            pass(name, std::move(done.error()));
            continue;
        }
        started.insert(name);
    }
    report.started = started.size();
    return report;
}

Result<size_t, Error> stop_enabled(const OtherChild& other, const std::set<std::string>& passed_over) {
    Directories directories = Directories::from_environment();
    std::optional<Error> first;
    auto failed = [&](const std::string& name, Error why) {
        vesko::print_err("veskoinit: warning: could not stop script service " + name + ": " + display(why) + "\n");
        if (!first) first = std::move(why);
    };
    std::vector<Error> skipped;
    auto names = enabled_names(directories.enabled_dir, &skipped);
    if (!names) return fail(std::move(names.error()));
    // What the boot passed over is neither asked (its query may be what failed, for as long as
    // the time limit) nor stopped, unless its status says it runs: started by hand since.
    std::erase_if(*names, [&](const std::string& name) {
        return passed_over.count(name) != 0 && !run_action(directories, name, "status", true, other);
    });
    Plan plan = plan_start(directories, *names, [&](const std::string& name, const std::string& path) {
        return query_metadata(directories, name, path, other);
    });
    vesko::mark_time("order of the script services");
    // What cannot be ordered now is not stopped either.
    for (PassedOver& passed : plan.passed_over) failed(passed.name, std::move(passed.why));
    size_t stopped = 0;
    for (auto name = plan.order.rbegin(); name != plan.order.rend(); ++name) {
        auto done = run_action(directories, *name, "stop", false, other);
        vesko::mark_time("stop of script service " + *name);
        if (!done) {
            failed(*name, std::move(done.error()));
            continue;
        }
        ++stopped;
    }
    if (first) return fail(std::move(*first));
    return stopped;
}

}  // namespace admin
