#include "pid1.hpp"

#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <signal.h>
#include <sys/reboot.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <utility>

#include "answers.hpp"
#include "control.hpp"
#include "daemons.hpp"
#include "fd.hpp"
#include "initctl.hpp"
#include "memory.hpp"
#include "script_boot.hpp"
#include "script_dirs.hpp"
#include "spawn.hpp"
#include "text.hpp"
#include "unit_map.hpp"

namespace pid1 {

using vesko::fail;
using vesko::print_err;
using vesko::Result;

namespace {

constexpr unsigned kSysBoot = 22;  // CAP_SYS_BOOT

// Whether process 1 of this PID namespace lacks CAP_SYS_BOOT, asked of the kernel (which any
// process may ask, with or without /proc); false when it cannot tell.
bool process_one_cannot_reboot() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 1};
    __user_cap_data_struct data[2] = {};
    if (::syscall(SYS_capget, &header, data) != 0) return false;
    return (data[0].effective >> kSysBoot & 1) == 0;
}

// Whether this process runs in the machine's initial PID namespace, where no container's
// process 1 is. The kernel gives that namespace a fixed inode number; before /proc is
// mounted, process 1 asks the kernel to keep Ctrl-Alt-Del as a request (which a machine's
// process 1 does anyway): only that namespace's process 1 may, the call is refused in any
// other (EINVAL) and without CAP_SYS_BOOT (EPERM).
bool in_initial_pid_namespace() {
    constexpr ino_t kInitialPidNamespace = 0xEFFFFFFC;  // PROC_PID_INIT_INO
    struct stat info;
    if (::stat("/proc/self/ns/pid", &info) == 0) return info.st_ino == kInitialPidNamespace;
    return ::getpid() == 1 && ::reboot(RB_DISABLE_CAD) == 0;
}

}  // namespace

bool in_container() {
    // The markers stay behind in a root exported from a container and installed on a machine,
    // and container=... on a kernel command line becomes process 1's environment: they only
    // decide for a process 1 that is not the machine's.
    if (in_initial_pid_namespace()) return false;
    return std::getenv("container") != nullptr || ::access("/run/.containerenv", F_OK) == 0 ||
           ::access("/.dockerenv", F_OK) == 0 || process_one_cannot_reboot();
}

std::string display(const Error& error) {
    return std::visit(
        vesko::Overloaded{
            [](const LoggingSetup& e) { return "logging setup failed: " + logging::display(e.error); },
            [](const FilesystemSetup& e) { return "filesystem setup failed: " + mounts::display(e.error); },
            [](const ServiceConfiguration& e) { return "service configuration is invalid: " + service::display(e.error); },
            [](const ServiceSupervision& e) { return "service supervision failed: " + supervisor::display(e.error); },
            [](const ShutdownFailed& e) { return "shutdown failed: " + shutdown::display(e.error); },
            [](const System& e) { return std::string(e.operation) + " failed: " + e.os.display(); },
            [](const ShortSignalRecord& e) {
                return "signalfd returned a short record: expected " + std::to_string(e.expected) + " bytes, got " +
                       std::to_string(e.got);
            },
        },
        error);
}

Action action_for(unsigned signal) {
    // podman's stop signal for a command that is an init (it is only served in a container).
    if (signal == static_cast<unsigned>(SIGRTMIN + 3)) return Action::PowerOff;
    switch (signal) {
        case SIGCHLD: return Action::Reap;
        case SIGINT: return Action::Reboot;
        case SIGTERM:
        case SIGPWR: return Action::PowerOff;
        case SIGUSR1: return Action::Halt;
        default: return Action::Ignore;
    }
}

const char* request_line(Action action) {
    switch (action) {
        case Action::Reboot: return "received reboot request";
        case Action::PowerOff: return "received shutdown request";
        case Action::Halt: return "received halt request";
        case Action::Reap:
        case Action::Ignore: break;
    }
    return "";
}

