// Script services: what can go wrong with their directories and enable links, their actions,
// their dependency order, their start and stop, and the vesko-service command: one set of
// kinds shared by the modules that handle them (script_dirs, script_action, script_order,
// script_boot and admin), since why a service is passed over may come from any of them.
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "os_error.hpp"

namespace admin {

inline constexpr const char* kNameRule =
    "service names must begin with a lowercase letter and contain only lowercase letters, digits, and hyphens";
inline constexpr const char* kNameNotUtf8 = "service names must be valid UTF-8";

struct InvalidServiceName {
    std::string name;
    const char* reason;
};
struct ServiceNotFound {
    std::string name;
    std::string directory;
};
struct CreateDirectory {
    std::string directory;
    vesko::OsError os;
};
struct Inspect {
    std::string path;
    vesko::OsError os;
};
struct NotSymlink {
    std::string link;
};
struct WrongEnableTarget {
    std::string link;
    std::string found;
    std::string expected;
};
struct EnabledEntryNotSymlink {
    std::string path;
};
struct CreateEnableLink {
    std::string link;
    vesko::OsError os;
};
struct RemoveEnableLink {
    std::string link;
    vesko::OsError os;
};
struct ReadDirectory {
    std::string directory;
    vesko::OsError os;
};
struct ReadDirectoryEntry {
    std::string directory;
    vesko::OsError os;
};
struct LocateExecutable {
    vesko::OsError os;
};
struct RunAction {
    std::string action;
    std::string name;
    vesko::OsError os;
};
// STATUS is the exit code in decimal, or "signal".
struct ActionFailed {
    std::string action;
    std::string name;
    std::string status;
};
// Process 1 waited SECONDS for the action and then killed it.
struct ActionTimedOut {
    std::string action;
    std::string name;
    long seconds;
};
struct InvalidMetadata {
    std::string name;
    const char* reason;
};
// A need of a name that no service can have here (OpenRC's net.lo, for one).
struct InvalidNeed {
    std::string name;
    std::string needed;
};
struct MissingNeed {
    std::string name;
    std::string needed;
};
// Every service that could meet a need of NAME was passed over.
struct NeedPassedOver {
    std::string name;
    std::string needed;
};
struct DependencyCycle {
    std::vector<std::string> names;
};
// A unit that vesko-service does not enable: WHY says what of it cannot run here.
struct RefusedUnit {
    std::string unit;
    std::string why;
};
struct WriteStatus {
    vesko::OsError os;
};
using Error = std::variant<InvalidServiceName, ServiceNotFound, CreateDirectory, Inspect, NotSymlink,
                           WrongEnableTarget, EnabledEntryNotSymlink, CreateEnableLink, RemoveEnableLink,
                           ReadDirectory, ReadDirectoryEntry, LocateExecutable, RunAction, ActionFailed,
                           ActionTimedOut, InvalidMetadata, InvalidNeed, MissingNeed, NeedPassedOver, DependencyCycle,
                           WriteStatus, RefusedUnit>;

std::string display(const Error& error);

}  // namespace admin
