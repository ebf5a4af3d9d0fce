// Supervision of the direct services: start in order, reap every child, restart by policy,
// stop in reverse order.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>
#include <variant>

#include "os_error.hpp"
#include "result.hpp"
#include "launch.hpp"
#include "readiness.hpp"
#include "service.hpp"

namespace supervisor {

// How a child ended, as the raw status word of the wait system call.
struct ExitStatus {
    int raw = 0;

    std::string description() const;
    // Exited with code 0.
    bool clean() const { return (raw & ~0x80) == 0; }
    // As a shell reports it: the exit code, or 128 + the signal that ended the process.
    int shell_status() const;
};

struct Spawn {
    std::string service;
    std::string executable;
    vesko::OsError os;
};
struct PidOutOfRange {
    std::string service;
    int64_t child;
};
struct DuplicatePid {
    pid_t pid;
    std::string recorded;  // the service the id was recorded for
    std::string added;     // the service it was given to now
};
struct Signal {
    int signal;
    std::string service;
    pid_t pid;
    vesko::OsError os;
};
struct System {
    const char* call;
    vesko::OsError os;
};
struct StartMain {
    std::string executable;
    vesko::OsError os;
};
// SERVICE was not started at boot because REQUIRED, which it requires, could not be.
struct RequiredPassedOver {
    std::string service;
    std::string required;
};
// What a service's process must start with could not be made ready (its user, a file, a
// directory): WHY says which.
struct Prepare {
    std::string service;
    std::string why;
};
using Error = std::variant<Spawn, Prepare, PidOutOfRange, DuplicatePid, Signal, System, StartMain, RequiredPassedOver>;

std::string display(const Error& error);

// What the supervisor knows of one direct service, for the status of run-time control.
// Stopped: by request (veskoctl stop), and stays so whatever its restart policy until it is
// started again.
// Starting: spawned, or running its commands before or after the start, and not ready yet
// (what requires it waits).
enum class State { Running, Ended, Failed, Stopped, Starting };
struct Record {
    State state = State::Ended;
    // A stop was requested and the process has not ended yet: SIGKILL once the time is up;
    // RESTART starts it again when it has ended.
    std::optional<timespec> stopping;
    bool killed = false;  // the stop's SIGKILL has been sent
    bool restart = false;
    pid_t pid = 0;          // while running
    timespec since{};       // when the running process was started (monotonic clock)
    unsigned restarts = 0;  // by its restart policy
    std::optional<ExitStatus> last;  // how it last ended
    std::string why;                 // why it failed to start
    bool older = false;  // runs a definition that a reload has changed since it started
    // While it starts: when its time to be ready is up (its commands before and after the
    // program included; none for a one-shot program), whether it waits for READY=1 or for
    // its pid file, its notification socket, how many of its commands before and after the
    // start have run, and which start this is (the commands of an earlier one count no more).
    std::optional<timespec> ready_by;
    bool awaiting_ready = false, pid_file_pending = false;
    std::shared_ptr<readiness::Socket> notify;
    size_t step = 0;
    uint64_t generation = 0;
    bool failed_start = false;  // stopped because its start failed: it ends as failed
    bool warned = false;        // a notification from another process was told of once
};

// "veskoinit: reaped adopted child N (…)\n", with " during shutdown" once the shutdown has
// begun: every orphan that process 1 reaps is reported with it, whoever reaps it.
std::string adopted_child_line(pid_t pid, ExitStatus status, bool during_shutdown);

class Supervisor {
public:
    // Starts every service of CATALOG in start order. A service that cannot be started, and
    // what requires it, is passed over with a warning line (its state failed, with why), and
    // the others start all the same. CATALOG must outlive the Supervisor.
    // CONSOLE, when not -1, is the console process 1 was started with: a service marked to
    // run on it gets it as standard input, output and error.
    static Supervisor start_all(const service::Catalog& catalog, int console = -1);

