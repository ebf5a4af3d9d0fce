// The harness itself: its guard, its console, signals and the files it hands back.
#include "harness.hpp"

#include <gtest/gtest.h>
#include <sys/sysmacros.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace {

std::string host_mountinfo() {
    std::ifstream in("/proc/self/mountinfo");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class HarnessTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string reason = ns::unavailable(); !reason.empty()) GTEST_SKIP() << reason;
    }
};

TEST_F(HarnessTest, RefusesToRunOutsideANewPidNamespace) {
    std::string before = host_mountinfo();
    ns::Image image;
    image.init_program = MOUNT_PASS_BINARY;
    image.without_pid_namespace = true;
    {
        ns::System system(image);
        EXPECT_EQ(system.wait_exit(5000), 121);
        EXPECT_EQ(system.console(), "harness: refusing to run: not process 1 of a new PID namespace\n");
    }
    EXPECT_EQ(host_mountinfo(), before);
}

// The shutdown sequence has a guard of its own: called outside process 1 it touches nothing.
TEST_F(HarnessTest, TheShutdownSequenceRefusesOutsideProcessOne) {
    ns::Image image;
    image.init_program = MOUNT_PASS_BINARY;
    image.init_args = {"--shutdown-in-child"};
    ns::System system(image);
    EXPECT_EQ(system.wait_exit(5000), 0);
    EXPECT_EQ(system.console(), "refusing to shut down because this process is not PID 1\n");
}

TEST_F(HarnessTest, RunsTheProgramAsProcessOneOnATmpfsRoot) {
    std::string before = host_mountinfo();
    ns::Image image;
    image.init_program = "/bin/sh";
    image.init_args = {"-c", "echo pid $$; echo written > /result; exit 3"};
    image.host_tools = true;
    image.proc_premounted = true;
    image.env = {{"PATH", "/usr/bin:/bin"}};
    {
        ns::System system(image);
        EXPECT_EQ(system.wait_exit(5000), 3);
        EXPECT_EQ(system.console(), "pid 1\n");
        EXPECT_EQ(system.read_file("/result"), "written\n");
        EXPECT_EQ(system.read_file("/missing"), std::nullopt);
    }
    EXPECT_EQ(host_mountinfo(), before);
}

TEST_F(HarnessTest, SignalsReachProcessOne) {
    ns::Image image;
    image.init_program = "/bin/sh";
    image.init_args = {"-c", "trap 'echo got USR1; exit 5' USR1; echo ready; while :; do sleep 0.05; done"};
    image.host_tools = true;
    ns::System system(image);
    ASSERT_TRUE(system.wait_console("ready\n", 5000)) << system.console();
    system.send(SIGUSR1);
    EXPECT_EQ(system.wait_exit(5000), 5);
    EXPECT_EQ(system.console(), "ready\ngot USR1\n");
}

TEST_F(HarnessTest, EndingTheSystemKillsEverythingInIt) {
    ns::Image image;
    image.init_program = "/bin/sh";
    image.init_args = {"-c", "sleep 60 & echo $! > /child; echo ready; wait"};
    image.host_tools = true;
    image.char_devices["/dev/null"] = makedev(1, 3);  // the shell's background job reads it
    pid_t init;
    {
        ns::System system(image);
        ASSERT_TRUE(system.wait_console("ready\n", 5000));
        init = system.init_pid();
        EXPECT_EQ(kill(init, 0), 0);
    }
    EXPECT_NE(kill(init, 0), 0);  // gone, with its whole namespace
}

}  // namespace
