// veskoinit as the init of a real Debian 13 system (and one boot of Debian 12), installed from
// its package: booted with the line a Debian install writes (then with a recovery entry's
// words, and without an initramfs), Debian's own daemons, the Debian base set for the devices,
// the modules, the kernel's settings and the system log, a root login on the serial console, an
// upgrade of the package, and a clean reboot or power-off.
#include <gtest/gtest.h>

#include <cctype>
#include <regex>

#include "debian.hpp"

namespace {

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

struct Case {
    const char* title;
    debian::Setup setup;
    const char* end;
    std::vector<std::string> console;
    std::vector<std::string> log = {};
    std::vector<std::string> host = {};
    bool warnings = false;   // the log has warnings
    std::string report = "";  // what the base set's set-up prints, whole
};

// The rows, each a test of its own (Row/ and its title, _ for each space).
const std::vector<Case>& cases() {
    // The session's view of the mounts: /dev/pts, /dev/shm and the data disk, and the swap.
    const std::string mounts = "echo mounts: $(grep -cE ' /(dev/pts|dev/shm|srv/data) ' /proc/mounts) "
                               "swaps: $(grep -c '^/' /proc/swaps) data: $(cat /srv/data/hello)";
    // The interface as the installer writes it; the guest's resolver stays as it is: nothing
    // outside QEMU answers.
    const std::vector<std::pair<std::string, std::string>> network = {
        {"/etc/network/interfaces", "source /etc/network/interfaces.d/*\n\nauto lo\niface lo inet loopback\n\n"
                                    "allow-hotplug ens16\niface ens16 inet dhcp\n"},
        {"/etc/dhcp/dhclient-enter-hooks.d/keep-resolver", "make_resolv_conf() { :; }\n"}};
    auto with_network = [&](std::vector<std::pair<std::string, std::string>> files) {
        files.insert(files.end(), network.begin(), network.end());
        return files;
    };
    const std::string hot = std::string("/dev/disk/by-uuid/") + debian::kHotUuid;
    // The set-up's lines up to its report, on each release.
    auto set_up = [](const std::string& debian_own) {
        return "setup: added /etc/veskoinit/services/getty.toml\nsetup: added /etc/veskoinit/services/hostname\n"
               "setup: added /etc/veskoinit/services/random-seed\n"
               "setup: no serial console (console=ttyS0) on the kernel command line; no login prompt on ttyS0\n" +
               debian_own +
               "vesko-service enable hostname: one sec... <enabled> done.\n"
               "vesko-service enable random-seed: one sec... <enabled> done.\n"
               "setup: linked /usr/sbin/policy-rc.d to /usr/share/veskoinit/debian/policy-rc.d\n";
    };
    const std::string timers = "apt-daily-upgrade.timer apt-daily.timer dpkg-db-backup.timer";
    // What the set-up prints on Debian 13 with its daemons, whole.
    const std::string trixie_report =
        set_up("setup: added /etc/veskoinit/services/udev\nvesko-service enable udev: one sec... <enabled> done.\n"
               "setup: added /etc/veskoinit/services/kmod\nvesko-service enable kmod: one sec... <enabled> done.\n"
               "vesko-service enable procps: one sec... <enabled> done.\n"
               "vesko-service enable networking: one sec... <enabled> done.\n"
               "setup: no /etc/init.d/hwclock.sh (in initscripts, which systemd-sysv conflicts with): hwclock is not set up\n") +
            "setup: rsyslog runs from its own unit once enabled: vesko-service rsyslog enable\n"
            "setup: diverted /usr/lib/rsyslog/rsyslog-rotate to /usr/lib/rsyslog/rsyslog-rotate.real; "
            "the base set's has the service rsyslog reopen its files\n"
            "setup: (undone by: rm /usr/lib/rsyslog/rsyslog-rotate; dpkg-divert --package veskoinit --rename --remove "
            "/usr/lib/rsyslog/rsyslog-rotate)\n"
            "setup: what this machine's own init starts (the wants of /etc/systemd/system, /etc/rc2.d), here:\n"
            "setup:   atd: from /etc/init.d/atd (at) once enabled: vesko-service atd enable\n"
            "setup:   caddy: from its unit /usr/lib/systemd/system/caddy.service (caddy) once enabled: vesko-service caddy enable\n"
            "setup:   cron: from /etc/init.d/cron (cron) once enabled: vesko-service cron enable\n"
            "setup:   getty: runs here, from /etc/veskoinit/services/getty.toml\n"
            "setup:   nats-server: from its unit /usr/lib/systemd/system/nats-server.service (nats-server) once enabled: "
            "vesko-service nats-server enable\n"
            "setup:   networking: runs here, from /etc/init.d/networking (ifupdown)\n"
            "setup:   nginx: from /etc/init.d/nginx (nginx-common) once enabled: vesko-service nginx enable\n"
            "setup:   rsyslog: from its unit /usr/lib/systemd/system/rsyslog.service (rsyslog) once enabled: vesko-service rsyslog enable\n"
            "setup:   ssh: from /etc/init.d/ssh (openssh-server) once enabled: vesko-service ssh enable\n"
            "setup:   sshd-keygen: from its unit /usr/lib/systemd/system/sshd-keygen.service (openssh-server) once enabled: "
            "vesko-service sshd-keygen enable\n"
            "setup:   systemd-pstore: from its unit /usr/lib/systemd/system/systemd-pstore.service (systemd) once enabled: "
            "vesko-service systemd-pstore enable\n"
            "setup: not run here, systemd's own kinds of unit (cron, where it runs, runs /etc/cron.daily): " + timers +
            " fstrim.timer logrotate.timer\n"
            "setup: done; boot with init=/sbin/veskoinit added to the kernel command line\n";
    static const std::vector<Case> cases = {
        // The initramfs mounts / read-only and hands over /proc, /sys, /dev and /run; the
        // upgrade renames a new executable over the running one before the reboot.
        {"stock", {true, "", {"vesko-service atd status", "ps -o pid,ppid,args -p 1 --ppid 1",
                             "logger -t vesko-test 'hello from the Debian guest'", "veskoctl restart serial-getty",
                             "veskoctl status serial-getty atd", mounts,
                             "dpkg -i /root/veskoinit-upgrade.deb", "reboot"}},
         "guest-reset",
         {"veskoinit: remounted / read-write\n", "veskoinit: /sys already has sysfs; skipping mount\n",
          "veskoinit: mounted tmpfs on /dev/shm as tmpfs\n", "vesko-service status atd: one sec... <status> done.\n",
          "Unpacking veskoinit (0.1.0+upgrade1) over (0.1.0)", "atd script running - - - - -\n"}},
        {"single splash", {true, "single splash", {mounts, "shutdown"}}, "guest-shutdown",
         {"veskoinit: ignoring arguments: single splash\n"}},
        // The Debian base set on Debian 13 (its own udevd, modules and rsyslog, Debian's scripts
        // for the kernel's settings and the network; the random seed) and three daemons from
        // their own init scripts, reached from the host by ssh and HTTP; a disk plugged in while
        // it runs, a package reinstalled, the logs rotated, the machine's own reboot from the
        // ssh session, back to ssh, and its own poweroff.
        {"the Debian base set",
         {true, "", {"host: ssh-wait", "host: ssh hostname; veskoctl status ssh", "host: http", "echo ifstate: $(cat /run/network/ifstate.ens16)",
                     "echo udevd: $(udevadm control --ping && echo answers) "
                     "udev: $(udevadm info -q property -n /dev/nvme1n1 | grep -c ^ID_FS_UUID=)",
                     "echo modules: $(grep -c '^dummy ' /proc/modules) swappiness: $(cat /proc/sys/vm/swappiness)",
                     "host: hot-add", "udevadm wait --timeout 50 " + hot + "; echo hot: $(readlink -f " + hot + ")",
                     "vesko-service ssh restart; vesko-service ssh status; veskoctl status udev networking nginx rsyslog cron",
                     // The package's maintainer script upgrades the enabled daemon (a new pid).
                     "p=$(cat /run/nginx.pid); apt-get install --reinstall -y /var/cache/apt/archives/nginx_*.deb "
                     ">/tmp/apt.log 2>&1; echo apt: $? $([ \"$(cat /run/nginx.pid)\" != \"$p\" ] && echo new pid)",
                     "host: http", "logrotate -f /etc/logrotate.d/veskoinit; echo rotated: $?",
                     // rsyslog writes to the new file once the rotation has had it reopen its files.
                     "logger -t vesko-test before; i=0; until grep -qs 'vesko-test: before' /var/log/syslog || "
                     "[ $((i+=1)) -gt 50 ]; do sleep 1; done; logrotate -f /etc/logrotate.d/rsyslog; echo syslog rotated: $?; "
                     "i=0; until grep -qs 'vesko-test: after' /var/log/syslog || [ $((i+=1)) -gt 50 ]; do "
                     "logger -t vesko-test after; sleep 1; done; echo syslog: $(grep -c 'vesko-test: before' /var/log/syslog.1) "
                     "$(grep -c 'vesko-test: before' /var/log/syslog) $(grep -qs 'vesko-test: after' /var/log/syslog && echo after)",
                     mounts, "host: ssh reboot", "host: wait reboot: Restarting system", "host: ssh-wait",
                     "host: ssh cat /proc/1/comm; veskoctl status >/dev/null", "host: ssh poweroff"},
          {"ssh", "nginx", "rsyslog", "cron"},
          with_network({{"/etc/modules", "dummy\n"}, {"/etc/sysctl.d/90-test.conf", "vm.swappiness = 17\n"},
                        {"/var/lib/veskoinit/random-seed", "planted\n"}}),
          true, true, "trixie", true},
         "guest-shutdown",
         {"ifstate: ens16\n", "udevd: answers udev: 1\n", "modules: 1 swappiness: 17\n", "hot: /dev/vda\n",
          "udev script running - - - - -\n", "nginx script running - - - - -\n", "rsyslog direct running ",
          "apt: 0 new pid\n", "rotated: 0\n", "syslog rotated: 0\nsyslog: 1 0 after\n", "reboot: Restarting system\n"},
         // The log after the rotation: the shutdowns' lines, asked for by Debian's commands.
         {"veskoinit: reboot requested through /run/initctl\n", "veskoinit: power-off requested through /run/initctl\n",
          " * saving the random seed\n", "Stopping OpenBSD Secure Shell server: sshd.\n"},
         {"$ ssh hostname; veskoctl status ssh\nveskodeb\nssh script running - - - - -\nstatus 0\n$ http\nHTTP/1.1 200 OK\n",
          "<h1>Welcome to nginx!</h1>", "$ ssh cat /proc/1/comm; veskoctl status >/dev/null\nveskoinit\nstatus 0\n"},
         false,
         trixie_report},
        // Debian 12, whose packages have the base set's scripts but for rsyslog's: a typo in
        // nginx's configuration and a purged package's enable link left dangling are passed
        // over, the rest starts, and ssh logs in.
        {"Debian 12 with a broken nginx and a purged package",
         {true, "", {"host: ssh-wait", "host: ssh veskoctl status nginx gone ssh", mounts,
                     "host: ssh /usr/lib/veskoinit/bin/shutdown"},
          {"ssh", "nginx", "gone"}, with_network({{"/etc/nginx/conf.d/typo.conf", "server { listen 80 }\n"}}), true, true,
          "bookworm"},
         "guest-shutdown", {},
         {"veskoinit: warning: passing over script service gone: service \"gone\" does not exist in /etc/veskoinit/services\n",
          "veskoinit: warning: passing over script service nginx: start for nginx failed with status 1\n",
          "enabled script service(s); passed over: gone, nginx\n", "veskoinit: started service serial-getty"},
         {"nginx script failed - - - - - start for nginx failed with status 1\n"
          "gone script failed - - - - - service \"gone\" does not exist in /etc/veskoinit/services\n"
          "ssh script running - - - - -\nstatus 3\n"},
         true,
         set_up("vesko-service enable udev: one sec... <enabled> done.\nvesko-service enable kmod: one sec... <enabled> done.\n"
                "vesko-service enable procps: one sec... <enabled> done.\n"
                "vesko-service enable networking: one sec... <enabled> done.\n"
                "vesko-service enable hwclock: one sec... <enabled> done.\n") +
             "setup: what this machine's own init starts (the wants of /etc/systemd/system, /etc/rc2.d), here:\n"
             "setup:   atd: from /etc/init.d/atd (at) once enabled: vesko-service atd enable\n"
             "setup:   cron: from /etc/init.d/cron (cron) once enabled: vesko-service cron enable\n"
             "setup:   e2scrub_reap: from its unit /usr/lib/systemd/system/e2scrub_reap.service (e2fsprogs) once enabled: "
             "vesko-service e2scrub_reap enable\n"
             "setup:   networking: runs here, from /etc/init.d/networking (ifupdown)\n"
             "setup:   nginx: from /etc/init.d/nginx (nginx-common) once enabled: vesko-service nginx enable\n"
             "setup:   rsyslog: from its unit /usr/lib/systemd/system/rsyslog.service (rsyslog) once enabled: "
             "vesko-service rsyslog enable\n"
             "setup:   ssh: from /etc/init.d/ssh (openssh-server) once enabled: vesko-service ssh enable\n"
             "setup: not run here, systemd's own kinds of unit (cron, where it runs, runs /etc/cron.daily): " + timers +
             " e2scrub_all.timer fstrim.timer logrotate.timer\n"
             "setup: done; boot with init=/sbin/veskoinit added to the kernel command line\n"},
        // Debian 13's daemons that ship only a systemd unit, from their packages' own units:
        // rsyslog (Type=notify) writing the system log, caddy (Type=notify, User=caddy,
        // AmbientCapabilities=CAP_NET_BIND_SERVICE) answering on port 80 and reloading its
        // configuration with veskoctl, nats-server (a User= simple daemon with ExecStop= and
        // KillSignal=); each killed once and restarted by its Restart= (the owner's drop-in
        // where the package's unit has none).
        {"Debian 13 daemons from their own units",
         {true, "", {"i=0; until veskoctl status caddy >/dev/null || [ $((i+=1)) -gt 45 ]; do sleep 1; done",
                     "host: http", "veskoctl status rsyslog caddy nats-server",
                     "echo caps: $(grep CapAmb /proc/$(pgrep -x caddy)/status) user: $(ps -o user= -p $(pgrep -x caddy)) "
                     "$(ps -o user= -p $(pgrep -x nats-server))",
                     "logger -t vesko-test unit; i=0; until grep -qs 'vesko-test: unit' /var/log/syslog || "
                     "[ $((i+=1)) -gt 50 ]; do sleep 1; done; echo syslog: $(grep -c 'vesko-test: unit' /var/log/syslog)",
                     "printf ':80 {\\n\\trespond \"reloaded by veskoctl\"\\n}\\n' >/etc/caddy/Caddyfile; veskoctl reload caddy; "
                     "until grep -qs 'reload command of service caddy' /var/log/veskoinit.log; do sleep 1; done; "
                     "grep -o 'reload command of service caddy.*' /var/log/veskoinit.log",
                     "host: http",
                     "kill -9 $(pgrep -x caddy) $(pgrep -x nats-server) $(pgrep -x rsyslogd); i=0; "
                     "until [ $(veskoctl status rsyslog caddy nats-server | grep -c ' running ') = 3 ] || [ $((i+=1)) -gt 60 ]; "
                     "do sleep 1; done; veskoctl status rsyslog caddy nats-server | cut -d' ' -f1-3,6",
                     "host: http", mounts, "shutdown"},
          {"rsyslog", "caddy", "nats-server"},
          // The hosts file as the installer writes it: caddy's administration endpoint is localhost.
          with_network({{"/etc/hosts", "127.0.0.1\tlocalhost\n127.0.1.1\tveskodeb\n::1\tlocalhost ip6-localhost\n"},
                        {"/etc/systemd/system/caddy.service.d/restart.conf", "[Service]\nRestart=on-failure\n"},
                        {"/etc/systemd/system/nats-server.service.d/restart.conf", "[Service]\nRestart=on-failure\n"}}),
          true, true, "trixie"},
         "guest-shutdown",
         {"caddy direct running ", "nats-server direct running ", "rsyslog direct running ",
          "caps: CapAmb: 0000000000000400 user: caddy nats\n", "syslog: 1\n",
          "reload command of service caddy exited with status 0\n",
          "rsyslog direct running 1\ncaddy direct running 1\nnats-server direct running 1\n"},
         {"veskoinit: service rsyslog is ready\n", "veskoinit: service caddy is ready\n",
          "veskoinit: restarting service caddy after killed by signal 9\n",
          "veskoinit: restarting service nats-server after killed by signal 9\n",
          "veskoinit: restarting service rsyslog after killed by signal 9\n"},
         {"$ http\nHTTP/1.0 200 OK\n", "<title>Caddy works!", "reloaded by veskoctl"},
         false,
         trixie_report},
        {"without an initramfs", {false, "", {mounts, "shutdown"}}, "guest-shutdown",
         {"veskoinit: remounted / read-write\nveskoinit: mounted proc on /proc as proc\n"
          "veskoinit: mounted sysfs on /sys as sysfs\n"}},
    };
    return cases;
}

class DebianBoot : public testing::TestWithParam<size_t> {};

TEST_P(DebianBoot, Row) {
    if (std::string reason = debian::unavailable(cases().at(GetParam()).setup.release); !reason.empty()) GTEST_SKIP() << reason;
    for (const Case& c : cases()) {
        if (&c != &cases().at(GetParam())) continue;  // this test's row
        SCOPED_TRACE(c.title);
        debian::Boot boot = debian::boot(c.setup);
        // Without an initramfs the kernel mounts root=/dev/nvme0n1, and it names the NVMe
        // disks in the order their probes end, which runs them at once: now and then the data
        // disk is nvme0n1 and no /sbin/veskoinit is found, or the swap disk is nvme1n1, where
        // the fstab has the data disk. That is the kernel's naming, not the boot under test:
        // boot again, at most twice.
        for (int again = 0; again < 2 && !c.setup.initramfs &&
                            (has(boot.console, "Requested init /sbin/veskoinit failed (error -2)") ||
                             has(boot.console, "EXT4-fs (nvme1n1): VFS: Can't find ext4 filesystem"));
             ++again) {
            std::printf("[ note     ] %s: the kernel named another disk nvme0n1; booting again\n", c.title);
            boot = debian::boot(c.setup);
        }
        std::printf("[ figures  ] %s: QEMU start to the first line of process 1: %.1f s; to the login prompt: %.1f s\n",
                    c.title, boot.to_first_line, boot.to_login);
        ASSERT_EQ(boot.end, c.end) << boot.failure << "\n" << boot.console;
        EXPECT_EQ(boot.failure, "");
        std::vector<std::string> expected = c.console;
        expected.insert(expected.end(), {"mounts: 3 swaps: 1 data: data\n", "veskoinit: remounted / read-only\n"});
        for (const std::string& line : expected) EXPECT_TRUE(has(boot.console, line)) << line << "\n" << boot.console;
        for (const std::string& line : c.log) EXPECT_TRUE(has(boot.log, line)) << line << "\n" << boot.log;
        for (const std::string& text : c.host) EXPECT_TRUE(has(boot.host, text)) << text << "\n" << boot.host;
        EXPECT_EQ(boot.setup, c.report);
        if (has(boot.console, "rotated: 0\n")) {
            // The log before the rotation, kept whole: the boot to the loop, whole lines.
            EXPECT_EQ(boot.rotated_log.rfind("veskoinit: fstab complete", 0), 0u) << boot.rotated_log;
            EXPECT_TRUE(has(boot.rotated_log, "veskoinit: PID 1 event loop started\n")) << boot.rotated_log;
            EXPECT_EQ(boot.rotated_log.back(), '\n');
            // The new log begins with what came after the rotation, not with a boot.
            EXPECT_NE(boot.log.rfind("veskoinit: fstab complete", 0), 0u) << boot.log;
        }
        EXPECT_EQ(has(boot.log, "veskoinit: warning"), c.warnings) << boot.log;
        EXPECT_FALSE(has(boot.log, "fatal")) << boot.log;
        EXPECT_TRUE(boot.clean) << "e2fsck -fn finds the root file system damaged";
        if (std::string(c.title) != "stock") continue;
        // The stock machine in detail: Debian's daemons are children of process 1 (the getty
        // has become the login; atd was adopted when its parent exited), every service starts
        // and stops, and the shutdown after the upgrade runs its last stage in the new
        // executable.
        for (const char* daemon : {"/usr/sbin/rsyslogd -n -iNONE", "/usr/sbin/cron -f", "(/bin/)?login --"}) {
            EXPECT_TRUE(std::regex_search(boot.console, std::regex(std::string("\n *[0-9]+ +1 ") + daemon)))
                << daemon << " is not a child of process 1:\n" << boot.console;
        }
        // The root's session ended with the getty's restart, and root logged in again.
        EXPECT_TRUE(std::regex_search(boot.console, std::regex("serial-getty direct running [0-9]+ [0-9]+ 0 (exit|signal):[0-9]+ current")))
            << boot.console;
        std::smatch atd;
        ASSERT_TRUE(std::regex_search(boot.console, atd, std::regex("\n *([0-9]+) +1 /usr/sbin/atd"))) << boot.console;
        for (const std::string& line : std::vector<std::string>{"veskoinit: started 2 enabled script service(s)\n", "veskoinit: started service serial-getty",
              "veskoinit: started service syslog", "veskoinit: started service cron", "veskoinit: stopped service cron (",
              "veskoinit: stopped service syslog (", "veskoinit: stopped service serial-getty (",
              "veskoinit: stopping service serial-getty on request\n", "veskoinit: starting service serial-getty again on request\n",
              // atd, the script service, is stopped by its script and reaped by process 1.
              "veskoinit: reaped adopted child " + atd[1].str() + " during shutdown (exited with status 0)\n",
              "veskoinit: the executable was replaced; the shutdown goes on in /usr/sbin/veskoinit\n"}) {
            EXPECT_TRUE(has(boot.log, line)) << line << "\n" << boot.log;
        }
        EXPECT_TRUE(has(boot.syslog, "vesko-test: hello from the Debian guest")) << boot.syslog;
    }
}

INSTANTIATE_TEST_SUITE_P(Debian, DebianBoot, testing::Range<size_t>(0, cases().size()), [](const auto& row) {
    std::string name = cases().at(row.param).title;
    for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
});

}  // namespace
