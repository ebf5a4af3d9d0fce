#include "script_order.hpp"

#include <algorithm>

#include "text.hpp"

namespace admin {

using vesko::fail;
using vesko::Result;

Result<Records, Error> parse_metadata(const std::string& name, std::string_view output) {
    if (!vesko::is_utf8(output)) return fail(Error{InvalidMetadata{name, "metadata output is not valid UTF-8"}});
    Records records;
    for (std::string_view line : vesko::split_lines(output)) {
        size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        std::string_view key = line.substr(0, colon), value = line.substr(colon + 1);
        std::vector<std::string>* list = key == "need"     ? &records.need
                                         : key == "use"    ? &records.use
                                         : key == "after"  ? &records.after
                                         : key == "before" ? &records.before
                                         : key == "provide" ? &records.provide
                                                           : nullptr;
        if (list == nullptr) continue;
        if (value == "*" && list == &records.after) {
            records.after_all = true;
        } else if (value == "*" && list == &records.before) {
            records.before_all = true;
        } else if (is_valid_service_name(value)) {
            list->emplace_back(value);
        } else if (list == &records.need) {
            return fail(Error{InvalidNeed{name, std::string(value)}});
        } else if (list == &records.provide) {
            return fail(Error{InvalidMetadata{name, kNameRule}});
        }
        // Else an ordering hint about a service that cannot exist here: nothing to order.
    }
    return records;
}

namespace {

using Prerequisites = std::map<std::string, std::set<std::string>>;
using Providers = std::map<std::string, std::set<std::string>>;  // virtual name -> its services

// NAME itself when it has records, and the services of RECORDS that provide it (but WHO).
std::set<std::string> meant(const std::map<std::string, Records>& records, const Providers& providers,
                            const std::string& name, const std::string& who) {
    std::set<std::string> services;
    if (records.count(name) != 0) services.insert(name);
    if (auto found = providers.find(name); found != providers.end()) {
        for (const std::string& provider : found->second) {
            if (provider != who && records.count(provider) != 0) services.insert(provider);
        }
    }
    return services;
}

// What must start before each service of RECORDS, among them.
Prerequisites prerequisites_of(const std::map<std::string, Records>& records, const Providers& providers) {
    Prerequisites prerequisites;
    for (const auto& [name, of] : records) prerequisites[name];
    for (const auto& [name, of] : records) {
        for (const auto* list : {&of.need, &of.use, &of.after}) {
            for (const std::string& earlier : *list) {
                for (const std::string& service : meant(records, providers, earlier, name)) {
                    prerequisites[name].insert(service);
                }
            }
        }
        for (const std::string& later : of.before) {
            for (const std::string& service : meant(records, providers, later, name)) prerequisites[service].insert(name);
        }
    }
    // `before *` and `after *`: each such service is put before (after) every other that is
    // not already ordered the other way and does not say the same. What must come before a
    // service, its own prerequisites and theirs:
    auto earlier_than = [&](const std::string& name) {
        std::set<std::string> seen;
        std::vector<std::string> pending{name};
        while (!pending.empty()) {
            std::string next = std::move(pending.back());
            pending.pop_back();
            for (const std::string& before : prerequisites[next]) {
                if (seen.insert(before).second) pending.push_back(before);
            }
        }
        return seen;
    };
    // Each one's edges are in place before the next one looks, so that two of them cannot
    // close a cycle between them.
    for (bool after : {false, true}) {
        for (const auto& [name, of] : records) {
            if (!(after ? of.after_all : of.before_all)) continue;
            std::set<std::string> earlier = earlier_than(name);
            for (const auto& [other, its] : records) {
                if (other == name || (after ? its.after_all : its.before_all)) continue;
                if (after && earlier_than(other).count(name) == 0) prerequisites[name].insert(other);
                if (!after && earlier.count(other) == 0) prerequisites[other].insert(name);
            }
        }
    }
    return prerequisites;
}

// Takes from PREREQUISITES into ORDER, the smallest name first, each service whose
// prerequisites have all been taken; what is left could not be ordered.
void take_ready(Prerequisites& prerequisites, std::vector<std::string>& order) {
    for (;;) {
        auto ready = prerequisites.begin();
        while (ready != prerequisites.end() && !ready->second.empty()) ++ready;
        if (ready == prerequisites.end()) return;
        std::string name = ready->first;
        prerequisites.erase(ready);
        for (auto& [other, waiting] : prerequisites) waiting.erase(name);
        order.push_back(std::move(name));
    }
}

// What NAME waits on in PREREQUISITES, directly or through others.
std::set<std::string> waits_on(const Prerequisites& prerequisites, const std::string& name) {
    std::set<std::string> seen;
    std::vector<std::string> pending{name};
    while (!pending.empty()) {
        auto found = prerequisites.find(pending.back());
        pending.pop_back();
        if (found == prerequisites.end()) continue;
        for (const std::string& next : found->second) {
            if (seen.insert(next).second) pending.push_back(next);
        }
    }
    return seen;
}

// The cycles among what could not be ordered: each service that comes back to itself, with
// the services of its cycle (ascending), rather than those that merely wait on one. Every
// service that take_ready leaves waits on another one left, so there is at least one.
std::map<std::string, std::vector<std::string>> cycles_of(const Prerequisites& prerequisites) {
    std::map<std::string, std::set<std::string>> reach;
    for (const auto& [name, waiting] : prerequisites) reach[name] = waits_on(prerequisites, name);
    std::map<std::string, std::vector<std::string>> cycles;
    for (const auto& [name, reached] : reach) {
        if (reached.count(name) == 0) continue;
        for (const std::string& other : reached) {
            if (reach[other].count(name) != 0) cycles[name].push_back(other);
        }
    }
    return cycles;
}

}  // namespace

Result<Records, Error> records_of(const Directories& directories, const std::string& name, const MetadataQuery& query) {
    auto path = service_path(directories, name);
    if (!path) return fail(std::move(path.error()));
    auto output = query ? query(name, *path) : query_metadata(directories, name, *path, {});
    if (!output) return fail(std::move(output.error()));
    return parse_metadata(name, *output);
}

Result<std::vector<std::string>, Error> enabled_start_order(const Directories& directories,
                                                            const std::vector<std::string>& names,
                                                            const MetadataQuery& query) {
    std::set<std::string> enabled(names.begin(), names.end());
    std::map<std::string, Records> records;
    Providers providers;
    // The first need, in query order, that nothing enabled meets so far.
    auto unmet = [&]() -> std::optional<Error> {
        for (const auto& [name, of] : records) {
            for (const std::string& needed : of.need) {
                if (enabled.count(needed) == 0 && providers.count(needed) == 0) return Error{MissingNeed{name, needed}};
            }
        }
        return std::nullopt;
    };
    for (const std::string& name : enabled) {
        auto parsed = records_of(directories, name, query);
        if (!parsed) return fail(unmet().value_or(std::move(parsed.error())));
        for (const std::string& virtual_name : parsed->provide) providers[virtual_name].insert(name);
        records.emplace(name, std::move(*parsed));
    }
    if (auto missing = unmet()) return fail(std::move(*missing));
    Prerequisites prerequisites = prerequisites_of(records, providers);
    std::vector<std::string> order;
    take_ready(prerequisites, order);
    if (!prerequisites.empty()) {
        std::vector<std::string> stuck;
        for (const auto& [name, waiting] : prerequisites) stuck.push_back(name);
        return fail(Error{DependencyCycle{std::move(stuck)}});
    }
    return order;
}

Plan plan_start(const Directories& directories, const std::vector<std::string>& names, const MetadataQuery& query) {
    std::set<std::string> enabled(names.begin(), names.end());
    Plan plan;
    std::map<std::string, Records> records;
    Providers providers;
    for (const std::string& name : enabled) {
        auto parsed = records_of(directories, name, query);
        if (!parsed) {
            plan.passed_over.push_back({name, std::move(parsed.error())});
            continue;
        }
        for (const std::string& virtual_name : parsed->provide) providers[virtual_name].insert(name);
        records.emplace(name, std::move(*parsed));
    }
    for (const auto& [name, of] : records) {
        for (const std::string& needed : of.need) {
            // A service that provides what it needs meets that need itself.
            if (std::find(of.provide.begin(), of.provide.end(), needed) != of.provide.end()) continue;
            bool known = enabled.count(needed) != 0 || providers.count(needed) != 0;
            plan.needs[name].push_back({needed, meant(records, providers, needed, name), known});
        }
    }
    Prerequisites prerequisites = prerequisites_of(records, providers);
    for (;;) {
        take_ready(prerequisites, plan.order);
        if (prerequisites.empty()) return plan;
        // The members of the cycles are passed over; what only waited on them is ordered
        // without them (and passed over in its turn if it needs them).
        auto cycles = cycles_of(prerequisites);
        if (cycles.empty()) {
            for (const auto& [name, waiting] : prerequisites) cycles[name] = {name};  // never: see cycles_of
        }
        for (auto& [name, cycle] : cycles) {
            plan.passed_over.push_back({name, DependencyCycle{std::move(cycle)}});
            prerequisites.erase(name);
        }
        for (auto& [name, waiting] : prerequisites) {
            for (const auto& [member, cycle] : cycles) waiting.erase(member);
        }
    }
}

std::optional<Error> unmet_need(const Plan& plan, const std::string& name, const std::set<std::string>& started) {
    auto needs = plan.needs.find(name);
    if (needs == plan.needs.end()) return std::nullopt;
    for (const Need& need : needs->second) {
        if (!need.known) return Error{MissingNeed{name, need.name}};
        bool met = std::any_of(need.met_by.begin(), need.met_by.end(),
                               [&](const std::string& service) { return started.count(service) != 0; });
        if (!met) return Error{NeedPassedOver{name, need.name}};
    }
    return std::nullopt;
}

Result<Plan, Error> current_plan(const Directories& directories, std::vector<Error>& skipped, const OtherChild& other) {
    auto names = enabled_names(directories.enabled_dir, &skipped);
    if (!names) return fail(std::move(names.error()));
    return plan_start(directories, *names, [&](const std::string& name, const std::string& path) {
        return query_metadata(directories, name, path, other);
    });
}

}  // namespace admin
