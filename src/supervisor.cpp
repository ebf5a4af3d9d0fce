#include "supervisor.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <time.h>

#include <algorithm>
#include <limits>
#include <set>

#include "fd.hpp"
#include "daemons.hpp"
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
    supervisor.waiting_ = catalog.start_order;
    supervisor.advance();
    return supervisor;
}

void Supervisor::advance() {
    if (advancing_) {
        advance_again_ = true;
        return;
    }
    advancing_ = true;
    do {
        advance_again_ = false;
        std::vector<std::string> waiting = std::exchange(waiting_, {});
        std::set<std::string> pending(waiting.begin(), waiting.end());
        for (const std::string& name : waiting) {
            auto definition = catalog_->services.find(name);
            pending.erase(name);
            if (definition == catalog_->services.end()) continue;
            std::optional<Error> failure;
            bool blocked = false;
            for (const std::string& required : definition->second.requires_) {
                State state = records_[required].state;
                if (pending.count(required) != 0 || state == State::Starting) {
                    blocked = true;
                } else if (state != State::Running) {
                    failure = RequiredPassedOver{name, required};
                    break;
                }
            }
            for (const std::string& before : definition->second.after) {
                auto other = records_.find(before);
                blocked = blocked || pending.count(before) != 0 ||
                          (other != records_.end() && other->second.state == State::Starting);
            }
            if (blocked && !failure) {
                waiting_.push_back(name);
                pending.insert(name);
                continue;
            }
            if (!failure) {
                auto started = start_service(name);
                if (!started) failure = std::move(started.error());
            }
            Record& record = records_[name];
            // Started all the same (an id that does not fit, or one recorded twice): it runs.
            if (!failure || record.state == State::Running) continue;
            record.state = State::Failed;
            record.why = display(*failure);
            print_err("veskoinit: warning: passing over service " + name + ": " + record.why + "\n");
        }
    } while (advance_again_);
    advancing_ = false;
}

Result<void, Error> Supervisor::start_service(const std::string& name) {
    const service::Service& definition = catalog_->services.at(name);
    Record& record = records_[name];
    auto failed = [&](Error failure) {
        record.state = State::Failed;
        record.why = display(failure);
        launches_.erase(name);
        return fail(std::move(failure));
    };
    kill_start_commands(name);
    launches_.erase(name);
    record.notify.reset();
    record.ready_by = vesko::deadline_after(definition.settings.ready_timeout * 1000L);
    record.awaiting_ready = record.pid_file_pending = record.warned = record.failed_start = false;
    record.stopping.reset();
    record.killed = false;
    record.step = 0;
    ++record.generation;
    // A service without settings runs with process 1's own environment, as root.
    if (definition.settings != service::Settings{}) {
        std::vector<std::pair<std::string, std::string>> extra;
        if (definition.settings.type == service::Type::Notify) {
            auto socket = readiness::open_socket();
            if (!socket) return failed(Prepare{name, "cannot open its notification socket: " + socket.error().display()});
            record.notify = std::make_shared<readiness::Socket>(std::move(*socket));
            extra.emplace_back("NOTIFY_SOCKET", record.notify->address);
        }
        auto made = launch::prepare(definition.settings, extra);
        if (!made) return failed(Prepare{name, std::move(made.error())});
        launches_.insert_or_assign(name, std::move(*made));
    }
    record.state = State::Starting;
    record.why.clear();
    record.older = false;
    return next_step(name);
}

Result<void, Error> Supervisor::next_step(const std::string& name) {
    const service::Settings& settings = catalog_->services.at(name).settings;
    Record& record = records_[name];
    if (record.step < settings.before_start.size()) {
        auto spawned = spawn_command(name, settings.before_start[record.step++], Step::BeforeStart);
        if (!spawned) {
            record.state = State::Failed;
            record.why = display(spawned.error());
            return fail(std::move(spawned.error()));
        }
        return {};
    }
    return spawn_program(name);
}

