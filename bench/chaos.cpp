// scripts/chaos [ROUNDS] [SEED] [FIRST]: boots one Debian server image ROUNDS times under QEMU
// and, in each round, does what a machine lives through at moments nobody chose: power cuts
// at every phase, daemons (udevd and the log relay among them) killed or stopped, the log's
// file system full, the log rotated under a fast writer, broken configuration left for the
// next boot, storms of control requests, and reboots and power-offs asked for in the middle
// of it. Each round is drawn from SEED and its number alone, so that a failing round can be
// replayed by itself (FIRST = that round). After each round it checks that the machine came
// back, that the root file system has no errors once its journal is replayed, that not one
// numbered line of the writer was lost or doubled (after a power cut: only the last seconds),
// that every power request was served in time, that process 1 neither died nor stopped, and
// that no service's user came to own a file of root's.
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "debian.hpp"
#include "vm.hpp"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// What the image holds besides the Debian server: the writer, a service that fails again
// and again, one that leaves storms of orphans, and the faults' own command.
const char* const kWriter = R"sh(#!/bin/sh
# Numbered lines into the log, 20 a second (as fast as it can while /run/chaos-fast exists):
# "chaos-writer BOOT PID N UPTIME"; the last one written is kept in /run/chaos-writer, with the
# uptime of the first.
boot=$(cut -c1-8 /proc/sys/kernel/random/boot_id)
n=0
while :; do
    n=$((n + 1))
    read up idle </proc/uptime
    [ $n -gt 1 ] || first=$up
    echo "chaos-writer $boot $$ $n $up"
    echo "$boot $$ $n $up $first" >/run/chaos-writer
    [ -e /run/chaos-fast ] || sleep 0.05
done
)sh";

const char* const kCrashy = R"sh(#!/bin/sh
echo chaos-crashy: up
sleep 1
exit 3
)sh";

// 300 children left behind at once, every 5 seconds.
const char* const kOrphans = R"sh(#!/bin/sh
sleep 5
i=0
while [ $i -lt 300 ]; do
    sleep 2 &
    i=$((i + 1))
done
)sh";

const char* const kFault = R"sh(#!/bin/sh
# chaos-fault KIND [ARGUMENTS]: one fault of the chaos run, made inside the guest.
pids() {
    case $1 in
    relay) pgrep -f -- --vesko-log-relay ;;
    chaos-*) pgrep -f "^/bin/sh /usr/local/bin/$1" ;;
    *) pgrep -x "$1" ;;
    esac
}
# Whether process 1 still answers; a stall is noted for the host.
answers() {
    timeout 60 veskoctl status >/dev/null 2>&1
    [ $? -ne 124 ] || echo "$(cut -d' ' -f1 /proc/uptime) veskoctl status got no answer within 60 s ($1)" >>/var/lib/chaos/stalls
}
case $1 in
signal) # signal NAME SIGNAL [SECONDS]: SIGCONT after SECONDS
    for p in $(pids "$2"); do kill -s "$3" "$p"; done
    if [ -n "$4" ]; then sleep "$4"; for p in $(pids "$2"); do kill -s CONT "$p"; done; fi ;;
fill) # fill SECONDS: the root file system full (root's reserve too), then freed
    blocks=$(stat -f -c %f /) size=$(stat -f -c %S /)
    fallocate -l $((blocks * size)) /var/log/chaos-fill 2>/dev/null ||
        fallocate -l $(((blocks - 1024) * size)) /var/log/chaos-fill
    dd if=/dev/zero of=/var/log/chaos-fill2 bs=4k 2>/dev/null
    answers "full disk"
    sleep "$2"
    rm -f /var/log/chaos-fill /var/log/chaos-fill2 ;;
rotate) # rotate TIMES: veskoinit's log rotated while the writer writes as fast as it can
    touch /run/chaos-fast
    i=0
    while [ $i -lt "$2" ]; do logrotate -f /etc/logrotate.d/veskoinit; sleep 1; i=$((i + 1)); done
    rm -f /run/chaos-fast ;;
nginx) echo 'this is not nginx;' >>/etc/nginx/sites-enabled/default ;;
dangling)
    ln -sfn /etc/init.d/chaos-purged /etc/veskoinit/enabled/chaos-purged
    ln -sfn /usr/lib/systemd/system/chaos-gone.service /etc/veskoinit/enabled/chaos-gone.service ;;
typo) printf 'description = "typo"\ncomand = ["/bin/true"]\n' >/etc/veskoinit/services/chaos-typo.toml ;;
storm) # storm TIMES: start, stop, restart and reload of every kind of service at once
    i=0
    while [ $i -lt "$2" ]; do
        for s in chaos-writer chaos-crashy chaos-orphans nginx rsyslog cron; do
            veskoctl "$(shuf -n1 -e start stop restart reload)" $s >/dev/null 2>&1 &
        done
        i=$((i + 1))
    done
    wait
    answers storm
    veskoctl start chaos-writer chaos-crashy chaos-orphans >/dev/null 2>&1 ;;
