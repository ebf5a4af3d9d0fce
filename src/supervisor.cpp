#include "supervisor.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <time.h>

#include <algorithm>
#include <limits>

#include "fd.hpp"
#include "launch.hpp"
#include "spawn.hpp"
#include "text.hpp"

namespace supervisor {

using vesko::fail;
using vesko::print_err;
using vesko::quoted;
using vesko::Result;

std::string ExitStatus::description() const {
    unsigned word = static_cast<unsigned>(raw);
    unsigned low7 = word & 0x7f;
    if (low7 == 0) return "exited with status " + std::to_string((word >> 8) & 0xff);
    if (low7 != 0x7f) return "killed by signal " + std::to_string(low7);
    if ((word & 0xff) == 0x7f) return "stopped by signal " + std::to_string((word >> 8) & 0xff);
    if (word == 0xffff) return "continued";
    return "unknown wait status 0x" + vesko::hex(word);
}

int ExitStatus::shell_status() const {
    unsigned word = static_cast<unsigned>(raw);
    return (word & 0x7f) == 0 ? static_cast<int>((word >> 8) & 0xff) : 128 + static_cast<int>(word & 0x7f);
}

std::string display(const Error& error) {
    return std::visit(
        vesko::Overloaded{
            [](const Spawn& e) {
                return "cannot start service " + quoted(e.service) + " using " + quoted(e.executable) + ": " +
                       e.os.display();
            },
            [](const Prepare& e) { return "cannot start service " + quoted(e.service) + ": " + e.why; },
            [](const PidOutOfRange& e) {
                return "cannot track service " + quoted(e.service) + ": child id " +
                       std::to_string(static_cast<uint32_t>(e.child)) + " does not fit pid_t";
            },
            [](const DuplicatePid& e) {
                return "pid " + std::to_string(e.pid) + " was assigned to both " + quoted(e.recorded) + " and " +
                       quoted(e.added);
            },
            [](const Signal& e) {
                return "cannot send signal " + std::to_string(e.signal) + " to service " + quoted(e.service) +
                       " (pid " + std::to_string(e.pid) + "): " + e.os.display();
            },
            [](const System& e) { return std::string(e.call) + " failed: " + e.os.display(); },
            [](const StartMain& e) {
                return "cannot start the main program " + quoted(e.executable) + ": " + e.os.display();
            },
            [](const RequiredPassedOver& e) {
                return "service " + quoted(e.service) + " requires " + quoted(e.required) + ", which was passed over";
            },
        },
        error);
}

std::string adopted_child_line(pid_t pid, ExitStatus status, bool during_shutdown) {
    return "veskoinit: reaped adopted child " + std::to_string(pid) + (during_shutdown ? " during shutdown" : "") +
           " (" + status.description() + ")\n";
}

namespace {

Error system_error(const char* call) { return System{call, vesko::last_os_error()}; }

// One non-blocking wait for any child: the pid and status of an ended child, 0 when none has
// ended, or -1 with errno set (EINTR already retried).
pid_t wait_any(int& status) {
    for (;;) {
        pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid >= 0 || errno != EINTR) return pid;
    }
}

// Sleeps MS milliseconds, or less when PROCESS (a pidfd, if valid) ends first.
void wait_step(const vesko::Fd& process, int ms) {
    if (process.valid()) {
        pollfd ready{process.get(), POLLIN, 0};
        if (poll(&ready, 1, ms) >= 0 || errno != EINTR) return;
    }
    timespec interval{0, ms * 1000000L};
    while (nanosleep(&interval, &interval) != 0 && errno == EINTR) {
    }
}

}  // namespace