Result<pid_t, Error> Supervisor::spawn_command(const std::string& name, const std::vector<std::string>& command,
                                               Step step) {
    const Record& record = records_[name];
    auto launched = launch_for(name);
    if (!launched) return fail(std::move(launched.error()));
    const launch::Launch* found = *launched;
    auto definition = catalog_->services.find(name);
    vesko::SpawnOptions options = found != nullptr ? found->options(definition->second.settings) : vesko::SpawnOptions{};
    options.new_session = true;
    // $MAINPID in an argument is the main process's id, as the variable is in its environment.
    std::string main = record.pid > 0 ? std::to_string(record.pid) : "";
    std::vector<std::string> environment = found != nullptr ? found->environment : vesko::environment_with({});
    environment.push_back("MAINPID=" + main);
    options.environment = &environment;
    bool expand = definition != catalog_->services.end() && definition->second.settings.expand_variables;
    std::vector<std::string> argv = expand ? launch::expand_variables(command, environment) : command;
    for (std::string& argument : expand ? std::vector<std::string>{} : argv) {
        for (size_t at = argument.find("$MAINPID"); at != std::string::npos;
             at = argument.find("$MAINPID", at + main.size())) {
            argument.replace(at, 8, main);
        }
    }
    if (argv.empty()) return fail(Error{Spawn{name, command[0], vesko::OsError{ENOENT}}});
    auto pid = vesko::spawn(argv, options);
    if (!pid) return fail(Error{Spawn{name, argv[0], pid.error()}});
    commands_[*pid] = Command{name, step, record.generation};
    return *pid;
}

Result<const launch::Launch*, Error> Supervisor::launch_for(const std::string& name) {
    auto found = launches_.find(name);
    if (found != launches_.end()) return &found->second;
    auto definition = catalog_->services.find(name);
    if (definition == catalog_->services.end() || definition->second.settings == service::Settings{}) {
        return static_cast<const launch::Launch*>(nullptr);
    }
    auto made = launch::prepare(definition->second.settings);
    if (!made) return fail(Error{Prepare{name, std::move(made.error())}});
    return &launches_.insert_or_assign(name, std::move(*made)).first->second;
}

void Supervisor::kill_start_commands(const std::string& name) {
    for (const auto& [pid, command] : commands_) {
        if (command.service != name || (command.step != Step::BeforeStart && command.step != Step::AfterStart)) continue;
        (void)::kill(-pid, SIGKILL);
        (void)::kill(pid, SIGKILL);
    }
}

bool Supervisor::may_be_main(const std::string& name, pid_t pid) const {
    auto process = daemons::read_process(pid);
    if (!process || process->parent != getpid() || tracked(pid)) return false;
    uid_t uid = uid_of(name);
    struct stat info;
    return uid == 0 || (stat(("/proc/" + std::to_string(pid)).c_str(), &info) == 0 && info.st_uid == uid);
}

