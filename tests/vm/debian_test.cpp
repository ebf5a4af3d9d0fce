// veskoinit as the init of a real Debian 12 system, installed from its package: booted with
// the line a Debian install writes (then with a recovery entry's words, and without an
// initramfs), Debian's own daemons and its own init scripts for the devices, the modules and
// the kernel's settings, a root login on the serial console, an upgrade of the package, and a
// clean reboot or power-off.
#include <gtest/gtest.h>

#include <regex>

#include "debian.hpp"

namespace {

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(DebianBoot, StockBootLineRecoveryWordsAndNoInitramfs) {
    if (std::string reason = debian::unavailable(); !reason.empty()) GTEST_SKIP() << reason;
    // The session's view of the mounts: /dev/pts, /dev/shm and the data disk, and the swap.
    const std::string mounts = "echo mounts: $(grep -cE ' /(dev/pts|dev/shm|srv/data) ' /proc/mounts) "
                               "swaps: $(grep -c '^/' /proc/swaps) data: $(cat /srv/data/hello)";
    struct Case {
        const char* title;
        debian::Setup setup;
        const char* end;
        std::vector<std::string> console;
        std::vector<std::string> log = {};
        std::vector<std::string> host = {};
        bool warnings = false;  // the log has warnings
    };
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
    const Case cases[] = {
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
        // The Debian base set (Debian's own scripts for the devices, the modules, the kernel's
        // settings and the network; the random seed) and two daemons from their own init
        // scripts, reached from the host by ssh and HTTP; a disk plugged in while it runs,
        // a package reinstalled, the log rotated, and a power-off from the ssh session.
        {"the Debian base set",
         {true, "", {"host: ssh-wait", "host: ssh hostname; veskoctl status ssh", "host: http", "echo ifstate: $(cat /run/network/ifstate.ens16)",
                     "echo udev: $(udevadm info -q property -n /dev/nvme1n1 | grep -c ^ID_FS_UUID=)",
                     "echo modules: $(grep -c '^dummy ' /proc/modules) swappiness: $(cat /proc/sys/vm/swappiness)",
                     "host: hot-add", std::string("udevadm settle; echo hot: $(readlink -f /dev/disk/by-uuid/") + debian::kHotUuid + ")",
                     "vesko-service ssh restart; vesko-service ssh status; veskoctl status udev networking nginx",
                     // The package's maintainer script upgrades the enabled daemon (a new pid).
                     "p=$(cat /run/nginx.pid); apt-get install --reinstall -y /var/cache/apt/archives/nginx_*.deb "
                     ">/tmp/apt.log 2>&1; echo apt: $? $([ \"$(cat /run/nginx.pid)\" != \"$p\" ] && echo new pid)",
                     "host: http", "logrotate -f /etc/logrotate.d/veskoinit; echo rotated: $?", mounts,
                     "host: ssh /usr/lib/veskoinit/bin/shutdown"},
          {"ssh", "nginx"},
          with_network({{"/etc/modules", "dummy\n"}, {"/etc/sysctl.d/90-test.conf", "vm.swappiness = 17\n"},
                        {"/var/lib/veskoinit/random-seed", "planted\n"}}),
          true, true},
         "guest-shutdown",
         {"ifstate: ens16\n", "udev: 1\n", "modules: 1 swappiness: 17\n", "hot: /dev/vda\n",
          "udev script running - - - - -\n", "nginx script running - - - - -\n", "apt: 0 new pid\n", "rotated: 0\n"},
         // The log after the rotation: the shutdown's lines (hwclock.sh's too).
         {" * saving the random seed\n", "Stopping OpenBSD Secure Shell server: sshd.\n",
          "Saving the system clock to /dev/rtc0.\n"},
         {"$ ssh hostname; veskoctl status ssh\nveskodeb\nssh script running - - - - -\nstatus 0\n$ http\nHTTP/1.1 200 OK\n",
          "<h1>Welcome to nginx!</h1>", "$ ssh /usr/lib/veskoinit/bin/shutdown\nstatus 0\n"}},
        // A typo in nginx's configuration and a purged package's enable link left dangling:
        // both are passed over, the rest starts, and ssh logs in.
        {"a broken nginx and a purged package",
         {true, "", {"host: ssh-wait", "host: ssh veskoctl status nginx gone ssh", mounts,
                     "host: ssh /usr/lib/veskoinit/bin/shutdown"},
          {"ssh", "nginx", "gone"}, with_network({{"/etc/nginx/conf.d/typo.conf", "server { listen 80 }\n"}}), true, true},
         "guest-shutdown", {},
         {"veskoinit: warning: passing over script service gone: service \"gone\" does not exist in /etc/veskoinit/services\n",
          "veskoinit: warning: passing over script service nginx: start for nginx failed with status 1\n",
          "enabled script service(s); passed over: gone, nginx\n", "veskoinit: started service serial-getty"},
         {"nginx script failed - - - - - start for nginx failed with status 1\n"
          "gone script failed - - - - - service \"gone\" does not exist in /etc/veskoinit/services\n"
          "ssh script running - - - - -\nstatus 3\n"},
         true},
        {"without an initramfs", {false, "", {mounts, "shutdown"}}, "guest-shutdown",
         {"veskoinit: remounted / read-write\nveskoinit: mounted proc on /proc as proc\n"
          "veskoinit: mounted sysfs on /sys as sysfs\n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        debian::Boot boot = debian::boot(c.setup);
        std::printf("[ figures  ] %s: QEMU start to the first line of process 1: %.1f s; to the login prompt: %.1f s\n",
                    c.title, boot.to_first_line, boot.to_login);
        ASSERT_EQ(boot.end, c.end) << boot.failure << "\n" << boot.console;
        EXPECT_EQ(boot.failure, "");
        std::vector<std::string> expected = c.console;
        expected.insert(expected.end(), {"mounts: 3 swaps: 1 data: data\n", "veskoinit: remounted / read-only\n"});
        for (const std::string& line : expected) EXPECT_TRUE(has(boot.console, line)) << line << "\n" << boot.console;
        for (const std::string& line : c.log) EXPECT_TRUE(has(boot.log, line)) << line << "\n" << boot.log;
        for (const std::string& text : c.host) EXPECT_TRUE(has(boot.host, text)) << text << "\n" << boot.host;
        if (has(boot.console, "rotated: 0\n")) {
            // The log before the rotation, kept whole: the boot to the loop, whole lines.
            EXPECT_EQ(boot.rotated_log.rfind("veskoinit: fstab complete", 0), 0u) << boot.rotated_log;
            EXPECT_TRUE(has(boot.rotated_log, "veskoinit: PID 1 event loop started\n")) << boot.rotated_log;
            EXPECT_EQ(boot.rotated_log.back(), '\n');
            EXPECT_FALSE(has(boot.log, "event loop started")) << boot.log;
        }
        EXPECT_EQ(has(boot.log, "veskoinit: warning"), c.warnings) << boot.log;
        EXPECT_FALSE(has(boot.log, "fatal")) << boot.log;
        EXPECT_TRUE(boot.clean) << "e2fsck -fn finds the root file system damaged";
        if (std::string(c.title) != "stock") continue;
        // The stock machine in detail: Debian's daemons are children of process 1 (the getty
        // has become the login; atd was adopted when its parent exited), every service starts
        // and stops, and the shutdown after the upgrade runs its last stage in the new
        // executable.
        for (const char* daemon : {"/usr/sbin/rsyslogd -n -iNONE", "/usr/sbin/cron -f", "/bin/login"}) {
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

}  // namespace