connections) # connections COUNT SECONDS: control connections that never send
    ulimit -n 4096
    perl -MIO::Socket::UNIX -e 'my @held; for (1 .. $ARGV[0]) {
        my $c = IO::Socket::UNIX->new(Peer => "/run/veskoinit/control") or last; push @held, $c }
        sleep $ARGV[1]' "$2" "$3" &
    sleep 2
    answers "$2 idle connections"
    wait ;;
churn) # churn COUNT: service files added, loaded, and all but one removed again
    i=0
    while [ $i -lt "$2" ]; do
        printf 'command = ["/bin/sleep", "600"]\n' >/etc/veskoinit/services/chaos-churn-$i.toml
        i=$((i + 1))
    done
    veskoctl reload >/dev/null 2>&1
    sleep 1
    find /etc/veskoinit/services -name 'chaos-churn-*.toml' ! -name chaos-churn-0.toml -delete
    veskoctl reload >/dev/null 2>&1
    answers churn ;;
repair) # what the faults of earlier rounds left behind
    cp /var/lib/chaos/nginx-default /etc/nginx/sites-enabled/default
    left=$(ls /etc/veskoinit/services/chaos-typo.toml /etc/veskoinit/services/chaos-churn-*.toml 2>/dev/null)
    rm -f /etc/veskoinit/enabled/chaos-purged /etc/veskoinit/enabled/chaos-gone.service \
        /etc/veskoinit/services/chaos-typo.toml /etc/veskoinit/services/chaos-churn-*.toml \
        /var/log/chaos-fill /var/log/chaos-fill2
    # A boot that ran the fallback console for a bad file (a typo, or one a power cut left
    # empty) gets its services back, so that this round's faults meet a running writer.
    [ -z "$left" ] || veskoctl reload >/dev/null 2>&1 ;;
esac
)sh";

std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The run's own parts of the image, and the Debian server it runs on.
debian::Setup server() {
    const std::vector<std::pair<std::string, std::string>> files = {
        {"/etc/network/interfaces", "source /etc/network/interfaces.d/*\n\nauto lo\niface lo inet loopback\n\n"
                                    "allow-hotplug ens16\niface ens16 inet dhcp\n"},
        {"/etc/dhcp/dhclient-enter-hooks.d/keep-resolver", "make_resolv_conf() { :; }\n"},
        {"/usr/local/bin/chaos-writer", kWriter},
        {"/usr/local/sbin/chaos-fault", kFault},
        {"/etc/veskoinit/services/chaos-writer.toml",
         "description = \"numbered lines for the chaos run\"\ncommand = [\"/bin/sh\", \"/usr/local/bin/chaos-writer\"]\n"
         "restart = \"always\"\n"},
        {"/usr/local/bin/chaos-crashy", kCrashy},
        {"/usr/local/bin/chaos-orphans", kOrphans},
        {"/etc/veskoinit/services/chaos-crashy.toml",
         "description = \"fails again and again\"\ncommand = [\"/bin/sh\", \"/usr/local/bin/chaos-crashy\"]\nrestart = \"always\"\n"},
        {"/etc/veskoinit/services/chaos-orphans.toml",
         "description = \"leaves storms of orphans\"\ncommand = [\"/bin/sh\", \"/usr/local/bin/chaos-orphans\"]\n"
         "restart = \"always\"\n"},
        {"/var/lib/chaos/nginx-default", read_text(vm::cache_dir() / "debian-trixie/etc/nginx/sites-available/default")},
        {"/etc/hosts", "127.0.0.1\tlocalhost\n127.0.1.1\tveskodeb\n"},
    };
    debian::Setup setup{true, "", {}, {"ssh", "nginx", "rsyslog", "cron"}, files, true, true};
    return setup;
}

struct Fault {
    std::string kind;     // the table's kind
    std::string command;  // chaos-fault's arguments
    double at;            // seconds after the login by ssh
};

enum class End { PowerOff, Reboot, CutEarly, CutScripts, CutRunning, CutShutdown };

struct Plan {
    std::vector<Fault> faults;
    End end = End::PowerOff;
    std::string request;  // the guest's command that asks for the end
    std::string cut;      // QMP's "quit" or "system_reset"
    double cut_after = 0;  // seconds into the phase
    double end_at = 0;     // seconds after the login by ssh
};