Result<void, Error> Supervisor::spawn_program(const std::string& name) {
    const service::Service& definition = catalog_->services.at(name);
    auto launched = launches_.find(name);
    vesko::SpawnOptions options =
        launched != launches_.end() ? launched->second.options(definition.settings) : vesko::SpawnOptions{};
    // Each service leads a session of its own: a service that signals its process group
    // (a shell's `kill 0`) must not reach process 1, which would take SIGINT, SIGTERM, SIGPWR
    // or SIGUSR1 for a power request; and a getty or shell can make its terminal its own.
    options.new_session = true;
    if (definition.on_console && console_ >= 0) {
        options.redirects = {{console_, STDIN_FILENO}, {console_, STDOUT_FILENO}, {console_, STDERR_FILENO}};
        options.controlling_terminal = STDIN_FILENO;
    }
    std::vector<std::string> command = definition.command;
    if (definition.settings.expand_variables && launched != launches_.end()) {
        command = launch::expand_variables(command, launched->second.environment);
    }
    // A unit's command whose first word was a variable that is unset has nothing to run.
    auto pid = command.empty() ? Result<pid_t, vesko::OsError>(fail(vesko::OsError{ENOENT})) : vesko::spawn(command, options);
    Record& record = records_[name];
    if (!pid) {
        Error failure = Spawn{name, definition.command[0], pid.error()};
        record.state = State::Failed;
        record.why = display(failure);
        return fail(std::move(failure));
    }
    bool simple = definition.settings.type == service::Type::Simple;
    record.state = simple ? State::Running : State::Starting;
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
    if (simple) {
        became_ready(name);
    } else if (definition.settings.type == service::Type::Oneshot) {
        record.ready_by.reset();  // a one-shot program takes the time it takes
    } else {
        record.awaiting_ready = definition.settings.type == service::Type::Notify;
    }
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
    if (auto command = commands_.find(pid); command != commands_.end()) {
        std::string label = "command of service " + command->second.service;
        commands_.erase(command);
        return label;
    }
    auto found = running_.find(pid);
    if (found == running_.end()) return "";
    std::string label = "service " + found->second;
    Record& record = records_[found->second];
    record.notify.reset();
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
        if (commands_.count(pid) != 0) {
            command_ended(pid, exit);
            continue;
        }
        bool main = pid == main_pid_;
        std::string name = main ? "" : running_.at(pid);
        bool starting = !main && records_[name].state == State::Starting && !records_[name].stopping;
        std::optional<ExitStatus> last = main ? std::nullopt : records_[name].last;
        std::string label = forget(pid, exit);
        print_err("veskoinit: " + label + " exited (" + exit.description() + ")\n");
        if (main) continue;
        if (starting) {
            program_ended_while_starting(name, exit, last);
            continue;
        }
        auto restarted = service_ended(name, exit);
        if (!restarted) return fail(std::move(restarted.error()));
    }
}

void Supervisor::program_ended_while_starting(const std::string& name, ExitStatus exit,
                                              std::optional<ExitStatus> last) {
    if (catalog_->services.count(name) == 0) return;  // a reload took its file away
    const service::Settings& settings = catalog_->services.at(name).settings;
    Record& record = records_[name];
    std::string why = "it " + exit.description() + " before it was ready";
    if (succeeded(name, exit) && settings.type == service::Type::Oneshot) {
        record.state = State::Starting;
        became_ready(name);
        return;
    }
    if (succeeded(name, exit) && settings.type == service::Type::Forking) {
        // Its main process is the one the pid file names, which process 1 takes over when its
        // parent ends; the file is read again until then (add_descriptors), within the time.
        record.state = State::Starting;
        record.last = last;  // the first process's end is part of the start
        record.pid_file_pending = true;
        (void)take_pid_file(name);
        return;
    }
    record.why = why;
    auto restarted = service_ended(name, exit);
    if (!restarted) print_err("veskoinit: warning: " + display(restarted.error()) + "\n");
    if (records_[name].state == State::Starting || records_[name].state == State::Running) return;
    start_failed(name, why);
}

bool Supervisor::take_pid_file(const std::string& name) {
    Record& record = records_[name];
    uid_t uid = uid_of(name);
    auto pid = readiness::read_pid_file(catalog_->services.at(name).settings.pid_file, uid);
    if (!pid || !may_be_main(name, *pid)) {
        record.why = pid ? "the process its pid file names (" + std::to_string(*pid) + ") is not one of its own" : pid.error();
        return false;
    }
    record.pid_file_pending = false;
    record.why.clear();
    record.pid = *pid;
    running_.emplace(*pid, name);
    print_err("veskoinit: service " + name + " runs as pid " + std::to_string(*pid) + "\n");
    became_ready(name);
    return true;
}

