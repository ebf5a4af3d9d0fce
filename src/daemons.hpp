// The daemons that script services leave behind. A script's start forks its daemon and ends;
// the daemon is then a child of process 1, which reaps it like any orphan. What appeared
// among process 1's children while a service started is taken as that service's, so that its
// end is reported by name and the service's status can say what process 1 saw.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace daemons {

// What /proc/PID/stat says of a process.
struct Process {
    pid_t pid = 0;
    std::string command;  // the kernel's short command name
    char state = '?';
    pid_t parent = 0;
    pid_t session = 0;
};
std::optional<Process> read_process(pid_t pid);
// Every process that /proc lists now (at most a bounded number), the unreadable passed over.
std::vector<Process> processes();

// What process 1 saw of one script service since it started it at boot.
struct Seen {
    bool left_daemons = false;  // false for a one-shot
    std::vector<pid_t> alive;   // its daemons that run
    std::string failed;         // how the first of them that failed ended, empty while none has
};

class Watch {
public:
    // Before the first start: what runs now is no service's.
    void begin();
    // After SERVICE's start: process 1's new children are its daemons when it started, and
    // nobody's when it failed (what its runner left when it was killed, say).
    void started(const std::string& service, bool succeeded);
    // PID, a child of process 1, has ended with the wait status STATUS, as DESCRIBED: the log
    // line when it was a daemon of a script service (empty otherwise). It failed unless it
    // exited with status 0 or was ended by SIGTERM, SIGINT, SIGHUP or SIGPIPE (a stop).
    std::string ended(pid_t pid, int status, const std::string& described);
    // The status lines of the services among NAMES (all when empty) that process 1 started:
    // "NAME script running PID - - - -" while a daemon of it runs, "... ended - - - - - WHY"
    // once one has failed, "... done ..." when all have exited with status 0, and
    // "... started ..." when it left none (a one-shot).
    std::string status_lines(const std::vector<std::string>& names) const;

private:
    std::set<pid_t> known_;  // process 1's children that have not ended
    std::map<pid_t, std::pair<std::string, std::string>> daemons_;  // pid: service, command
    std::map<std::string, Seen> services_;

};

}  // namespace daemons