// The round's plan, from SEED and ROUND alone.
Plan draw(unsigned long long seed, int round) {
    std::mt19937_64 random(seed * 1000003ULL + static_cast<unsigned long long>(round));
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned long long>(n)); };
    auto between = [&](double low, double high) { return low + (high - low) * static_cast<double>(random() % 1000) / 1000.0; };
    Plan plan;
    const char* daemons[] = {"nginx", "cron", "rsyslogd", "systemd-udevd", "relay", "atd", "chaos-crashy",
                             "chaos-orphans", "agetty"};
    int count = 2 + pick(5);
    double fills_until = 0;
    for (int i = 0; i < count; ++i) {
        double at = between(0, 25);
        switch (pick(10)) {
        case 0:
        case 1: {
            std::string daemon = daemons[pick(9)];
            plan.faults.push_back({"SIGKILL", "signal " + daemon + " KILL", at});
            break;
        }
        case 2: {
            // The writer may be stopped, never killed: its lines count.
            std::string daemon = pick(4) == 0 ? "writer" : daemons[pick(9)];
            std::string resume = pick(3) == 0 ? "" : " " + std::to_string(1 + pick(12));
            plan.faults.push_back({"SIGSTOP", "signal " + daemon + " STOP" + resume, at});
            break;
        }
        case 3: {
            // Freed again before the end (a disk still full then leaves nowhere for the last lines).
            int seconds = 2 + pick(6);
            fills_until = std::max(fills_until, at + seconds + 6);
            plan.faults.push_back({"full disk", "fill " + std::to_string(seconds), at});
            break;
        }
        case 4: plan.faults.push_back({"rotation", "rotate " + std::to_string(1 + pick(3)), at}); break;
        case 5: {
            const char* left[] = {"nginx", "dangling", "typo"};
            plan.faults.push_back({"left for the next boot", left[pick(3)], at});
            break;
        }
        case 6: plan.faults.push_back({"control storm", "storm " + std::to_string(5 + pick(30)), at}); break;
        case 7: plan.faults.push_back({"idle connections", "connections 1000 " + std::to_string(5 + pick(20)), at}); break;
        default: plan.faults.push_back({"services added and removed", "churn " + std::to_string(1 + pick(20)), at}); break;
        }
    }
    std::sort(plan.faults.begin(), plan.faults.end(), [](const Fault& a, const Fault& b) { return a.at < b.at; });
    // Debian's commands (through /run/initctl) and veskoinit's own, which take no arguments:
    // a power-off at even places, a reboot at odd ones.
    const char* requests[] = {"poweroff", "reboot", "/usr/lib/veskoinit/bin/shutdown", "/usr/lib/veskoinit/bin/reboot",
                              "shutdown -h now", "shutdown -r now"};
    int end = pick(10);
    plan.end = end < 3 ? End::PowerOff : end < 5 ? End::Reboot : end == 5 ? End::CutEarly : end == 6 ? End::CutScripts
               : end == 7 ? End::CutRunning : End::CutShutdown;
    int request = pick(6);
    if (plan.end == End::PowerOff && request % 2 == 1) --request;
    if (plan.end == End::Reboot && request % 2 == 0) ++request;
    plan.request = requests[request];
    plan.cut = pick(2) == 0 ? "quit" : "system_reset";
    plan.cut_after = plan.end == End::CutEarly ? between(3, 14) : plan.end == End::CutScripts ? between(0, 15) : between(0.2, 8);
    plan.end_at = std::max(between(5, 32), fills_until);
    return plan;
}

std::string end_name(const Plan& plan) {
    switch (plan.end) {
    case End::PowerOff: return "power-off (" + plan.request + ")";
    case End::Reboot: return "reboot (" + plan.request + ")";
    case End::CutEarly: return "power cut (" + plan.cut + ") in the kernel's and initramfs's start";
    case End::CutScripts: return "power cut (" + plan.cut + ") in the boot's services";
    case End::CutRunning: return "power cut (" + plan.cut + ") while running";
    case End::CutShutdown: return "power cut (" + plan.cut + ") in the shutdown (" + plan.request + ")";
    }
    return "";
}

bool cut(End end) { return end != End::PowerOff && end != End::Reboot; }

struct Round {
    int number = 0;
    Plan plan;
    std::string phase;          // where a power cut fell
    bool needed_login = false;  // whether this boot had to reach the ssh login
    bool faults_made = false;   // whether the boot lived to have its faults made
    bool came_back = false;
    bool root_errors = false;
    long lines = 0, lost = 0, doubled = 0, torn = 0;
    long zeroed = 0;             // zero bytes a power cut left at the log's end
    long cut_lines = 0;          // and lines it cut
    double seconds = 0;          // the round's length
    double tail_lost_s = 0;      // after a power cut: the last seconds that were not on the disk
    double request_s = -1;       // from the power request to the machine's end
    bool stall = false, park = false;
    std::vector<std::string> failures;
    std::string console, log, fsck, guest, qmp;
    std::string files;        // the log's files on the disk: their sizes and the writer's lines in each
    std::string missing;      // the writer's lines not found: boot, process and number, a line each
    std::string guest_state;  // after a power request that was not served
};