std::vector<std::string> add_units(service::Catalog& catalog) {
    std::vector<std::string> lines;
    try {
        std::string enabled_dir = admin::Directories::from_environment().enabled_dir;
        std::vector<admin::Error> skipped;
        auto scripts = admin::enabled_names(enabled_dir, &skipped);
        unit_map::Added added = unit_map::add_enabled(catalog, enabled_dir, scripts ? *scripts : std::vector<std::string>{},
                                                      unit_map::search_from_environment());
        if (added.units > 0 || !added.lines.empty()) {
            lines.push_back("added " + std::to_string(added.units) + " unit(s) enabled in " + vesko::shown(enabled_dir));
        }
        lines.insert(lines.end(), added.lines.begin(), added.lines.end());
    } catch (const std::bad_alloc&) {
        lines.push_back("warning: enabled units passed over: " + vesko::OsError{ENOMEM}.display());
    }
    for (const std::string& line : lines) print_err("veskoinit: " + line + "\n");
    return lines;
}

namespace {

constexpr int kServedSignals[] = {SIGCHLD, SIGINT, SIGTERM, SIGPWR, SIGUSR1};

// The console process 1 was started with, kept past the log setup: the fallback shell runs
// on it, the last lines of a shutdown and a fatal failure go there once the log has taken
// standard error.
vesko::Fd boot_console;

// Writes TEXT to standard error and, when that is no longer the console, to the console.
void tell_console_too(const std::string& text) {
    print_err(text);
    struct stat console, error;
    if (!boot_console.valid() || ::fstat(boot_console.get(), &console) != 0) return;
    if (::fstat(STDERR_FILENO, &error) == 0 && error.st_dev == console.st_dev && error.st_ino == console.st_ino) return;
    (void)vesko::write_all(boot_console.get(), text);
}

// Unless process 1 turns it off, Ctrl-Alt-Del resets the machine at once, with nothing
// stopped, synced or unmounted; turned off, the kernel sends SIGINT, a clean reboot request.
// Inside a PID namespace the call is refused with EINVAL, which is expected there.
void disable_ctrl_alt_del() {
    if (::reboot(RB_DISABLE_CAD) == 0 || errno == EINVAL) return;
    print_err("veskoinit: warning: cannot disable Ctrl-Alt-Del: " + vesko::last_os_error().display() + "\n");
}

// Reaps every ended child. A restart that cannot start its program leaves that service
// stopped with a warning: process 1 must go on reaping and serving power requests.
// ORPHANS counts the adopted children among them.
std::optional<Error> reap(supervisor::Supervisor& supervisor, size_t& orphans) {
    orphans = 0;
    for (;;) {
        auto reaped = supervisor.reap_exited();
        if (reaped) {
            orphans += *reaped;
            return std::nullopt;
        }
        if (!std::holds_alternative<supervisor::Spawn>(reaped.error())) return ServiceSupervision{reaped.error()};
        print_err("veskoinit: warning: " + supervisor::display(reaped.error()) + "\n");
    }
}

// Loads the direct services. On a machine an invalid service directory is a warning, and the
// machine boots as without service files (the fallback console, unless a main program runs
// instead), so that the script services (an ssh daemon among them) still start; without a
// fallback console program, no direct service runs. A container's process 1 fails instead,
// for its runtime to report.
Result<service::Catalog, Error> load_catalog(bool fallback, bool container) {
    auto loaded = service::Catalog::load(kServiceDirectory, fallback);
    if (loaded) {
        print_err("veskoinit: validated " + std::to_string(loaded->services.size()) + " service(s) from " +
                  kServiceDirectory + "\n");
        return std::move(*loaded);
    }
    if (container) return fail(Error{ServiceConfiguration{std::move(loaded.error())}});
    // No service files and no console program to fall back on (the fallback was tried).
    bool no_console = std::holds_alternative<service::NoFallbackConsole>(loaded.error());
    std::string why = display(ServiceConfiguration{std::move(loaded.error())});
    if (!fallback || no_console) {
        print_err("veskoinit: warning: " + why + "; no direct service is started\n");
        return service::Catalog{};
    }
    print_err("veskoinit: warning: " + why + "; starting fallback console service\n");
    auto console = service::Catalog::fallback_console();
    if (console) return std::move(*console);
    print_err("veskoinit: warning: no direct service is started: " + service::display(console.error()) + "\n");
    return service::Catalog{};
}

// "started N WHAT", or when some were passed over "started N of M WHAT; passed over: A, B".
std::string started_line(size_t started, const std::set<std::string>& passed_over, const char* what) {
    if (passed_over.empty()) return "started " + std::to_string(started) + " " + what;
    std::vector<std::string> names(passed_over.begin(), passed_over.end());
    return "started " + std::to_string(started) + " of " + std::to_string(started + names.size()) + " " + what +
           "; passed over: " + vesko::join(names, ", ");
}

shutdown::PowerRequest request_for(Action action) {
    if (action == Action::Reboot) return shutdown::PowerRequest::Reboot;
    if (action == Action::Halt) return shutdown::PowerRequest::Halt;
    return shutdown::PowerRequest::PowerOff;
}

Action action_of(shutdown::PowerRequest request) {
    if (request == shutdown::PowerRequest::Reboot) return Action::Reboot;
    if (request == shutdown::PowerRequest::Halt) return Action::Halt;
    return Action::PowerOff;
}

// What process 1 runs with once it has booted. It stays where run made it: the supervisor
// keeps a pointer to the catalog, and the reports of adopted children reach the daemons'
// watch by reference.
struct Machine {
    explicit Machine(const Start& start) : start(start) {}

