#include "daemons.hpp"

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "fd.hpp"
#include "text.hpp"

namespace daemons {

namespace {

// A machine with more processes than this is not one whose boot this would help.
constexpr size_t kMaxProcesses = 65536;

}  // namespace

std::optional<Process> read_process(pid_t pid) {
    auto stat = vesko::read_file("/proc/" + std::to_string(pid) + "/stat");
    if (!stat) return std::nullopt;
    // "PID (COMMAND) STATE PARENT GROUP SESSION ...": the command may hold any byte but NUL,
    // ')' included, so the last ')' ends it.
    size_t open = stat->find('('), close = stat->rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) return std::nullopt;
    std::vector<std::string_view> fields = vesko::split_fields(std::string_view(*stat).substr(close + 1));
    if (fields.size() < 4 || fields[0].size() != 1) return std::nullopt;
    auto parent = vesko::parse_unsigned(fields[1], INT32_MAX), session = vesko::parse_unsigned(fields[3], INT32_MAX);
    if (!parent || !session) return std::nullopt;
    return Process{pid, stat->substr(open + 1, close - open - 1), fields[0][0], static_cast<pid_t>(*parent),
                   static_cast<pid_t>(*session)};
}

std::vector<Process> processes() {
    std::vector<Process> found;
    std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir("/proc"), ::closedir);
    if (!listing) return found;
    while (const dirent* entry = ::readdir(listing.get())) {
        std::optional<uint64_t> pid = vesko::parse_unsigned(entry->d_name, INT32_MAX);
        if (!pid || entry->d_name[0] == '+' || found.size() == kMaxProcesses) continue;
        if (auto process = read_process(static_cast<pid_t>(*pid))) found.push_back(std::move(*process));
    }
    return found;
}

void Watch::begin() {
    pid_t self = ::getpid();
    for (const Process& process : processes()) {
        if (process.parent == self) known_.insert(process.pid);
    }
}

void Watch::started(const std::string& service, bool succeeded) {
    pid_t self = ::getpid();
    // One that failed is the boot's to tell of; what it left is nobody's. A child that has
    // ended already is nobody's either: it may be what an earlier start left when it was
    // killed, reaped only now.
    for (const Process& process : processes()) {
        if (process.parent != self || !known_.insert(process.pid).second || !succeeded || process.state == 'Z') continue;
        Seen& seen = services_[service];
        daemons_[process.pid] = {service, vesko::shown(process.command)};
        seen.alive.push_back(process.pid);
        seen.left_daemons = true;
    }
    if (succeeded) services_.try_emplace(service);
}

std::string Watch::ended(pid_t pid, int status, const std::string& described) {
    bool stopped = WIFSIGNALED(status) && (WTERMSIG(status) == SIGTERM || WTERMSIG(status) == SIGINT ||
                                           WTERMSIG(status) == SIGHUP || WTERMSIG(status) == SIGPIPE);
    bool failed = !stopped && !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    known_.erase(pid);
    auto found = daemons_.find(pid);
    if (found == daemons_.end()) return "";
    auto [service, command] = std::move(found->second);
    daemons_.erase(found);
    Seen& seen = services_[service];
    std::erase(seen.alive, pid);
    std::string what = "daemon " + command + " (pid " + std::to_string(pid) + ") ended (" + described + ")";
    if (seen.failed.empty() && failed) seen.failed = what;
    return "veskoinit: script service " + service + ": its " + what + "\n";
}

std::string Watch::status_lines(const std::vector<std::string>& names) const {
    std::string lines;
    for (const auto& [name, seen] : services_) {
        if (!names.empty() && std::find(names.begin(), names.end(), name) == names.end()) continue;
        if (!seen.failed.empty()) {
            lines += name + " script ended - - - - - " + seen.failed + "\n";
        } else if (!seen.alive.empty()) {
            lines += name + " script running " + std::to_string(seen.alive.front()) + " - - - -\n";
        } else {
            lines += name + (seen.left_daemons ? " script done - - - - -\n" : " script started - - - - -\n");
        }
    }
    return lines;
}

}  // namespace daemons