    explicit Supervisor(const service::Catalog& catalog, int console = -1)
        : catalog_(&catalog), console_(console) {}

    // Starts the named service of the catalog and records its process.
    vesko::Result<void, Error> start_service(const std::string& name);
    // Starts the main program (`veskoinit -- COMMAND`), after the services, in a process group
    // of its own that takes the controlling terminal when there is one. STREAMS are what it
    // gets as standard input, output and error: the streams process 1 was started with,
    // which may be the log's by now (-1 keeps process 1's current one). It is not restarted,
    // and stop_all stops it first.
    vesko::Result<void, Error> start_main(const std::vector<std::string>& command, const int (&streams)[3]);
    // How the main program ended, once it has.
    std::optional<ExitStatus> main_ended() const { return main_ended_; }
    // Reaps ended children without blocking, reporting each and restarting by policy, up to
    // a bounded number (then more_to_reap() says so). Returns how many of them were adopted
    // (not the services' nor the main program).
    vesko::Result<size_t, Error> reap_exited();
    // TELL is asked about each adopted child that reap_exited reaps: a line that follows the
    // one about it (or nothing).
    void on_adopted(std::function<std::string(pid_t, const ExitStatus&)> tell) { tell_adopted_ = std::move(tell); }
    bool more_to_reap() const { return more_to_reap_; }
    // Stops the running services one at a time in reverse start order: SIGTERM, 10 s,
    // SIGKILL, 2 s. Returns the first error met.
    vesko::Result<void, Error> stop_all();
    // Reaps until PID is no longer running (true) or TIMEOUT_SECONDS have passed (false).
    vesko::Result<bool, Error> wait_until_stopped(pid_t pid, unsigned timeout_seconds);
    // Reaps ended children without blocking and without restarting anything, as the
    // shutdown sequence needs it: services give their stopped line, orphans theirs. At most
    // a bounded number per call, so that the caller's deadlines hold during a storm.
    vesko::Result<void, Error> reap_during_shutdown();

    // Run-time control. Start: what the service requires that does not run is started first;
    // a running service is left as it is. Stop: SIGTERM now and SIGKILL once 10 seconds have
    // passed (kill_overdue_stops), refused while a running service requires it; the answer
    // does not wait for the end. Restart: a stop, then a start once it has ended (or a start
    // when it does not run). Each returns a line for the client, or the reason it cannot.
    vesko::Result<std::string, std::string> request_start(const std::string& name);
    vesko::Result<std::string, std::string> request_stop(const std::string& name, bool restart = false);
    // The catalog has been read again (the supervisor's catalog is the new one; PREVIOUS is
    // what it replaced): services whose file is gone are stopped as by a request and then
    // forgotten, new ones are started in order (what they require first), and a running
    // service whose definition changed is marked older, to use the new one from its next
    // start. Returns a line for the client per change, and why each thing that could not be
    // done was not (the rest is done all the same).
    struct Reloaded {
        std::string said;
        std::vector<std::string> failures;
    };
    Reloaded reloaded(const service::Catalog& previous);
    // Runs the reload of a running service: its reload command, else SIGHUP.
    vesko::Result<std::string, std::string> request_reload(const std::string& name);
    // Sends SIGKILL to the services whose requested stop is overdue; returns the
    // milliseconds until the next one is, -1 for none.
    long kill_overdue_stops();
    // Stops the starts whose time to become ready is up, and appends the notification
    // sockets of the services that start or run to FDS. Returns the milliseconds until the
    // next start's time is up, -1 for none.
    long add_descriptors(std::vector<pollfd>& fds);
    // Reads what the sockets that add_descriptors appended at FDS said (a bounded number
    // of messages each), trusting only the service's own processes.
    void serve(const pollfd* fds);