    const Start& start;
    sigset_t served{};  // the signals that SIGNALS reports
    vesko::Fd signals;
    // The main program keeps the standard input and output process 1 was started with (a
    // container's `podman run -i` input), whatever the log takes.
    vesko::Fd boot_input, boot_output;
    std::optional<logging::Relay> relay;
    service::Catalog catalog;
    // What appears among process 1's children while a script service starts is its daemons.
    daemons::Watch daemons;
    // The script services that the boot passed over: with why, and by name.
    std::map<std::string, std::string> failed_scripts;
    std::set<std::string> passed_over_scripts;
    supervisor::Supervisor supervisor{catalog};
    // Run-time control (veskoctl status) and the requests of the machine's own reboot,
    // poweroff and telinit: without them the machine runs all the same.
    std::optional<control::Server> control;
    std::optional<initctl::Fifo> fifo;
    // Process 1 stays resident for the machine's whole life, but most of its code and data
    // (the TOML parser, the fstab pass, the catalog checks, what a request or a child's end
    // needed) serve only now and then: whatever woke it, an idle process 1 lets go of them.
    memory::Idle idle;
};

// Blocks the signals that process 1 serves, and opens the descriptor it reads them from.
Result<void, Error> take_signals(Machine& machine) {
    sigset_t& served = machine.served;
    if (sigemptyset(&served) != 0) return fail(Error{System{"sigemptyset", vesko::last_os_error()}});
    for (int signal : kServedSignals) {
        if (sigaddset(&served, signal) != 0) return fail(Error{System{"sigaddset", vesko::last_os_error()}});
    }
    if (machine.start.container && sigaddset(&served, SIGRTMIN + 3) != 0) {
        return fail(Error{System{"sigaddset", vesko::last_os_error()}});
    }
    if (int rc = pthread_sigmask(SIG_BLOCK, &served, nullptr); rc != 0) {
        return fail(Error{System{"pthread_sigmask", vesko::OsError{rc}}});
    }
    // A container has no Ctrl-Alt-Del of its own, and may not ask.
    if (!machine.start.container) disable_ctrl_alt_del();
    machine.signals = vesko::Fd(signalfd(-1, &served, SFD_CLOEXEC));
    if (!machine.signals.valid()) return fail(Error{System{"signalfd", vesko::last_os_error()}});
    return {};
}

// Keeps the console, and the main program's standard input and output, before the log takes
// standard error (and standard output).
void keep_boot_streams(Machine& machine) {
    boot_console = vesko::Fd(fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3));
    if (!machine.start.main_program.empty()) {
        machine.boot_input = vesko::Fd(fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3));
        machine.boot_output = vesko::Fd(fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3));
    }
}

