#include "script_error.hpp"

#include "result.hpp"
#include "text.hpp"

namespace admin {

using vesko::quoted;
using vesko::shown;

std::string display(const Error& error) {
    auto os = [](const vesko::OsError& e) { return e.display(); };
    return std::visit(
        vesko::Overloaded{
            [](const InvalidServiceName& e) { return "invalid service name " + quoted(e.name) + ": " + e.reason; },
            [](const ServiceNotFound& e) {
                return "service " + quoted(e.name) + " does not exist in " + shown(e.directory);
            },
            [&](const CreateDirectory& e) { return "cannot create " + shown(e.directory) + ": " + os(e.os); },
            [&](const Inspect& e) { return "cannot inspect " + shown(e.path) + ": " + os(e.os); },
            [](const NotSymlink& e) {
                return "cannot enable service because " + shown(e.link) + " is not a symlink";
            },
            [](const WrongEnableTarget& e) {
                return "enable symlink " + shown(e.link) + " points to " + shown(e.found) + ", expected " +
                       shown(e.expected);
            },
            [](const EnabledEntryNotSymlink& e) { return "enabled service entry " + shown(e.path) + " is not a symlink"; },
            [&](const CreateEnableLink& e) { return "cannot create enable symlink " + shown(e.link) + ": " + os(e.os); },
            [&](const RemoveEnableLink& e) { return "cannot remove enable symlink " + shown(e.link) + ": " + os(e.os); },
            [&](const ReadDirectory& e) { return "cannot read " + shown(e.directory) + ": " + os(e.os); },
            [&](const ReadDirectoryEntry& e) { return "cannot read an entry in " + shown(e.directory) + ": " + os(e.os); },
            [&](const LocateExecutable& e) { return "cannot locate the vesko executable: " + os(e.os); },
            [&](const RunAction& e) { return "cannot run " + e.action + " for " + e.name + ": " + os(e.os); },
            [](const ActionFailed& e) { return e.action + " for " + e.name + " failed with status " + e.status; },
            [](const ActionTimedOut& e) {
                return e.action + " for " + e.name + " timed out after " + std::to_string(e.seconds) + " seconds";
            },
            [](const InvalidMetadata& e) { return "invalid dependency metadata from " + e.name + ": " + e.reason; },
            [](const InvalidNeed& e) {
                return "service " + e.name + " needs " + vesko::quoted(e.needed) + ", which cannot be a service here: " +
                       kNameRule;
            },
            [](const MissingNeed& e) {
                return "service " + e.name + " needs " + e.needed + ", but " + e.needed + " is not enabled";
            },
            [](const NeedPassedOver& e) { return "service " + e.name + " needs " + e.needed + ", which was passed over"; },
            [](const DependencyCycle& e) {
                return "enabled script services have a dependency cycle involving: " + vesko::join(e.names, ", ");
            },
            [&](const WriteStatus& e) { return "cannot write status output: " + os(e.os); },
            [&](const RefusedUnit& e) { return "cannot enable unit " + vesko::shown(e.unit) + ": " + e.why; },
        },
        error);
}

}  // namespace admin