bool Supervisor::succeeded(const std::string& name, ExitStatus exit) const {
    if (exit.clean()) return true;
    auto definition = catalog_->services.find(name);
    if (definition == catalog_->services.end()) return false;
    const service::Settings& settings = definition->second.settings;
    unsigned word = static_cast<unsigned>(exit.raw);
    const std::vector<int>& listed = (word & 0x7f) == 0 ? settings.success_exit_codes : settings.success_signals;
    int value = (word & 0x7f) == 0 ? static_cast<int>((word >> 8) & 0xff) : static_cast<int>(word & 0x7f);
    return std::find(listed.begin(), listed.end(), value) != listed.end();
}

void Supervisor::became_ready(const std::string& name) {
    if (catalog_->services.count(name) == 0) return;  // a reload took its file away
    const service::Settings& settings = catalog_->services.at(name).settings;
    Record& record = records_[name];
    record.awaiting_ready = false;
    size_t after = record.step - std::min(record.step, settings.before_start.size());
    if (after < settings.after_start.size()) {
        if (!record.ready_by) record.ready_by = vesko::deadline_after(settings.ready_timeout * 1000L);
        ++record.step;
        record.state = State::Starting;
        auto spawned = spawn_command(name, settings.after_start[after], Step::AfterStart);
        if (!spawned) start_failed(name, display(spawned.error()));
        return;
    }
    record.state = State::Running;
    record.ready_by.reset();
    if (settings.type != service::Type::Simple || !settings.after_start.empty()) {
        print_err("veskoinit: service " + name + " is ready\n");
    }
    advance();
}

void Supervisor::start_failed(const std::string& name, const std::string& why) {
    Record& record = records_[name];
    kill_start_commands(name);
    record.ready_by.reset();
    record.awaiting_ready = record.pid_file_pending = false;
    record.why = why;
    print_err("veskoinit: warning: service " + name + " failed to start: " + why + "\n");
    if (record.pid > 0 && running_.count(record.pid) != 0) {
        record.failed_start = true;
        record.restart = false;
        if (begin_stop(name, record, ": its start failed")) return;
    }
    record.state = State::Failed;
    launches_.erase(name);
    advance();
}

void Supervisor::command_ended(pid_t pid, ExitStatus exit) {
    Command command = commands_.at(pid);
    commands_.erase(pid);
    bool current = records_.count(command.service) != 0 && records_[command.service].generation == command.generation;
    const std::string& name = command.service;
    auto definition = catalog_->services.find(name);
    Record& record = records_[name];
    const char* what = command.step == Step::BeforeStart  ? "before-start command"
                       : command.step == Step::AfterStart ? "after-start command"
                       : command.step == Step::Stop       ? "stop command"
                                                          : "reload command";
    const std::vector<bool>& ignored = definition != catalog_->services.end()
                                           ? definition->second.settings.failure_ignored
                                           : std::vector<bool>{};
    bool start_step = command.step == Step::BeforeStart || command.step == Step::AfterStart;
    bool may_fail = start_step && current && record.step > 0 && record.step - 1 < ignored.size() &&
                    ignored[record.step - 1];
    bool ok = exit.clean() || may_fail;
    if ((!exit.clean() && (current || !start_step)) || command.step == Step::Reload) {
        print_err("veskoinit: " + std::string(what) + " of service " + name + " " + exit.description() + "\n");
    }
    if (definition == catalog_->services.end()) return;
    bool starting = current && record.state == State::Starting && !record.stopping;
    if (command.step == Step::Stop) {
        // The stop command has done what it does; what still runs gets the stop signal.
        if (record.stopping && record.pid > 0) {
            (void)signal_service(name, record.pid, definition->second.settings.stop_signal);
            (void)signal_service(name, record.pid, SIGCONT);
        }
    } else if (command.step == Step::BeforeStart && starting) {
        if (!ok) return start_failed(name, std::string("its ") + what + " " + exit.description());
        auto next = next_step(name);
        if (!next) start_failed(name, display(next.error()));
    } else if (command.step == Step::AfterStart && starting) {
        if (!ok) return start_failed(name, std::string("its ") + what + " " + exit.description());
        became_ready(name);
    }
}