Supervisor Supervisor::start_all(const service::Catalog& catalog, int console) {
    Supervisor supervisor(catalog, console);
    for (const std::string& name : catalog.start_order) {
        std::optional<Error> failure;
        for (const std::string& required : catalog.services.at(name).requires_) {
            if (supervisor.records_[required].state == State::Failed) {
                failure = RequiredPassedOver{name, required};
                break;
            }
        }
        if (!failure) {
            auto started = supervisor.start_service(name);
            if (!started) failure = std::move(started.error());
        }
        Record& record = supervisor.records_[name];
        // Started all the same (an id that does not fit, or one recorded twice): it runs.
        if (!failure || record.state == State::Running) continue;
        record.state = State::Failed;
        record.why = display(*failure);
        print_err("veskoinit: warning: passing over service " + name + ": " + record.why + "\n");
    }
    return supervisor;
}

Result<void, Error> Supervisor::start_service(const std::string& name) {
    const service::Service& definition = catalog_->services.at(name);
    // A service without settings runs with process 1's own environment, as root.
    std::optional<launch::Launch> prepared;
    if (definition.settings != service::Settings{}) {
        auto made = launch::prepare(definition.settings);
        if (!made) {
            Error failure = Prepare{name, std::move(made.error())};
            Record& record = records_[name];
            record.state = State::Failed;
            record.why = display(failure);
            return fail(std::move(failure));
        }
        prepared = std::move(*made);
    }
    vesko::SpawnOptions options = prepared ? prepared->options(definition.settings) : vesko::SpawnOptions{};
    // Each service leads a session of its own: a service that signals its process group
    // (a shell's `kill 0`) must not reach process 1, which would take SIGINT, SIGTERM, SIGPWR
    // or SIGUSR1 for a power request; and a getty or shell can make its terminal its own.
    options.new_session = true;
    if (definition.on_console && console_ >= 0) {
        options.redirects = {{console_, STDIN_FILENO}, {console_, STDOUT_FILENO}, {console_, STDERR_FILENO}};
        options.controlling_terminal = STDIN_FILENO;
    }
    auto pid = vesko::spawn(definition.command, options);
    Record& record = records_[name];
    if (!pid) {
        Error failure = Spawn{name, definition.command[0], pid.error()};
        record.state = State::Failed;
        record.why = display(failure);
        return fail(std::move(failure));
    }
    record.state = State::Running;
    record.why.clear();
    record.older = false;
    record.pid = *pid;
    clock_gettime(CLOCK_MONOTONIC, &record.since);
    // pid_t is the platform's signed 32-bit type, so every id the kernel hands back fits it;
    // the check guards a platform where that would not hold.
    if (*pid <= 0 || *pid > std::numeric_limits<int32_t>::max()) {
        return fail(Error{PidOutOfRange{name, *pid}});
    }
    auto found = running_.find(*pid);
    if (found != running_.end()) {
        Error duplicate = DuplicatePid{*pid, std::move(found->second), name};
        found->second = name;
        return fail(std::move(duplicate));
    }
    running_.emplace(*pid, name);
    print_err("veskoinit: started service " + name + " as pid " + std::to_string(*pid) + "\n");
    return {};
}

Result<void, Error> Supervisor::start_main(const std::vector<std::string>& command, const int (&streams)[3]) {
    vesko::SpawnOptions options;
    options.foreground_group = true;
    for (int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (streams[stream] >= 0) options.redirects.emplace_back(streams[stream], stream);
    }
    auto pid = vesko::spawn(command, options);
    if (!pid) return fail(Error{StartMain{command[0], pid.error()}});
    main_label_ = "main program " + vesko::shown(command[0]);
    main_pid_ = *pid;
    print_err("veskoinit: started " + main_label_ + " as pid " + std::to_string(*pid) + "\n");
    return {};
}

std::string Supervisor::forget(pid_t pid, ExitStatus status) {
    if (main_pid_ != 0 && pid == main_pid_ && !main_ended_) {
        main_ended_ = status;
        return main_label_;
    }
    auto found = running_.find(pid);
    if (found == running_.end()) return "";
    std::string label = "service " + found->second;
    Record& record = records_[found->second];
    record.state = State::Ended;
    record.pid = 0;
    record.last = status;
    running_.erase(found);
    return label;
}

