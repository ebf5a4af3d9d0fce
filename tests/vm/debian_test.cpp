// veskoinit as the init of a real Debian 12 system: installed from its package, running
// Debian's own daemons, a root login on the serial console, and a clean power-off.
#include <gtest/gtest.h>

#include <regex>

#include "debian.hpp"

namespace {

TEST(DebianBoot, DaemonsALoginAndAPowerOff) {
    if (std::string reason = debian::unavailable(); !reason.empty()) GTEST_SKIP() << reason;
    debian::Boot boot = debian::boot();
    std::printf("[ figures  ] QEMU start to the first line of process 1: %.1f s; to the login prompt: %.1f s\n",
                boot.to_first_line, boot.to_login);
    ASSERT_EQ(boot.end, "guest-shutdown") << boot.failure << "\n" << boot.console;
    EXPECT_EQ(boot.failure, "");
    const std::string& console = boot.console;

    // The session: the script service runs, and the daemons are children of process 1 (the
    // getty has become the login by now; atd was adopted when its parent exited).
    EXPECT_NE(console.find("vesko-service status atd: one sec... <status> done.\n"), std::string::npos) << console;
    EXPECT_NE(console.find("veskoinit: PID 1 event loop started\n"), std::string::npos) << console;
    for (const char* daemon : {"/usr/sbin/rsyslogd -n -iNONE", "/usr/sbin/cron -f", "/usr/sbin/atd", "/bin/login"}) {
        EXPECT_TRUE(std::regex_search(console, std::regex(std::string("\n *[0-9]+ +1 ") + daemon)))
            << daemon << " is not a child of process 1:\n"
            << console;
    }
    EXPECT_NE(console.find("veskoinit: remounted / read-only\n"), std::string::npos) << console;

    // Every service started and stopped, and nothing went wrong on the way.
    const std::string& log = boot.log;
    for (const char* line : {"veskoinit: started 2 enabled script service(s)\n",
                             "veskoinit: started service serial-getty as pid ", "veskoinit: started service syslog as pid ",
                             "veskoinit: started service cron as pid ", "veskoinit: stopped service cron (",
                             "veskoinit: stopped service syslog (", "veskoinit: stopped service serial-getty ("}) {
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    }
    // atd, the script service, is stopped by its script (SIGTERM to its pid file's process)
    // and, adopted by process 1, reaped by it.
    std::smatch atd;
    ASSERT_TRUE(std::regex_search(console, atd, std::regex("\n *([0-9]+) +1 /usr/sbin/atd"))) << console;
    EXPECT_NE(log.find("veskoinit: reaped adopted child " + atd[1].str() + " during shutdown (exited with status 0)\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("warning"), std::string::npos) << log;
    EXPECT_EQ(log.find("fatal"), std::string::npos) << log;

    EXPECT_NE(boot.syslog.find("vesko-test: hello from the Debian guest"), std::string::npos) << boot.syslog;
    EXPECT_TRUE(boot.clean) << "e2fsck -fn finds the root file system damaged";
}

}  // namespace