// Mounts the file systems of the fstab and sets up the log.
Result<void, Error> set_up_filesystems_and_log(Machine& machine) {
    auto summary = mounts::mount_from_fstab(kFstabPath, machine.start.container);
    if (!summary) return fail(Error{FilesystemSetup{std::move(summary.error())}});
    bool log_in_file = logging::log_in_file(machine.start.container);
    std::string log_path = "standard output";
    if (log_in_file) {
        auto initialized = logging::initialize();
        if (!initialized) return fail(Error{LoggingSetup{std::move(initialized.error())}});
        log_path = vesko::shown(*initialized);
        // Without the relay every process writes to the file itself, and only a rotation
        // by copying and truncating could follow it.
        if (auto opened = logging::Relay::open(*initialized)) {
            machine.relay = std::move(*opened);
        } else {
            print_err("veskoinit: warning: " + logging::display(opened.error()) + "\n");
        }
    }
    print_err("veskoinit: " + mounts::describe(*summary) + "\n");
    print_err("veskoinit: logging output to " + log_path + "\n");
    return {};
}

// The script services start before the direct services. Process 1 waits for each action
// and meanwhile reaps the orphans that their daemons may leave. What cannot start is
// passed over: one service's mistake must not cost the machine its other services.
void start_script_services(Machine& machine) {
    // Without any, there is nothing to plan or to watch.
    if (!admin::any_enabled()) {
        print_err("veskoinit: " + started_line(0, {}, "enabled script service(s)") + "\n");
        return;
    }
    // The relay runs before process 1 waits for anything: nothing else would drain the pipe
    // that the scripts write into. One that cannot start leaves every process writing to the
    // file itself, as no child holds the pipe yet.
    if (machine.relay) {
        if (std::optional<logging::Error> why = machine.relay->begin()) {
            print_err("veskoinit: warning: " + logging::display(*why) + "\n");
            machine.relay->stop();
            machine.relay.reset();
        }
    }
    daemons::Watch& daemons = machine.daemons;
    daemons.begin();
    admin::StartReport scripts = admin::start_enabled(
        [&daemons](pid_t pid, int status) {
            supervisor::ExitStatus exit{status};
            print_err(supervisor::adopted_child_line(pid, exit, false) + daemons.ended(pid, status, exit.description()));
        },
        [&daemons](const std::string& name, bool started) { daemons.started(name, started); });
    for (const admin::PassedOver& passed : scripts.passed_over) {
        machine.failed_scripts.emplace(passed.name, admin::display(passed.why));
        machine.passed_over_scripts.insert(passed.name);
    }
    print_err("veskoinit: " + started_line(scripts.started, machine.passed_over_scripts, "enabled script service(s)") +
              "\n");
}

// Starts the direct services of the catalog, then the main program when there is one.
Result<void, Error> start_direct_services(Machine& machine) {
    supervisor::Supervisor& supervisor = machine.supervisor;
    supervisor = supervisor::Supervisor::start_all(machine.catalog, boot_console.get());
    supervisor.on_adopted([&daemons = machine.daemons](pid_t pid, const supervisor::ExitStatus& exit) {
        return daemons.ended(pid, exit.raw, exit.description());
    });
    std::set<std::string> passed_over_services;
    for (const auto& [name, record] : supervisor.records()) {
        if (record.state == supervisor::State::Failed) passed_over_services.insert(name);
    }
    if (!passed_over_services.empty()) {
        size_t started = machine.catalog.services.size() - passed_over_services.size();
        print_err("veskoinit: " + started_line(started, passed_over_services, "service(s)") + "\n");
    }
    if (!machine.start.main_program.empty()) {
        const int streams[3] = {machine.boot_input.get(), machine.boot_output.get(), boot_console.get()};
        auto started = supervisor.start_main(machine.start.main_program, streams);
        if (!started) return fail(Error{ServiceSupervision{std::move(started.error())}});
    }
    return {};
}