constexpr size_t kAdoptedLinesBuffer = 16 * 1024;
constexpr size_t kReapsPerPass = 1024;

Result<size_t, Error> Supervisor::reap_exited() {
    // The lines about adopted children go out together, one write for a storm of orphans
    // instead of one each; any other line first flushes them, so the order stays as it was.
    std::string adopted;
    size_t orphans = 0;
    auto flush = [&adopted] {
        if (!adopted.empty()) print_err(adopted);
        adopted.clear();
    };
    // A bounded number per call, so that process 1 looks at its requests in a storm.
    more_to_reap_ = false;
    for (size_t count = 0;; ++count) {
        if (count == kReapsPerPass) {
            more_to_reap_ = true;
            flush();
            return orphans;
        }
        int status = 0;
        pid_t pid = wait_any(status);
        if (pid == 0) {
            flush();
            return orphans;
        }
        if (pid < 0) {
            auto failure = system_error("waitpid");  // before the flush can change errno
            bool no_children = errno == ECHILD;
            flush();
            if (no_children) return orphans;
            return fail(std::move(failure));
        }
        ExitStatus exit{status};
        if (!tracked(pid)) {
            ++orphans;
            adopted += adopted_child_line(pid, exit, false);
            if (tell_adopted_) adopted += tell_adopted_(pid, exit);
            if (adopted.size() >= kAdoptedLinesBuffer) flush();
            continue;
        }
        flush();
        bool main = pid == main_pid_;
        std::string label = forget(pid, exit);
        print_err("veskoinit: " + label + " exited (" + exit.description() + ")\n");
        if (main) continue;
        auto restarted = service_ended(label.substr(std::string("service ").size()), exit);
        if (!restarted) return fail(std::move(restarted.error()));
    }
}

Result<void, Error> Supervisor::service_ended(const std::string& name, ExitStatus exit) {
    Record& record = records_[name];
    if (record.stopping) {
        // Stopped by request: never restarted by its policy; a requested restart starts it.
        record.stopping.reset();
        record.killed = false;
        record.state = State::Stopped;
        // A service whose file a reload took away is forgotten once it has stopped.
        if (catalog_->services.count(name) == 0) {
            records_.erase(name);
            return {};
        }
        if (!record.restart) return {};
        record.restart = false;
        print_err("veskoinit: starting service " + name + " again on request\n");
        auto started = start_service(name);
        if (!started) print_err("veskoinit: warning: " + display(started.error()) + "\n");
        return {};
    }
    std::string reason;
    auto definition = catalog_->services.find(name);
    if (definition == catalog_->services.end()) return {};
    switch (definition->second.restart) {
        case service::RestartPolicy::Never:
            return {};
        case service::RestartPolicy::OnFailure:
            if (exit.clean()) return {};
            reason = exit.description();
            break;
        case service::RestartPolicy::Always:
            reason = exit.clean() ? "clean exit" : exit.description();
            break;
    }
    print_err("veskoinit: restarting service " + name + " after " + reason + "\n");
    ++records_[name].restarts;
    return start_service(name);
}

Result<std::string, std::string> Supervisor::request_start(const std::string& name) {
    if (catalog_->services.count(name) == 0) return fail("no direct service named " + quoted(name));
    // The service and what it requires, each after what it requires: the catalog's order.
    std::vector<std::string> needed{name};
    for (size_t i = 0; i < needed.size(); ++i) {
        for (const std::string& required : catalog_->services.at(needed[i]).requires_) {
            if (std::find(needed.begin(), needed.end(), required) == needed.end()) needed.push_back(required);
        }
    }
    std::string said;
    for (const std::string& each : catalog_->start_order) {
        if (std::find(needed.begin(), needed.end(), each) == needed.end()) continue;
        Record& record = records_[each];
        if (record.state == State::Running) {
            record.restart = record.restart || (each == name && record.stopping.has_value());
            continue;
        }
        auto started = start_service(each);
        if (!started) return fail(display(started.error()));
        said += "started " + each + " as pid " + std::to_string(records_[each].pid) + "\n";
    }
    return said.empty() ? name + " runs already\n" : said;
}