uid_t Supervisor::uid_of(const std::string& name) const {
    auto launched = launches_.find(name);
    return launched != launches_.end() && launched->second.credentials ? launched->second.credentials->uid : 0;
}

bool Supervisor::signal_service(const std::string& name, pid_t pid, int signal) const {
    if (pid <= 0) return true;
    auto definition = catalog_->services.find(name);
    bool group = definition != catalog_->services.end() &&
                 definition->second.settings.kill_mode == service::KillMode::Group;
    // A daemon that made a group of its own leads it; else only the process is reached.
    if (group && ::kill(-pid, signal) == 0) return true;
    return ::kill(pid, signal) == 0 || errno == ESRCH;
}

Result<void, Error> Supervisor::service_ended(const std::string& name, ExitStatus exit) {
    Record& record = records_[name];
    if (record.stopping) {
        // Stopped by request: never restarted by its policy; a requested restart starts it.
        record.stopping.reset();
        record.killed = false;
        record.state = record.failed_start ? State::Failed : State::Stopped;
        record.notify.reset();
        // A service whose file a reload took away is forgotten once it has stopped.
        if (catalog_->services.count(name) == 0) {
            records_.erase(name);
            advance();
            return {};
        }
        if (record.failed_start) launches_.erase(name);
        if (record.failed_start || !record.restart) {
            advance();  // what waited for it is passed over now
            return {};
        }
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
            if (succeeded(name, exit)) return {};
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
    std::vector<std::string> queued;
    for (const std::string& each : catalog_->start_order) {
        if (std::find(needed.begin(), needed.end(), each) == needed.end()) continue;
        Record& record = records_[each];
        if (record.state == State::Running || record.state == State::Starting) {
            record.restart = record.restart || (each == name && record.stopping.has_value());
            continue;
        }
        if (std::find(waiting_.begin(), waiting_.end(), each) != waiting_.end()) continue;
        record.state = State::Ended;
        waiting_.push_back(each);
        queued.push_back(each);
    }
    advance();
    std::string said;
    for (const std::string& each : queued) {
        const Record& record = records_[each];
        if (record.state == State::Failed) return fail(record.why);
        std::string pid = record.pid > 0 ? " as pid " + std::to_string(record.pid) : "";
        said += record.state == State::Running    ? "started " + each + pid + "\n"
                : record.state == State::Starting ? "starting " + each + pid + "\n"
                                                  : each + " starts once what it requires is ready\n";
    }
    return said.empty() ? name + " runs already\n" : said;
}

Result<std::string, std::string> Supervisor::request_stop(const std::string& name, bool restart) {
    if (catalog_->services.count(name) == 0) return fail("no direct service named " + quoted(name));
    Record& record = records_[name];
    bool runs = record.state == State::Running || record.state == State::Starting;
    for (const std::string& other : catalog_->start_order) {
        const auto& requires_ = catalog_->services.at(other).requires_;
        State state = records_[other].state;
        if (runs && other != name && (state == State::Running || state == State::Starting) && !restart &&
            std::find(requires_.begin(), requires_.end(), name) != requires_.end()) {
            return fail("service " + name + " is required by " + other + ", which runs: stop " + other + " first");
        }
    }
    waiting_.erase(std::remove(waiting_.begin(), waiting_.end(), name), waiting_.end());
    if (!runs || record.pid <= 0) {
        // A one-shot service that has done its work, or one that waits or runs a command
        // before its program: nothing to signal, its commands are ended.
        kill_start_commands(name);
        ++record.generation;
        record.ready_by.reset();
        record.state = State::Stopped;
        if (restart) return request_start(name);
        advance();  // what waited for it is passed over
        return runs ? "stopped " + name + "\n" : name + " does not run\n";
    }
    record.restart = restart;
    auto begun = begin_stop(name, record, " on request");
    if (!begun) return fail(std::move(begun.error()));
    return "stopping " + name + "\n";
}

Result<std::string, std::string> Supervisor::request_reload(const std::string& name) {
    auto definition = catalog_->services.find(name);
    if (definition == catalog_->services.end()) return fail("no direct service named " + quoted(name));
    Record& record = records_[name];
    if (record.state != State::Running || record.pid <= 0 || record.stopping) return fail(name + " does not run");
    const std::vector<std::string>& command = definition->second.settings.reload_command;
    if (!command.empty()) {
        auto spawned = spawn_command(name, command, Step::Reload);
        if (!spawned) return fail(display(spawned.error()));
        print_err("veskoinit: reloading service " + name + " on request\n");
        return "reloading " + name + "\n";
    }
    if (::kill(record.pid, SIGHUP) != 0) return fail(display(Error{Signal{SIGHUP, name, record.pid, vesko::last_os_error()}}));
    print_err("veskoinit: sent SIGHUP to service " + name + " on request\n");
    return "sent SIGHUP to " + name + "\n";
}

Result<void, std::string> Supervisor::begin_stop(const std::string& name, Record& record, const char* why) {
    if (record.stopping || record.pid <= 0) return {};
    auto definition = catalog_->services.find(name);
    const service::Settings settings =
        definition != catalog_->services.end() ? definition->second.settings : service::Settings{};
    // With a stop command the signal follows once the command has ended (command_ended).
    bool by_command = !settings.stop_command.empty() && spawn_command(name, settings.stop_command, Step::Stop).ok();
    if (!by_command) {
        if (!signal_service(name, record.pid, settings.stop_signal)) {
            return fail(display(Error{Signal{settings.stop_signal, name, record.pid, vesko::last_os_error()}}));
        }
        (void)signal_service(name, record.pid, SIGCONT);
    }
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
        if ((record.state != State::Running && record.state != State::Starting) || record.pid <= 0) {
            kill_start_commands(name);
            launches_.erase(name);
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
        } else if (!(before->second == catalog_->services.at(name)) &&
                   (records_[name].state == State::Running || records_[name].state == State::Starting)) {
            records_[name].older = true;
            said += name + " runs an older definition until it is restarted\n";
        }
    }
    return done;
}

