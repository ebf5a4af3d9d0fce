// veskoinit as the init of a real Debian 12 system: installed from its package, booted with
// the line a Debian install writes (and with a recovery entry's words, and without an
// initramfs), running Debian's own daemons, a root login on the serial console, an upgrade
// of the package, and a clean reboot or power-off.
#include <gtest/gtest.h>

#include <regex>

#include "debian.hpp"

namespace {

// What the session shows of the mounts: /dev/pts, /dev/shm and the data disk, and the swap.
const char* const kMounts = "echo mounts: $(grep -cE ' /(dev/pts|dev/shm|srv/data) ' /proc/mounts) "
                            "swaps: $(grep -c '^/' /proc/swaps) data: $(cat /srv/data/hello)";
const char* const kMounted = "mounts: 3 swaps: 1 data: data\n";

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class DebianBoot : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string reason = debian::unavailable(); !reason.empty()) GTEST_SKIP() << reason;
    }
};

TEST_F(DebianBoot, TheStockBootLineDaemonsALoginAndAnUpgrade) {
    debian::Boot boot = debian::boot({true, "", {"vesko-service atd status", "veskoctl logs",
                                                 "ps -o pid,ppid,args -p 1 --ppid 1",
                                                 "logger -t vesko-test 'hello from the Debian guest'", kMounts,
                                                 "dpkg -i /root/veskoinit-upgrade.deb", "reboot"}});
    std::printf("[ figures  ] QEMU start to the first line of process 1: %.1f s; to the login prompt: %.1f s\n",
                boot.to_first_line, boot.to_login);
    ASSERT_EQ(boot.end, "guest-reset") << boot.failure << "\n" << boot.console;
    EXPECT_EQ(boot.failure, "");
    const std::string& console = boot.console;

    // The initramfs mounted the root read-only (ro), and handed over /proc, /sys, /dev and
    // /run; veskoinit made the root writable and mounted the rest.
    EXPECT_TRUE(has(console, "veskoinit: remounted / read-write\n")) << console;
    EXPECT_TRUE(has(console, "veskoinit: /sys already has sysfs; skipping mount\n")) << console;
    EXPECT_TRUE(has(console, "veskoinit: mounted tmpfs on /dev/shm as tmpfs\n")) << console;
    EXPECT_TRUE(has(console, kMounted)) << console;
    // The session: the script service runs, and the daemons are children of process 1 (the
    // getty has become the login by now; atd was adopted when its parent exited).
    EXPECT_TRUE(has(console, "vesko-service status atd: one sec... <status> done.\n")) << console;
    EXPECT_TRUE(has(console, "veskoinit: PID 1 event loop started\n")) << console;
    for (const char* daemon : {"/usr/sbin/rsyslogd -n -iNONE", "/usr/sbin/cron -f", "/usr/sbin/atd", "/bin/login"}) {
        EXPECT_TRUE(std::regex_search(console, std::regex(std::string("\n *[0-9]+ +1 ") + daemon)))
            << daemon << " is not a child of process 1:\n"
            << console;
    }
    // The upgrade replaced the running executable; the reboot still ends with / read-only.
    EXPECT_TRUE(has(console, "Unpacking veskoinit (0.1.0+upgrade1) over (0.1.0)")) << console;
    EXPECT_TRUE(has(console, "veskoinit: remounted / read-only\n")) << console;

    // Every service started and stopped, and nothing went wrong on the way; the log is on
    // the root file system.
    const std::string& log = boot.log;
    for (const char* line : {"veskoinit: started 2 enabled script service(s)\n",
                             "veskoinit: started service serial-getty as pid ", "veskoinit: started service syslog as pid ",
                             "veskoinit: started service cron as pid ", "veskoinit: stopped service cron (",
                             "veskoinit: stopped service syslog (", "veskoinit: stopped service serial-getty (",
                             "veskoinit: the executable was replaced; the shutdown goes on in /usr/sbin/veskoinit\n"}) {
        EXPECT_TRUE(has(log, line)) << line << "\n" << log;
    }
    // atd, the script service, is stopped by its script (SIGTERM to its pid file's process)
    // and, adopted by process 1, reaped by it.
    std::smatch atd;
    ASSERT_TRUE(std::regex_search(console, atd, std::regex("\n *([0-9]+) +1 /usr/sbin/atd"))) << console;
    EXPECT_TRUE(has(log, "veskoinit: reaped adopted child " + atd[1].str() + " during shutdown (exited with status 0)\n"))
        << log;
    EXPECT_FALSE(has(log, "warning")) << log;
    EXPECT_FALSE(has(log, "fatal")) << log;

    EXPECT_TRUE(has(boot.syslog, "vesko-test: hello from the Debian guest")) << boot.syslog;
    EXPECT_TRUE(boot.clean) << "e2fsck -fn finds the root file system damaged";
}

// The recovery entry's word (single) and Ubuntu's (splash) reach process 1 as arguments; and
// without an initramfs the kernel mounts the root and veskoinit mounts /proc and the rest.
TEST_F(DebianBoot, ExtraWordsAndNoInitramfs) {
    struct Case {
        const char* title;
        debian::Setup setup;
        std::string expected;
    };
    const Case cases[] = {
        {"single splash", {true, "single splash", {kMounts, "shutdown"}},
         "veskoinit: ignoring arguments: single splash\n"},
        {"without an initramfs", {false, "", {kMounts, "shutdown"}},
         "veskoinit: remounted / read-write\n"
         "veskoinit: mounted proc on /proc as proc\n"
         "veskoinit: mounted sysfs on /sys as sysfs\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        debian::Boot boot = debian::boot(c.setup);
        ASSERT_EQ(boot.end, "guest-shutdown") << boot.failure << "\n" << boot.console;
        EXPECT_EQ(boot.failure, "");
        EXPECT_TRUE(has(boot.console, c.expected)) << boot.console;
        EXPECT_TRUE(has(boot.console, kMounted)) << boot.console;
        EXPECT_TRUE(has(boot.console, "veskoinit: remounted / read-only\n")) << boot.console;
        EXPECT_FALSE(has(boot.log, "warning")) << boot.log;
        EXPECT_TRUE(boot.clean) << "e2fsck -fn finds the root file system damaged";
    }
}

}  // namespace