// A file of the image, read with debugfs (gzip's files unpacked); "" when it is not there.
std::string image_file(const std::string& image, const std::string& path) {
    int status = 0;
    // debugfs's complaints stay out of the file's text.
    std::string command = "debugfs -R " + vm::quote("dump " + path + " /dev/stdout") + " " + vm::quote(image) +
                          " 2>/dev/null | ";
    command += path.size() > 3 && path.substr(path.size() - 3) == ".gz" ? "gunzip -c 2>/dev/null" : "cat";
    std::string text = debian::capture(command, status);
    return text;
}

struct WriterLine {
    std::string boot;
    long pid = 0, n = 0;
    double uptime = 0;
};

// The writer's lines of LOG (one file of it); lines that carry its name but not a whole
// record count in TORN (each once: SEEN keeps what was counted). A power cut may leave zeros
// where the file system had not written the last seconds yet: a run of them that begins a
// line and ends the file or comes before a boot's first line counts in ZEROED, any other as
// torn; a writer's line cut there counts in ZEROED_LINES.
std::vector<WriterLine> writer_lines(std::string log, long& torn, long& zeroed, long& zeroed_lines,
                                     std::set<std::string>& seen) {
    for (size_t at = log.find('\0'); at != std::string::npos; at = log.find('\0', at)) {
        size_t end = log.find_first_not_of('\0', at);
        if (end == std::string::npos) end = log.size();
        bool tail = (at == 0 || log[at - 1] == '\n') && (end == log.size() || log.compare(end, 11, "veskoinit: ") == 0);
        if (tail) {
            // Counted in the round that left them: a run is known by its length and what comes before.
            size_t before = std::min<size_t>(at, 64);
            if (seen.insert(std::to_string(end - at) + log.substr(at - before, before)).second) zeroed += static_cast<long>(end - at);
            log.erase(at, end - at);
        } else {
            if (seen.insert(log.substr(at >= 64 ? at - 64 : 0, 128)).second) ++torn;
            at = end;
        }
    }
    std::vector<WriterLine> lines;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        size_t at = line.find("chaos-writer ");
        // veskoinit's own lines name the service.
        if (at == std::string::npos || (at >= 8 && line.compare(at - 8, 8, "service ") == 0)) continue;
        std::istringstream fields(line.substr(at + 13));
        WriterLine record;
        std::string rest;
        if (!(fields >> record.boot >> record.pid >> record.n >> record.uptime) || (fields >> rest) ||
            record.boot.size() != 8) {
            // The file system may also have the first part of a line that crossed a page's
            // end when the power went: the next boot's first line follows it, or nothing.
            bool cut = line.find("veskoinit: fstab complete", at) != std::string::npos || in.eof();
            if (seen.insert(line).second) ++(cut ? zeroed_lines : torn);  // counted in the round that wrote it
            continue;
        }
        lines.push_back(record);
    }
    return lines;
}

// The run's image and its boot's link, removed when the run is interrupted.
char g_image[256], g_boot[256];
void interrupted(int signal) {
    unlink(g_image);
    unlink(g_boot);
    _exit(128 + signal);
}

class Run {
public:
    Run(int rounds, unsigned long long seed, int first, fs::path out)
        : rounds_(rounds), seed_(seed), first_(first), out_(std::move(out)) {}