Result<void, Error> start_services(Machine& machine) {
    auto loaded = load_catalog(machine.start.main_program.empty(), machine.start.container);
    if (!loaded) return fail(std::move(loaded.error()));
    machine.catalog = std::move(*loaded);
    add_units(machine.catalog);
    start_script_services(machine);
    return start_direct_services(machine);
}

// Opens the channels that requests come through: the control socket and /run/initctl.
void open_request_channels(Machine& machine) {
    if (auto listening = control::Server::listen(control::kSocketPath)) {
        machine.control = std::move(*listening);
    } else {
        print_err(std::string("veskoinit: warning: no run-time control: cannot listen on ") + control::kSocketPath + ": " +
                  listening.error().display() + "\n");
    }
    // A container is stopped by its runtime's signal, and its /run may be the host's.
    if (machine.start.container) return;
    if (auto made = initctl::Fifo::open(initctl::kFifoPath)) {
        machine.fifo = std::move(*made);
    } else {
        print_err("veskoinit: warning: " + initctl::display(made.error()) + "\n");
    }
}

void begin_relay(Machine& machine) {
    if (!machine.relay) return;
    if (std::optional<logging::Error> why = machine.relay->begin()) machine.relay->start_later(*why);
}

// The boot, up to the event loop.
Result<void, Error> boot(Machine& machine) {
    if (auto taken = take_signals(machine); !taken) return taken;
    keep_boot_streams(machine);
    if (auto set_up = set_up_filesystems_and_log(machine); !set_up) return set_up;
    auto started = start_services(machine);
    // Without script services the relay starts only now, once the first services run: its
    // start would slow theirs, and what was written meanwhile waits in the pipe.
    begin_relay(machine);
    if (!started) return started;
    open_request_channels(machine);
    return {};
}

// A boot that failed leaves its lines in the pipe: a machine's process 1 stops where it is
// and its relay goes on writing the log; a container's ends, and writes them out first.
void after_failed_boot(Machine& machine) {
    if (!machine.relay) return;
    if (machine.start.container) {
        machine.relay->stop();
    } else {
        begin_relay(machine);
    }
}

// A control client's request, answered.
control::Answer answer(Machine& machine, const control::Request& request) {
    answers::Services services{machine.catalog, machine.supervisor, machine.daemons, machine.failed_scripts,
                               machine.start.main_program.empty()};
    return answers::answer(request, services);
}

// What woke process 1 and is for the loop to act on: a signal (SIGNAL), or a power request
// through /run/initctl (SIGNAL 0).
struct Wake {
    Action action;
    uint32_t signal = 0;
};
using Woken = std::optional<Wake>;

// A request signal that is pending already. A signal descriptor hands over the
// lowest-numbered pending signal first, and SIGCHLD ranks before SIGPWR and SIGRTMIN+3: in a
// storm of orphans SIGCHLD is pending again at every read. So a pending request is taken
// first, from REQUESTS (the served signals but SIGCHLD), without waiting.
Woken pending_request(const sigset_t& requests) {
    const timespec now{0, 0};
    int request = sigtimedwait(&requests, nullptr, &now);
    if (request <= 0) return std::nullopt;
    uint32_t signal = static_cast<uint32_t>(request);
    return Wake{action_for(signal), signal};
}

// The descriptors process 1 sleeps on: the signal descriptor first, then the control
// channel's; where the FIFO's and the relay's begin; and how long it may sleep (-1: until one
// of them is ready).
struct Sleep {
    std::vector<pollfd> fds;
    size_t fifo_at = 0;
    size_t services_at = 0;
    size_t relay_at = 0;
    long timeout = -1;
};

// What process 1 sleeps on, until a control client's time is up, the relay's upkeep is due or
// a stop is overdue, whichever comes first. The stops that are overdue now are killed here.
Sleep prepare_sleep(Machine& machine) {
    Sleep sleep;
    std::vector<pollfd>& fds = sleep.fds;
    fds.push_back({machine.signals.get(), POLLIN, 0});
    sleep.timeout = machine.control ? machine.control->add_descriptors(fds) : -1;
    sleep.fifo_at = fds.size();
    if (machine.fifo) fds.push_back({machine.fifo->descriptor(), POLLIN, 0});
    sleep.services_at = fds.size();
    long starts = machine.supervisor.add_descriptors(fds);
    sleep.relay_at = fds.size();
    long upkeep = machine.relay ? machine.relay->add_descriptors(fds) : -1;
    long stops = machine.supervisor.kill_overdue_stops();
    for (long wanted : {upkeep, stops, starts}) {
        if (wanted >= 0 && (sleep.timeout < 0 || wanted < sleep.timeout)) sleep.timeout = wanted;
    }
    return sleep;
}