long Supervisor::kill_overdue_stops() {
    long next = -1;
    for (auto& [name, record] : records_) {
        if (!record.stopping || record.killed || record.pid <= 0) continue;
        if (vesko::passed(*record.stopping)) {
            print_err("veskoinit: service " + name + " did not stop within 10 seconds; sending SIGKILL\n");
            (void)signal_service(name, record.pid, SIGKILL);
            record.killed = true;
            continue;
        }
        long left = vesko::milliseconds_left(*record.stopping);
        next = next < 0 ? left : std::min(next, left);
    }
    return next;
}

long Supervisor::add_descriptors(std::vector<pollfd>& fds) {
    constexpr long kPidFileRetryMs = 100;
    long next = -1;
    auto sooner = [&next](long ms) { next = next < 0 ? ms : std::min(next, ms); };
    std::vector<std::string> late, pending;
    notify_order_.clear();
    for (auto& [name, record] : records_) {
        if (record.state == State::Starting && record.ready_by && !record.stopping) {
            if (vesko::passed(*record.ready_by)) {
                late.push_back(name);
                continue;
            }
            sooner(vesko::milliseconds_left(*record.ready_by));
            if (record.pid_file_pending) pending.push_back(name);
        }
        if (record.notify) {
            fds.push_back({record.notify->fd.get(), POLLIN, 0});
            notify_order_.push_back(name);
        }
    }
    for (const std::string& name : pending) {
        if (catalog_->services.count(name) != 0 && !take_pid_file(name)) sooner(kPidFileRetryMs);
    }
    for (const std::string& name : late) {
        auto definition = catalog_->services.find(name);
        unsigned seconds = definition != catalog_->services.end() ? definition->second.settings.ready_timeout : 0;
        Record& record = records_[name];
        std::string why = "it was not ready within " + std::to_string(seconds) + " seconds";
        if (record.pid_file_pending && !record.why.empty()) why += " (" + record.why + ")";
        start_failed(name, why);
    }
    return late.empty() ? next : 0;
}

