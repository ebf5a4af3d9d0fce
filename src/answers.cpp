#include "answers.hpp"

#include <time.h>

#include <utility>
#include <vector>

#include "fd.hpp"
#include "pid1.hpp"
#include "result.hpp"

namespace answers {

namespace {

using vesko::print_err;

control::Answer status(const control::Status& request, const Services& services) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return control::Answer{0, services.daemons.status_lines(request.names) +
                                  control::status_lines(services.catalog, services.supervisor.records(), now,
                                                        request.names, services.failed_scripts)};
}

// Each name in turn; the first that cannot be done ends the answer with why.
template <class Act>
control::Answer each(const std::vector<std::string>& names, Act act) {
    control::Answer answer;
    for (const std::string& name : names) {
        auto done = act(name);
        if (!done) return control::Answer{1, answer.text + "veskoctl: " + done.error() + "\n"};
        answer.text += *done;
    }
    return answer;
}

// The boot's own validation; an invalid directory changes nothing.
control::Answer reload(Services& services) {
    auto fresh = service::Catalog::load(pid1::kServiceDirectory, services.fallback);
    if (!fresh) {
        std::string why = pid1::display(pid1::ServiceConfiguration{std::move(fresh.error())});
        print_err("veskoinit: reload refused: " + why + "\n");
        return control::Answer{1, "veskoctl: " + why + "\n"};
    }
    std::string validated =
        "validated " + std::to_string(fresh->services.size()) + " service(s) from " + pid1::kServiceDirectory;
    print_err("veskoinit: " + validated + " on request\n");
    for (const std::string& line : pid1::add_units(*fresh)) validated += "\n" + line;
    service::Catalog previous = std::exchange(services.catalog, std::move(*fresh));
    auto done = services.supervisor.reloaded(previous);
    control::Answer reply{done.failures.empty() ? 0 : 1, validated + "\n" + done.said};
    for (const std::string& failure : done.failures) reply.text += "veskoctl: " + failure + "\n";
    return reply;
}

}  // namespace

control::Answer answer(const control::Request& request, Services& services) {
    supervisor::Supervisor& supervisor = services.supervisor;
    return std::visit(
        vesko::Overloaded{
            [&](const control::Status& r) { return status(r, services); },
            [&](const control::Start& r) {
                return each(r.names, [&](const std::string& name) { return supervisor.request_start(name); });
            },
            [&](const control::Stop& r) {
                return each(r.names, [&](const std::string& name) { return supervisor.request_stop(name); });
            },
            [&](const control::Restart& r) {
                return each(r.names, [&](const std::string& name) { return supervisor.request_stop(name, true); });
            },
            [&](const control::Reload& r) {
                if (r.names.empty()) return reload(services);
                return each(r.names, [&](const std::string& name) { return supervisor.request_reload(name); });
            },
        },
        request);
}

}  // namespace answers