// Reads the signal that the signal descriptor holds; nothing when the read was interrupted.
Result<Woken, Error> read_signal(const vesko::Fd& signals) {
    char record[kSignalRecordSize];
    ssize_t n = ::read(signals.get(), record, sizeof record);
    if (n < 0 && errno == EINTR) return Woken();
    if (n < 0) return fail(Error{System{"read(signalfd)", vesko::last_os_error()}});
    if (static_cast<size_t>(n) != kSignalRecordSize) {
        return fail(Error{ShortSignalRecord{kSignalRecordSize, static_cast<size_t>(n)}});
    }
    uint32_t signal = 0;
    std::memcpy(&signal, record, sizeof signal);  // ssi_signo, the first field
    return Woken(Wake{action_for(signal), signal});
}

// Sleeps until something wakes process 1 and serves what it can there and then: the control
// clients, the relay's upkeep and the stops that are overdue. Returns a power request through
// /run/initctl or a signal for the loop to act on; nothing when there is none. A request
// among REQUESTS that came with the signal that woke it goes first: a shutdown command that
// sends its request and exits leaves SIGCHLD pending beside it.
Result<Woken, Error> sleep_until_woken(Machine& machine, const sigset_t& requests) {
    Sleep sleep = prepare_sleep(machine);
    std::vector<pollfd>& fds = sleep.fds;
    int ready = machine.idle.wait(fds.data(), fds.size(), sleep.timeout, nullptr);
    if (ready != 0) machine.idle.ran();
    if (ready < 0 && errno == EINTR) return Woken();
    if (ready < 0) return fail(Error{System{"poll", vesko::last_os_error()}});
    // What woke it, each in turn: a control client, the relay, a record in /run/initctl, a signal.
    if (machine.control) {
        machine.control->serve(fds.data() + 1,
                               [&machine](const control::Request& request) { return answer(machine, request); });
    }
    machine.supervisor.serve(fds.data() + sleep.services_at);
    if (machine.relay) machine.relay->serve(fds.data() + sleep.relay_at, fds.size() - sleep.relay_at);
    if (machine.fifo) {
        if (auto asked = machine.fifo->serve(fds[sleep.fifo_at])) return Woken(Wake{action_of(*asked)});
    }
    if ((fds[0].revents & POLLIN) == 0) return Woken();
    if (Woken request = pending_request(requests)) return request;
    return read_signal(machine.signals);
}

// The first request is final: no requests are served from now on (a client finds nothing to
// ask), and no record is read while the sequence runs. On a machine it returns only when it
// could not finish; a container's process 1 exits after the processes are stopped, with the
// main program's status or 0 for a request.
Result<int, Error> stop(Machine& machine, Action action) {
    if (machine.control) {
        machine.control.reset();
        (void)::unlink(control::kSocketPath);
    }
    if (machine.fifo) machine.fifo->remove();
    // What the idle waits let go of comes back now, while the file system it is read from is
    // sure to be there: the sequence stops what a root on the network needs.
    memory::bring_back();
    vesko::mark_time("program brought back");
    logging::Relay* relay = machine.relay ? &*machine.relay : nullptr;
    if (!machine.start.container) {
        return fail(Error{ShutdownFailed{shutdown::execute(request_for(action), machine.supervisor, relay, boot_console,
                                                              machine.passed_over_scripts)}});
    }
    auto stopped = shutdown::stop_processes(machine.supervisor, relay, machine.passed_over_scripts);
    if (!stopped) return fail(Error{ShutdownFailed{std::move(stopped.error())}});
    // With a main program the container's status is always its own, also when a stop
    // request ended it (128 + the signal); without one a requested stop is a success.
    int status = 0;
    if (!machine.start.main_program.empty()) {
        status = machine.supervisor.main_ended().value_or(supervisor::ExitStatus{SIGKILL}).shell_status();
    }
    print_err("veskoinit: stopped; exiting with status " + std::to_string(status) + "\n");
    return status;
}