    const std::map<pid_t, std::string>& running() const { return running_; }
    const std::map<std::string, Record>& records() const { return records_; }

private:
    // Whether PID is a service or the main program that has not been reaped yet.
    bool tracked(pid_t pid) const {
        return running_.count(pid) != 0 || commands_.count(pid) != 0 ||
               (main_pid_ != 0 && pid == main_pid_ && !main_ended_);
    }
    // A command a service runs besides its program.
    enum class Step { BeforeStart, AfterStart, Stop, Reload };
    struct Command {
        std::string service;
        Step step;
        uint64_t generation;
    };
    // Ends the commands that NAME's start still runs (their process groups).
    void kill_start_commands(const std::string& name);
    // The forking service NAME's pid file, read again: true once it names its main process.
    bool take_pid_file(const std::string& name);
    // Whether PID may be NAME's main process: a child of this process that runs as the
    // service's user (any, for a service run as root).
    bool may_be_main(const std::string& name, pid_t pid) const;
    // What NAME's processes start with; made from its definition when its start did not.
    vesko::Result<const launch::Launch*, Error> launch_for(const std::string& name);
    // Starts the next of NAME's commands before its program, else its program.
    vesko::Result<void, Error> next_step(const std::string& name);
    vesko::Result<void, Error> spawn_program(const std::string& name);
    // Spawns COMMAND for NAME as its STEP, with $MAINPID given.
    vesko::Result<pid_t, Error> spawn_command(const std::string& name, const std::vector<std::string>& command,
                                               Step step);
    // NAME is ready: its commands after the start run, then it counts as running and what
    // waits for it may start.
    void became_ready(const std::string& name);
    // NAME's start failed (WHY): it is stopped when its program runs, and ends as failed.
    void start_failed(const std::string& name, const std::string& why);
    // Starts what waits and whose requirements are ready; passes over what requires a
    // service that failed or does not run.
    void advance();
    void command_ended(pid_t pid, ExitStatus exit);
    // NAME's program ended with EXIT before it was ready: a one-shot service is done, a
    // forking one goes on as the process its pid file names, any other failed to start.
    // LAST is how it ended before this start.
    void program_ended_while_starting(const std::string& name, ExitStatus exit, std::optional<ExitStatus> last);
    // Whether EXIT counts as a success for NAME.
    bool succeeded(const std::string& name, ExitStatus exit) const;
    // Sends NAME's stop signal (to its group when it says so); the error of kill(2).
    bool signal_service(const std::string& name, pid_t pid, int signal) const;
    // The user NAME's processes run as (0 for root).
    uid_t uid_of(const std::string& name) const;
    // Takes the reaped PID off the books: "LABEL" for a service or the main program, "" else.
    std::string forget(pid_t pid, ExitStatus status);
    // What follows the end of the service NAME, reaped with EXIT: a requested stop is done
    // (and a requested restart starts it again), else its restart policy decides. Only a
    // restart by policy that cannot start its program is an error.
    vesko::Result<void, Error> service_ended(const std::string& name, ExitStatus exit);
    // Begins the stop of the running service NAME: SIGTERM now, SIGKILL once 10 seconds have
    // passed (kill_overdue_stops); WHY ends the log line. Nothing when it is stopping already.
    vesko::Result<void, std::string> begin_stop(const std::string& name, Record& record, const char* why);

    const service::Catalog* catalog_;
    int console_ = -1;
    std::map<pid_t, std::string> running_;
    std::map<std::string, Record> records_;
    std::string main_label_;  // "main program PATH"
    pid_t main_pid_ = 0;
    std::optional<ExitStatus> main_ended_;
    bool more_to_reap_ = false;
    std::function<std::string(pid_t, const ExitStatus&)> tell_adopted_;
    std::map<pid_t, Command> commands_;
    std::vector<std::string> waiting_;  // in start order
    bool advancing_ = false, advance_again_ = false;
    std::vector<std::string> notify_order_;  // whose sockets add_descriptors appended
    std::map<std::string, launch::Launch> launches_;  // what a starting or running service runs with
};

}  // namespace supervisor
