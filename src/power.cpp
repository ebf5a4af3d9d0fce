#include "power.hpp"

#include <signal.h>

#include "fd.hpp"
#include "os_error.hpp"
#include "text.hpp"

namespace power {

using vesko::fail;

vesko::Result<Request, Refusal> request_for(std::string_view name, const std::vector<std::string>& arguments) {
    static constexpr struct {
        const char* name;
        Request request;
    } kCommands[] = {
        {"reboot", {SIGINT, "a reboot"}},
        {"shutdown", {SIGPWR, "a shutdown"}},
        {"halt", {SIGUSR1, "a halt"}},
    };
    for (const auto& command : kCommands) {
        if (name != command.name) continue;
        if (!arguments.empty()) {
            return fail(Refusal{std::string(name) + ": no arguments are supported\nusage: " + std::string(name) + "\n", 2});
        }
        return command.request;
    }
    return fail(Refusal{"veskoinit: unknown power command: " + vesko::shown(name) + "\n", 2});
}

int main(const std::string& name, const std::vector<std::string>& arguments) {
    auto request = request_for(name, arguments);
    if (!request) {
        vesko::print_err(request.error().message);
        return request.error().status;
    }
    if (::kill(1, request->signal) != 0) {
        vesko::print_err(name + ": cannot request " + request->phrase + " from PID 1: " +
                         vesko::last_os_error().display() + "\n");
        return 1;
    }
    return 0;
}

}  // namespace power