// The event loop: each pass acts on one thing that woke process 1. A pending request comes
// first, then the rest of a reaping pass that stopped at its bound (without waiting for
// another SIGCHLD), then whatever wakes it from its sleep.
Result<int, Error> loop(Machine& machine) {
    sigset_t requests = machine.served;
    if (sigdelset(&requests, SIGCHLD) != 0) return fail(Error{System{"sigdelset", vesko::last_os_error()}});
    for (;;) {
        Woken wake = pending_request(requests);
        if (!wake && machine.supervisor.more_to_reap()) wake = Wake{Action::Reap, SIGCHLD};
        if (!wake) {
            auto woken = sleep_until_woken(machine, requests);
            if (!woken) return fail(std::move(woken.error()));
            if (!*woken) continue;
            wake = *woken;
        }
        switch (wake->action) {
            case Action::Reap: {
                size_t orphans = 0;
                if (auto failed = reap(machine.supervisor, orphans)) return fail(std::move(*failed));
                if (!machine.supervisor.main_ended()) {
                    // Orphans come in storms (a dying process group, a shell's jobs): the next
                    // ones gather for a moment, so that one pass reaps many instead of each
                    // costing a wake-up of its own.
                    if (orphans > 0 && !machine.supervisor.more_to_reap()) {
                        timespec pause{0, kOrphanPauseNs};
                        (void)nanosleep(&pause, nullptr);
                    }
                    continue;
                }
                // The main program has ended: everything else stops, and process 1 with it.
                print_err("veskoinit: the main program has ended; stopping\n");
                return stop(machine, Action::PowerOff);
            }
            case Action::Ignore:
                print_err("veskoinit: ignoring unexpected signal " + std::to_string(wake->signal) + "\n");
                continue;
            case Action::Reboot:
            case Action::PowerOff:
            case Action::Halt:
                print_err(std::string("veskoinit: ") + request_line(wake->action) + "\n");
                vesko::mark_time("request");
                return stop(machine, wake->action);
        }
    }
}

}  // namespace

Result<int, Error> run(const Start& start) {
    Machine machine{start};
    // Whatever ends the boot, the lines it wrote reach the log.
    auto booted = [&] {
        try {
            return boot(machine);
        } catch (...) {
            after_failed_boot(machine);
            throw;
        }
    }();
    if (!booted) {
        after_failed_boot(machine);
        return fail(std::move(booted.error()));
    }
    print_err("veskoinit: PID 1 event loop started\n");
    return loop(machine);
}

void report_fatal(const std::string& reason) { tell_console_too("veskoinit: fatal: " + reason + "\n"); }

Error finish_shutdown(const shutdown::FinalStage& stage) {
    boot_console = vesko::Fd(stage.boot_console);
    vesko::Fd halt_console(stage.halt_console);
    for (const vesko::Fd* fd : {&boot_console, &halt_console}) {
        if (fd->valid()) (void)fcntl(fd->get(), F_SETFD, FD_CLOEXEC);
    }
    return ShutdownFailed{shutdown::finish(stage.request, boot_console, std::move(halt_console))};
}

void park_forever(const std::string& reason) {
    report_fatal(reason);
    // Ctrl-Alt-Del first: a sync that hangs (a dead network mount, a failing disk) must not
    // leave the machine with no way back but its reset. Inside a PID namespace the call is
    // refused, and Ctrl-Alt-Del means nothing there.
    if (::reboot(RB_ENABLE_CAD) == 0) {
        tell_console_too("veskoinit: process 1 has stopped; Ctrl-Alt-Del reboots at once\n");
    }
    ::sync();
    for (;;) {
        timespec interval{60, 0};
        nanosleep(&interval, nullptr);
    }
}

}  // namespace pid1