    int go() {
        fs::create_directories(out_);
        char pattern[] = "/tmp/vesko-chaos-XXXXXX";
        if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
        work_ = pattern;
        vm::run("ssh-keygen -q -t ed25519 -N '' -f " + vm::quote(work_ + "/key"));
        std::printf("chaos: seed %llu, rounds %d to %d; making the Debian server's image\n", seed_, first_, rounds_);
        std::fflush(stdout);
        std::string setup_output;
        image_ = debian::root_image(server(), work_ + "/key", setup_output);
        std::snprintf(g_image, sizeof g_image, "%s", image_.c_str());
        std::snprintf(g_boot, sizeof g_boot, "%s.boot", image_.c_str());
        std::signal(SIGINT, interrupted);
        std::signal(SIGTERM, interrupted);
        std::vector<Round> done;
        for (int number = first_; number <= rounds_ + 1; ++number) {
            Round round = number <= rounds_ ? play(number, draw(seed_, number)) : play(number, Plan{});
            report(round);
            done.push_back(std::move(round));
        }
        int failed = summary(done);
        std::error_code ignored;
        fs::remove(image_, ignored);
        fs::remove_all(work_, ignored);
        return failed == 0 ? 0 : 1;
    }

private:
    // One boot of the image, as PLAN says; round number ROUNDS + 1 is the last boot, that
    // only has to come back and power off.
    Round play(int number, const Plan& plan) {
        Round round;
        auto began = Clock::now();
        round.number = number;
        round.plan = plan;
        last_pid_ = 0;
        std::string link = image_ + ".boot";
        fs::create_hard_link(image_, link);
        debian::Setup setup = server();
        // The reset button starts the machine again (QEMU would end instead, as at a reboot).
        setup.restarts = plan.cut == "system_reset" && cut(plan.end);
        // Process 1 logs when each step of a shutdown ends, for a request that took long.
        setup.extra_words += " VESKO_SHUTDOWN_TIMES=1";
        std::string key = work_ + "/key";
        {
            vm::Machine machine(debian::scenario(setup, link));
            auto seconds = [](double s) { std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<long>(s * 1000))); };
            auto pull = [&](int ms) { machine.wait_console("\x01", ms); };
            size_t reset_at = 0;  // the console's length at a reset
            auto cut_now = [&](const std::string& phase) {
                round.phase = phase;
                reset_at = machine.console().size();
                machine.qmp("{\"execute\": \"" + plan.cut + "\"}");
            };
            auto ssh = [&](const std::string& command) {
                int status = 0;
                std::string output = debian::ssh(machine, key, command, status);
                return status == 0 ? output : "";
            };
            // Where a guest that gives no login is: QEMU's state and the first processor's registers.
            auto where_is_it = [&] {
                machine.qmp("{\"execute\": \"query-status\"}");
                machine.qmp("{\"execute\": \"human-monitor-command\", \"arguments\": {\"command-line\": \"info registers\"}}");
                round.qmp = machine.qmp_said(3000);
            };
            bool ended = false;
            if (plan.end == End::CutEarly) {
                for (auto until = Clock::now() + std::chrono::milliseconds(static_cast<long>(plan.cut_after * 1000));
                     Clock::now() < until;) pull(100);
                cut_now(machine.console().find("veskoinit: ") == std::string::npos ? "the kernel's and initramfs's start"
                                                                                    : "the boot's services");
                ended = true;
            }
            if (!ended) {
                bool first = false;
                for (auto until = machine.deadline(180000); !first && !machine.wait_end(0) && machine.left_ms(until) > 0;) {
                    first = machine.wait_console("veskoinit: ", 1000);
                }
                if (first && plan.end == End::CutScripts) {
                    seconds(plan.cut_after);
                    std::string console = machine.console();
                    cut_now(console.find("login: ") == std::string::npos ? "the boot's services" : "the running system");
                    ended = true;
                }
            }
            std::string output;
            if (!ended) {
                round.needed_login = true;
                round.came_back = debian::ssh_wait(machine, key, 240000, output);
                if (!round.came_back) {
                    round.failures.push_back("no ssh login within 4 minutes of the guest's time");
                    where_is_it();
                }
            }
            if (!ended && round.came_back) {
                ssh("sh /usr/local/sbin/chaos-fault repair");
                sweep(ssh, round);
                auto login = Clock::now();
                auto at = [&](double s) { return login + std::chrono::milliseconds(static_cast<long>(s * 1000)); };
                round.faults_made = true;
                for (const Fault& fault : plan.faults) {
                    std::this_thread::sleep_until(at(fault.at));
                    ssh("setsid -f sh /usr/local/sbin/chaos-fault " + fault.command + " </dev/null >/dev/null 2>&1");
                }
                std::this_thread::sleep_until(at(plan.end_at));
                std::istringstream seen(ssh("cat /run/chaos-writer"));
                seen >> last_boot_ >> last_pid_ >> last_n_ >> last_uptime_ >> first_uptime_;
                if (plan.end == End::CutRunning) {
                    cut_now("the running system");
                } else {
                    std::string request = plan.request.empty() ? "poweroff" : plan.request;
                    if (plan.end == End::CutShutdown) {
                        ssh("setsid -f " + request + " </dev/null >/dev/null 2>&1");
                        seconds(plan.cut_after);
                        cut_now("the shutdown");
                    } else {
                        ask(machine, ssh, request, round);
                    }
                }
            }
            if (!round.phase.empty() && plan.cut == "system_reset") {
                // The reset button: the machine starts again at once, and that boot has to
                // come back too before it is powered off.
                bool first = false;
                for (auto until = machine.deadline(180000); !first && machine.left_ms(until) > 0; pull(200)) {
                    first = machine.console().find("veskoinit: ", reset_at) != std::string::npos;
                }
                bool back = first && debian::ssh_wait(machine, key, 240000, output);
                round.came_back = (round.came_back || !round.needed_login) && back;
                round.needed_login = true;
                if (back) {
                    ask(machine, ssh, "poweroff", round);
                } else {
                    round.failures.push_back("no ssh login after the reset within 4 minutes of the guest's time");
                    where_is_it();
                }
            }
            if (!machine.wait_end(30000)) machine.qmp("{\"execute\": \"quit\"}");
            machine.wait_end(30000);
            round.console = machine.console();
        }
        // The disks are the run's again: the journal replayed as the next boot would, then
        // the file system checked without changing it.
        int status = 0;
        round.fsck = debian::capture("e2fsck -y -E journal_only " + vm::quote(image_), status);
        round.fsck += debian::capture("e2fsck -fn " + vm::quote(image_), status);
        if (status != 0) {
            round.root_errors = true;
            round.failures.push_back("e2fsck -fn finds errors on the root file system");
        }
        // A clean end leaves the root read-only, its journal with nothing to replay.
        if (!cut(plan.end) && !round.stall && round.fsck.find("recovering journal") != std::string::npos) {
            round.failures.push_back("the root file system's journal had to be replayed after a clean " +
                                     std::string(plan.end == End::Reboot ? "reboot" : "power-off"));
        }
        if (round.console.find("Kernel panic") != std::string::npos ||
            round.console.find("process 1 has stopped") != std::string::npos) {
            round.park = true;
            round.failures.push_back("process 1 died or stopped");
        }
        check_lines(round);
        round.guest = image_file(image_, "/var/lib/chaos/stalls");
        if (round.guest.size() > stalls_seen_) {
            round.stall = true;
            round.failures.push_back("process 1 did not answer: " + round.guest.substr(stalls_seen_));
            stalls_seen_ = round.guest.size();
        }
        round.seconds = std::chrono::duration<double>(Clock::now() - began).count();
        return round;
    }

    // Asks for the machine's end with the guest's command REQUEST; how long it took.
    template <typename Ssh>
    void ask(vm::Machine& machine, Ssh& ssh, const std::string& request, Round& round) {
        // The guest says that it took the request (a refused ssh session would not).
        if (ssh("setsid -f " + request + " </dev/null >/dev/null 2>&1; echo asked") != "asked\n") {
            round.failures.push_back("the " + request + " could not be asked for by ssh");
            return;
        }
        auto asked = Clock::now();
        std::optional<std::string> end = machine.wait_end(120000);
        round.request_s = std::max(round.request_s, std::chrono::duration<double>(Clock::now() - asked).count());
        if (!end) {
            round.stall = true;
            round.failures.push_back("the " + request + " was not served within 2 minutes of the guest's time");
            // What the machine was doing, and its log on the disk before the plug is pulled.
            round.guest_state = ssh("sync; cat /proc/1/status | grep -E '^(State|SigPnd|ShdPnd|SigBlk)'; "
                                    "ps -eo pid,ppid,stat,wchan:24,etime,args; veskoctl status; tail -50 /var/log/veskoinit.log");
        }
    }

    // Files of root's that a service's user came to own since the first round.
    template <typename Ssh>
    void sweep(Ssh& ssh, Round& round) {
        const std::string others = "find / -xdev ! -user root ! -path '/home/*' -printf '%u %p\\n' 2>/dev/null | sort";
        if (root_owned_.empty()) {
            std::istringstream all(ssh("find / -xdev -user root -printf '%p\\n' 2>/dev/null"));
            for (std::string path; std::getline(all, path);) root_owned_.insert(path);
            std::printf("chaos: %zu files of root's at the first login, watched for a change of owner\n", root_owned_.size());
            return;
        }
        std::istringstream owned(ssh(others));
        for (std::string line; std::getline(owned, line);) {
            std::string path = line.substr(line.find(' ') + 1);
            if (root_owned_.count(path) != 0) round.failures.push_back("now owned by a service's user: " + line);
        }
    }

    // The writer's lines of this round's boot: each of its processes' numbers from 1 up, none
    // missing or twice; after a clean end the last one seen before the request is there.
    void check_lines(Round& round) {
        std::string log;
        std::vector<WriterLine> lines;
        // Every file logrotate keeps (eight old ones, all but the newest compressed): two
        // rotation faults in one round move its first lines past the third.
        for (int old = 8; old >= 0; --old) {
            std::string name = "/var/log/veskoinit.log";
            if (old > 0) name += "." + std::to_string(old) + (old > 1 ? ".gz" : "");
            std::string file = image_file(image_, name);
            std::vector<WriterLine> more = writer_lines(file, round.torn, round.zeroed, round.cut_lines, zero_runs_);
            if (!file.empty()) {
                round.files += name + ": " + std::to_string(file.size()) + " bytes";
                auto shown = [](const WriterLine& line) {
                    return line.boot + " " + std::to_string(line.pid) + " " + std::to_string(line.n);
                };
                if (!more.empty()) round.files += ", writer's lines " + shown(more.front()) + " to " + shown(more.back());
                round.files += "\n";
            }
            lines.insert(lines.end(), more.begin(), more.end());
            log += file;
        }
        std::map<std::string, std::map<long, std::vector<long>>> by_boot;
        std::map<std::string, double> last_uptime;
        for (const WriterLine& line : lines) {
            if (boots_.count(line.boot) != 0) continue;
            by_boot[line.boot][line.pid].push_back(line.n);
            last_uptime[line.boot] = std::max(last_uptime[line.boot], line.uptime);
        }
        bool last_found = false;
        for (auto& [boot, processes] : by_boot) {
            boots_.insert(boot);
            for (auto& [pid, numbers] : processes) {
                std::sort(numbers.begin(), numbers.end());
                long distinct = std::unique(numbers.begin(), numbers.end()) - numbers.begin();
                round.lines += distinct;
                round.doubled += static_cast<long>(numbers.size()) - distinct;
                round.lost += numbers[distinct - 1] - distinct;
                // Which ones, for the round's folder: where to look in its log.
                for (long n = 1, i = 0; n < numbers[distinct - 1] && round.missing.size() < 2000; ++n) {
                    if (numbers[i] == n) ++i;
                    else round.missing += boot + " " + std::to_string(pid) + " " + std::to_string(n) + "\n";
                }
                // The boot that followed may have given its writer the same process ID.
                bool last = boot == last_boot_ && pid == last_pid_;
                last_found = last_found || last;
                if (last && last_n_ > numbers[distinct - 1]) {
                    if (cut(round.plan.end)) round.tail_lost_s = std::max(0.0, last_uptime_ - last_uptime[boot]);
                    else round.lost += last_n_ - numbers[distinct - 1];
                }
            }
        }
        // Not one line of the writer's last process on the disk: what it wrote since its first line.
        if (last_pid_ != 0 && !last_found) {
            if (cut(round.plan.end)) round.tail_lost_s = last_uptime_ - first_uptime_;
            else round.lost += last_n_;
        }
        if (round.lost > 0) round.failures.push_back(std::to_string(round.lost) + " of the writer's lines lost");
        if (round.doubled > 0) round.failures.push_back(std::to_string(round.doubled) + " of the writer's lines written twice");
        if (round.torn > 0) round.failures.push_back(std::to_string(round.torn) + " torn lines in the log");
        if (round.tail_lost_s > 35) {
            round.failures.push_back("the last " + std::to_string(static_cast<int>(round.tail_lost_s)) +
                                     " s before the power cut were lost from the log");
        }
        round.log = log.size() > 2000000 ? log.substr(log.size() - 2000000) : log;
    }

    void report(const Round& round) {
        std::string faults;
        for (const Fault& fault : round.plan.faults) {
            if (round.faults_made) faults += (faults.empty() ? "" : ", ") + fault.command;
        }
        std::printf("round %d (%.0f s): %s%s; %s%s%s; %ld lines%s%s%s\n", round.number, round.seconds,
                    round.number > rounds_ ? "the last boot, no faults" : end_name(round.plan).c_str(),
                    round.phase.empty() || cut(round.plan.end) == false ? "" : (", fell in " + round.phase).c_str(),
                    faults.empty() ? "no faults" : faults.c_str(),
                    round.needed_login ? (round.came_back ? "; came back" : "; DID NOT COME BACK") : "",
                    round.request_s >= 0 ? ("; served in " + std::to_string(round.request_s).substr(0, 4) + " s").c_str() : "",
                    round.lines,
                    round.zeroed + round.cut_lines > 0 ? ("; " + std::to_string(round.zeroed) + " zero bytes and " +
                                                          std::to_string(round.cut_lines) + " cut line(s) at the log's end").c_str()
                                                       : "",
                    round.tail_lost_s > 0 ? ("; last " + std::to_string(round.tail_lost_s).substr(0, 4) +
                                                          " s before the cut not on the disk").c_str() : "",
                    round.root_errors ? "; ROOT HAS ERRORS" : "");
        for (const std::string& failure : round.failures) std::printf("  FAILED: %s\n", failure.c_str());
        {
            // Every round's, for what the checks do not see.
            fs::path dir = out_ / ("round-" + std::to_string(round.number));
            fs::create_directories(dir);
            std::ofstream(dir / "console") << round.console;
            std::ofstream(dir / "log") << round.log;
            std::ofstream(dir / "fsck") << round.fsck;
            std::ofstream(dir / "files") << round.files;
            if (!round.missing.empty()) std::ofstream(dir / "missing") << round.missing;
            if (!round.guest_state.empty()) std::ofstream(dir / "state") << round.guest_state;
            if (!round.qmp.empty()) std::ofstream(dir / "qmp") << round.qmp;
            std::ofstream(dir / "failures") << "seed " << seed_ << " round " << round.number << "\n";
            for (const std::string& failure : round.failures) std::ofstream(dir / "failures", std::ios::app) << failure << "\n";
            if (!round.failures.empty()) {
                std::printf("  seed %llu, round %d: console, log and e2fsck's output in %s\n", seed_, round.number, dir.c_str());
            }
        }
        std::fflush(stdout);
    }

    int summary(const std::vector<Round>& rounds) {
        std::map<std::string, int> kinds;
        int back = 0, needed = 0, errors = 0, stalls = 0, parks = 0, failed = 0;
        long lost_clean = 0, doubled_torn = 0, lines = 0;
        double slowest = 0, tail = 0;
        long zeroed = 0, cut_lines = 0;
        for (const Round& round : rounds) {
            for (const Fault& fault : round.plan.faults) kinds[fault.kind] += round.faults_made;
            if (round.number <= rounds_) ++kinds[cut(round.plan.end) ? "power cut" : "power request"];
            if (round.plan.end == End::CutShutdown) ++kinds["power request"];
            needed += round.needed_login;
            back += round.came_back;
            errors += round.root_errors;
            stalls += round.stall;
            parks += round.park;
            failed += !round.failures.empty();
            if (!cut(round.plan.end)) lost_clean += round.lost;
            doubled_torn += round.doubled + round.torn;
            lines += round.lines;
            slowest = std::max(slowest, round.request_s);
            tail = std::max(tail, round.tail_lost_s);
            zeroed += round.zeroed;
            cut_lines += round.cut_lines;
        }
        std::string faults;
        for (const auto& [kind, count] : kinds) faults += (faults.empty() ? "" : ", ") + kind + " " + std::to_string(count);
        std::printf("\nchaos run, seed %llu (rounds %d to %d, then one boot without faults):\n\n", seed_, first_, rounds_);
        std::printf("| rounds | faults by kind | machines that came back | roots with errors | lines lost after clean shutdowns | "
                    "lines doubled or torn | stalls | parks |\n|---:|---|---:|---:|---:|---:|---:|---:|\n");
        std::printf("| %d | %s | %d of %d | %d | %ld of %ld | %ld | %d | %d |\n\n", rounds_ - first_ + 1, faults.c_str(),
                    back, needed, errors, lost_clean, lines, doubled_torn, stalls, parks);
        std::printf("slowest power request served in %.1f s; at most the last %.1f s before a power cut were not on the disk;\n"
                    "power cuts left %ld zero bytes and %ld cut line(s) at the log's end\n",
                    slowest, tail, zeroed, cut_lines);
        std::printf("%d round(s) with a failed check%s\n", failed, failed ? (" (see " + out_.string() + ")").c_str() : "");
        return failed;
    }

    int rounds_;
    unsigned long long seed_;
    int first_;
    fs::path out_;
    std::string work_, image_;
    std::set<std::string> boots_;      // boots whose lines were checked
    std::set<std::string> root_owned_;  // root's files at the first login
    std::set<std::string> zero_runs_;   // torn lines and runs of zeros in the log already counted
    size_t stalls_seen_ = 0;
    std::string last_boot_;            // the writer's last line before the end
    long last_pid_ = 0, last_n_ = 0;
    double last_uptime_ = 0, first_uptime_ = 0;  // that line's uptime, and its process's first line's
};

}  // namespace

int main(int argc, char** argv) {
    if (std::string reason = debian::unavailable(); !reason.empty()) {
        std::printf("chaos: cannot boot the Debian system here: %s\n", reason.c_str());
        return 1;
    }
    int rounds = argc > 1 ? std::atoi(argv[1]) : 50;
    unsigned long long seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : std::random_device{}() % 1000000;
    int first = argc > 3 ? std::atoi(argv[3]) : 1;
    if (rounds < 1 || first < 1 || first > rounds) {
        std::printf("usage: chaos [ROUNDS] [SEED] [FIRST]\n");
        return 2;
    }
    const char* out = std::getenv("CHAOS_OUT");
    try {
        return Run(rounds, seed, first, out ? out : "chaos-" + std::to_string(seed)).go();
    } catch (const std::exception& error) {
        std::printf("chaos: %s\n", error.what());
        return 1;
    }
}
