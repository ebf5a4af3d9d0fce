// Process 1's answers to run-time control (veskoctl): the state of the services, their start,
// stop and restart, and the service directory read again.
#pragma once

#include <map>
#include <string>

#include "control.hpp"
#include "daemons.hpp"
#include "service.hpp"
#include "supervisor.hpp"

namespace answers {

// What the answers read and change, as process 1 holds it. FAILED_SCRIPTS are the script
// services that the boot passed over, with why; FALLBACK is whether a reload falls back on the
// console service as the boot did (it does unless a main program runs).
struct Services {
    service::Catalog& catalog;
    supervisor::Supervisor& supervisor;
    const daemons::Watch& daemons;
    const std::map<std::string, std::string>& failed_scripts;
    bool fallback = true;
};

// The answer to REQUEST. A reload validates the service directory as the boot does; an
// invalid one changes nothing, and is logged as well as answered.
control::Answer answer(const control::Request& request, Services& services);

}  // namespace answers
