// halt, shutdown and reboot, run inside a namespace whose process 1 records the signals it gets.
#include <gtest/gtest.h>

#include "harness.hpp"

namespace {

TEST(PowerNsTest, EachCommandSendsItsSignalOrRefuses) {
    if (std::string reason = ns::unavailable(); !reason.empty()) GTEST_SKIP() << reason;
    struct Case {
        std::vector<std::string> command;
        std::string console;
    };
    const Case cases[] = {
        {{"/sbin/reboot"}, "exit 0\nsignal 2\n"},
        {{"/sbin/shutdown"}, "exit 0\nsignal 30\n"},
        {{"/sbin/halt"}, "exit 0\nsignal 10\n"},
        // Any argument, even an empty one, is refused and nothing is sent.
        {{"/sbin/shutdown", "now"}, "shutdown: no arguments are supported\nusage: shutdown\nexit 2\n"},
        {{"/sbin/reboot", "-f"}, "reboot: no arguments are supported\nusage: reboot\nexit 2\n"},
        {{"/sbin/halt", ""}, "halt: no arguments are supported\nusage: halt\nexit 2\n"},
        // A name that differs in case is the init personality, which refuses outside process 1.
        {{"/sbin/Reboot"},
         "veskoinit: refusing to run because this process is not PID 1\n"
         "veskoinit: use --check for a safe host-side smoke test\nexit 1\n"},
        {{"--as-nobody", "/sbin/reboot"},
         "reboot: cannot request a reboot from PID 1: Operation not permitted (os error 1)\nexit 1\n"},
        {{"--as-nobody", "/sbin/halt"},
         "halt: cannot request a halt from PID 1: Operation not permitted (os error 1)\nexit 1\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command.back());
        ns::Image image;
        image.init_program = SIGNAL_RECORDER_BINARY;
        image.init_args = c.command;
        image.copies["/sbin/veskoinit"] = VESKOINIT_BINARY;
        for (const char* name : {"reboot", "shutdown", "halt", "Reboot"}) {
            image.links[std::string("/sbin/") + name] = "veskoinit";
        }
        ns::System system(image);
        EXPECT_EQ(system.wait_exit(5000), 0);
        EXPECT_EQ(system.console(), c.console);
    }
}

}  // namespace