Result<std::string, std::string> Supervisor::request_stop(const std::string& name, bool restart) {
    if (catalog_->services.count(name) == 0) return fail("no direct service named " + quoted(name));
    Record& record = records_[name];
    if (record.state != State::Running) {
        if (restart) return request_start(name);
        record.state = State::Stopped;
        return name + " does not run\n";
    }
    for (const std::string& other : catalog_->start_order) {
        const auto& requires_ = catalog_->services.at(other).requires_;
        if (other != name && records_[other].state == State::Running && !restart &&
            std::find(requires_.begin(), requires_.end(), name) != requires_.end()) {
            return fail("service " + name + " is required by " + other + ", which runs: stop " + other + " first");
        }
    }
    record.restart = restart;
    auto begun = begin_stop(name, record, " on request");
    if (!begun) return fail(std::move(begun.error()));
    return "stopping " + name + "\n";
}

Result<void, std::string> Supervisor::begin_stop(const std::string& name, Record& record, const char* why) {
    if (record.stopping) return {};
    if (::kill(record.pid, SIGTERM) != 0 && errno != ESRCH) {
        return fail(display(Error{Signal{SIGTERM, name, record.pid, vesko::last_os_error()}}));
    }
    (void)::kill(record.pid, SIGCONT);
    record.stopping = vesko::deadline_after(10000);
    print_err("veskoinit: stopping service " + name + why + "\n");
    return {};
}

Supervisor::Reloaded Supervisor::reloaded(const service::Catalog& previous) {
    Reloaded done;
    std::string& said = done.said;
    for (auto each = records_.begin(); each != records_.end();) {
        auto& [name, record] = *each;
        if (catalog_->services.count(name) != 0) {
            ++each;
            continue;
        }
        if (record.state != State::Running) {
            each = records_.erase(each);
            continue;
        }
        // Stopped as a request stops it; reap_exited forgets it when it has ended.
        record.restart = false;
        auto begun = begin_stop(name, record, ": its file is gone");
        if (!begun) done.failures.push_back(std::move(begun.error()));
        if (begun) said += "stopping " + name + ": its file is gone\n";
        ++each;
    }
    // A new service that cannot start does not keep the others from starting.
    for (const std::string& name : catalog_->start_order) {
        auto before = previous.services.find(name);
        if (before == previous.services.end()) {
            auto started = request_start(name);
            if (!started) done.failures.push_back(started.error());
            if (started) said += *started;
        } else if (!(before->second == catalog_->services.at(name)) && records_[name].state == State::Running) {
            records_[name].older = true;
            said += name + " runs an older definition until it is restarted\n";
        }
    }
    return done;
}

long Supervisor::kill_overdue_stops() {
    long next = -1;
    for (auto& [name, record] : records_) {
        if (!record.stopping || record.killed || record.state != State::Running) continue;
        if (vesko::passed(*record.stopping)) {
            print_err("veskoinit: service " + name + " did not stop within 10 seconds; sending SIGKILL\n");
            (void)::kill(record.pid, SIGKILL);
            record.killed = true;
            continue;
        }
        long left = vesko::milliseconds_left(*record.stopping);
        next = next < 0 ? left : std::min(next, left);
    }
    return next;
}

Result<void, Error> Supervisor::reap_during_shutdown() {
    // As in reap_exited, the lines about adopted children go out together. One call reaps a
    // bounded number, so that a storm of orphans cannot hold the shutdown's waits in here.
    std::string adopted;
    auto flush = [&adopted] {
        if (!adopted.empty()) print_err(adopted);
        adopted.clear();
    };
    for (size_t count = 0; count < kReapsPerPass; ++count) {
        int status = 0;
        pid_t reaped = wait_any(status);
        if (reaped == 0) break;
        if (reaped < 0) {
            auto failure = system_error("waitpid");
            bool no_children = errno == ECHILD;
            flush();
            if (!no_children) return fail(std::move(failure));
            running_.clear();  // no children at all: every service is gone
            if (main_pid_ != 0 && !main_ended_) main_ended_ = ExitStatus{};
            return {};
        }
        ExitStatus exit{status};
        std::string label = forget(reaped, exit);
        if (label.empty()) {
            adopted += adopted_child_line(reaped, exit, true);
            if (adopted.size() >= kAdoptedLinesBuffer) flush();
        } else {
            flush();
            print_err("veskoinit: stopped " + label + " (" + exit.description() + ")\n");
        }
    }
    flush();
    return {};
}

