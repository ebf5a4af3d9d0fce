// The enabled script services at boot, started in their order, and at shutdown, stopped in
// the reverse order.
#pragma once

#include <cstddef>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "result.hpp"
#include "script_action.hpp"
#include "script_error.hpp"
#include "script_order.hpp"

namespace admin {

// Starts the enabled script services in order, passing over (with a warning line each) what
// cannot start and what needs it; no failure keeps the others from starting. WATCH is told
// of each start that is run, at once after it.
struct StartReport {
    size_t started = 0;
    std::vector<PassedOver> passed_over;  // in the order they were passed over
};
StartReport start_enabled(const OtherChild& other = {},
                          const std::function<void(const std::string& name, bool started)>& after_start = {});
// Stops them in reverse order, each one whatever happened to the one before; returns how
// many, or the first failure. What the boot passed over (PASSED_OVER) is neither asked for its
// metadata nor stopped, unless its status says it runs (started by hand since); what cannot
// be ordered now is not stopped.
vesko::Result<size_t, Error> stop_enabled(const OtherChild& other = {},
                                          const std::set<std::string>& passed_over = {});

}  // namespace admin
