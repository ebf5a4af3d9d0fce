#include "supervisor.hpp"

#include <gtest/gtest.h>

namespace {

using supervisor::Error;
using supervisor::ExitStatus;

TEST(ExitStatus, DescriptionAndCleanness) {
    struct Case {
        int raw;
        const char* description;
        bool clean;
    };
    const Case cases[] = {
        {0x0000, "exited with status 0", true},
        {0x0100, "exited with status 1", false},
        {0xff00, "exited with status 255", false},
        {0x0009, "killed by signal 9", false},
        {0x0089, "killed by signal 9", false},  // the core-dump bit is not shown
        {0x000f, "killed by signal 15", false},
        {0x137f, "stopped by signal 19", false},
        {0xffff, "continued", false},
        {0x01ff, "unknown wait status 0x1ff", false},
        {0x0080, "exited with status 0", true},  // bit 7 alone still counts as a clean exit
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ExitStatus{c.raw}.description(), c.description) << c.raw;
        EXPECT_EQ(ExitStatus{c.raw}.clean(), c.clean) << c.raw;
    }
}

TEST(SupervisorError, Display) {
    struct Case {
        Error error;
        const char* expected;
    };
    const Case cases[] = {
        {supervisor::Spawn{"web", "/usr/bin/web", vesko::OsError{ENOENT}},
         "cannot start service \"web\" using \"/usr/bin/web\": No such file or directory (os error 2)"},
        {supervisor::PidOutOfRange{"web", 4294967295LL},
         "cannot track service \"web\": child id 4294967295 does not fit pid_t"},
        {supervisor::DuplicatePid{42, "old", "new"},
         "pid 42 was assigned to both \"old\" and \"new\""},
        {supervisor::Signal{15, "web", 42, vesko::OsError{EPERM}},
         "cannot send signal 15 to service \"web\" (pid 42): Operation not permitted (os error 1)"},
        {supervisor::System{"waitpid", vesko::OsError{EINVAL}},
         "waitpid failed: Invalid argument (os error 22)"},
    };
    for (const Case& c : cases) EXPECT_EQ(supervisor::display(c.error), c.expected);
}

}  // namespace