Result<bool, Error> Supervisor::wait_until_stopped(pid_t pid, unsigned timeout_seconds) {
    timespec deadline = vesko::deadline_after(timeout_seconds * 1000L);
    if (!tracked(pid)) return true;
    // The process's own descriptor becomes readable the moment it ends, so the wait between
    // two reaps is cut short then; the step stays the upper bound, for orphans too.
    vesko::Fd process(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    for (;;) {
        auto reaped = reap_during_shutdown();
        if (!reaped) return fail(std::move(reaped.error()));
        if (!tracked(pid)) return true;
        if (vesko::passed(deadline)) return false;
        wait_step(process, 25);
    }
}

Result<void, Error> Supervisor::stop_all() {
    constexpr unsigned kTermSeconds = 10;
    constexpr unsigned kKillSeconds = 2;
    std::optional<Error> remembered;
    auto remember = [&](const std::string& name, pid_t pid, int signal, vesko::OsError os) {
        if (!remembered) remembered = Error{Signal{signal, name, pid, os}};
    };
    // What to stop, the last started first: the main program, then the services in reverse
    // start order. NAME is what an error names, LABEL what the lines say.
    struct Stop {
        std::string name, label;
        pid_t pid;
    };
    std::vector<Stop> stops;
    if (tracked(main_pid_)) stops.push_back({main_label_, main_label_, main_pid_});
    // Services whose file a reload took away are in no order any longer: they go first.
    for (const auto& [pid, owner] : running_) {
        if (catalog_->services.count(owner) == 0) stops.push_back({owner, "service " + owner, pid});
    }
    const std::vector<std::string>& order = catalog_->start_order;
    for (auto name = order.rbegin(); name != order.rend(); ++name) {
        for (const auto& [pid, owner] : running_) {
            if (owner == *name) {
                stops.push_back({*name, "service " + *name, pid});
                break;
            }
        }
    }
    for (const Stop& stop : stops) {
        if (!tracked(stop.pid)) continue;  // reaped meanwhile: its id may be another's by now
        if (kill(stop.pid, SIGTERM) != 0 && errno != ESRCH) {
            vesko::OsError os = vesko::last_os_error();
            print_err("veskoinit: warning: cannot send SIGTERM to " + stop.label + " (pid " +
                      std::to_string(stop.pid) + "): " + os.display() + "\n");
            remember(stop.name, stop.pid, SIGTERM, os);
        }
        auto gone = wait_until_stopped(stop.pid, kTermSeconds);
        if (!gone) return fail(std::move(gone.error()));
        if (*gone) {
            vesko::mark_time("stop of " + stop.label);
            continue;
        }
        print_err("veskoinit: " + stop.label + " did not stop within " + std::to_string(kTermSeconds) +
                  " seconds; sending SIGKILL\n");
        if (kill(stop.pid, SIGKILL) != 0 && errno != ESRCH) {
            remember(stop.name, stop.pid, SIGKILL, vesko::last_os_error());
        }
        gone = wait_until_stopped(stop.pid, kKillSeconds);
        if (!gone) return fail(std::move(gone.error()));
        if (!*gone) print_err("veskoinit: warning: " + stop.label + " is still present after SIGKILL\n");
        vesko::mark_time("stop of " + stop.label);
    }
    if (remembered) return fail(std::move(*remembered));
    return {};
}

}  // namespace supervisor