void Supervisor::serve(const pollfd* fds) {
    for (size_t i = 0; i < notify_order_.size(); ++i) {
        if ((fds[i].revents & POLLIN) == 0) continue;
        auto found = records_.find(notify_order_[i]);
        if (found == records_.end()) continue;
        const std::string& name = found->first;
        Record& record = found->second;
        auto definition = catalog_->services.find(name);
        // A bounded number at a time, so that a chatty daemon cannot hold the loop; what a
        // service whose file is gone says is read and dropped.
        for (int count = 0; count < 16 && record.notify; ++count) {
            auto message = readiness::receive(record.notify->fd);
            if (!message) break;
            if (definition == catalog_->services.end() || record.pid <= 0) continue;
            bool trusted = message->sender == record.pid;
            if (!trusted && definition->second.settings.notify_access == service::NotifyAccess::All) {
                auto sender = daemons::read_process(message->sender);
                auto main = daemons::read_process(record.pid);
                trusted = sender && main && sender->session == main->session;
            }
            if (!trusted) {
                if (!record.warned) {
                    print_err("veskoinit: warning: ignored a notification for service " + name + " from pid " +
                              std::to_string(message->sender) + " (and any more from others until its next start)\n");
                }
                record.warned = true;
                continue;
            }
            // Another main process, when it is one of the service's own.
            if (message->main_pid != 0 && message->main_pid != record.pid && !record.stopping &&
                may_be_main(name, message->main_pid)) {
                running_.erase(record.pid);
                record.pid = message->main_pid;
                running_.emplace(record.pid, name);
            }
            if (message->ready && record.awaiting_ready && !record.stopping) became_ready(name);
        }
    }
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
    waiting_.clear();  // nothing starts any more
    for (const Stop& stop : stops) {
        if (!tracked(stop.pid)) continue;  // reaped meanwhile: its id may be another's by now
        auto definition = stop.pid == main_pid_ ? catalog_->services.end() : catalog_->services.find(stop.name);
        const service::Settings settings =
            definition != catalog_->services.end() ? definition->second.settings : service::Settings{};
        if (!settings.stop_command.empty()) {
            // Half the time for the command; then it is ended and the signal follows.
            auto command = spawn_command(stop.name, settings.stop_command, Step::Stop);
            if (command) {
                auto ended = wait_until_stopped(*command, kTermSeconds / 2);
                if (!ended) return fail(std::move(ended.error()));
                if (!*ended) (void)(::kill(-*command, SIGKILL) == 0 || ::kill(*command, SIGKILL) == 0);
            }
            if (!tracked(stop.pid)) continue;
        }
        if (!(stop.pid == main_pid_ ? ::kill(stop.pid, settings.stop_signal) == 0 || errno == ESRCH
                                    : signal_service(stop.name, stop.pid, settings.stop_signal))) {
            vesko::OsError os = vesko::last_os_error();
            std::string signal = "signal " + std::to_string(settings.stop_signal);
            if (settings.stop_signal == SIGTERM) signal = "SIGTERM";
            print_err("veskoinit: warning: cannot send " + signal + " to " + stop.label + " (pid " +
                      std::to_string(stop.pid) + "): " + os.display() + "\n");
            remember(stop.name, stop.pid, settings.stop_signal, os);
        }
        auto gone = wait_until_stopped(stop.pid, kTermSeconds);
        if (!gone) return fail(std::move(gone.error()));
        if (*gone) {
            vesko::mark_time("stop of " + stop.label);
            continue;
        }
        print_err("veskoinit: " + stop.label + " did not stop within " + std::to_string(kTermSeconds) +
                  " seconds; sending SIGKILL\n");
        if (!(stop.pid == main_pid_ ? ::kill(stop.pid, SIGKILL) == 0 || errno == ESRCH
                                    : signal_service(stop.name, stop.pid, SIGKILL))) {
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
