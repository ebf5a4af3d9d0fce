// The pure parts of process 1's life: the mount table read at shutdown, the unmount order,
// the swap list, the power request table and every error text.
#include "shutdown.hpp"

#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>

#include "initctl.hpp"
#include "pid1.hpp"
#include "power.hpp"

namespace {

using shutdown::MountPoint;

std::string line(const std::string& id, const std::string& mount_point) {
    return id + " 1 0:5 / " + mount_point + " rw,relatime - tmpfs none rw\n";
}

TEST(ShutdownMountinfo, ParsesGoodLines) {
    std::string text = line("22", "/proc") + line("+7", "/mnt/with\\040space") + "18446744073709551615 1 0:5 / /x\\134y rw - a b\r\n" +
                       // the separator may stand anywhere after the fifth field
                       "30 1 0:5 / /odd - rw\n";
    auto points = shutdown::parse_mountinfo(text);
    ASSERT_TRUE(points) << shutdown::display(points.error());
    std::vector<MountPoint> expected = {
        {"/proc", 22, 1}, {"/mnt/with space", 7, 2}, {"/x\\y", UINT64_MAX, 3}, {"/odd", 30, 4}};
    EXPECT_EQ(*points, expected);
    EXPECT_EQ(*shutdown::parse_mountinfo(line("1", "/a\\000b")), (std::vector<MountPoint>{{std::string("/a\0b", 4), 1, 1}}));
    // Paths are bytes: a mount point need not be UTF-8.
    EXPECT_EQ(*shutdown::parse_mountinfo(line("1", "/caf\\351")), (std::vector<MountPoint>{{"/caf\351", 1, 1}}));
    EXPECT_TRUE(shutdown::parse_mountinfo("")->empty());
}

TEST(ShutdownMountinfo, TheFirstBadLineIsReportedWithItsNumber) {
    const std::pair<const char*, std::string> bad[] = {
        {"five fields", "1 2 3 4 -\n"},
        {"no separator", "1 1 0:5 / /a rw tmpfs none\n"},
        {"id not a number", line("x1", "/a")},
        {"id empty after plus", line("+", "/a")},
        {"id above 64 bits", line("18446744073709551616", "/a")},
        {"escape above 255", line("1", "/a\\400")},
        {"short escape", line("1", "/a\\04")},
        {"escape not octal", line("1", "/a\\08x")},
        {"lone backslash", line("1", "/a\\")},
        {"relative", line("1", "a/b")},
    };
    for (const auto& [title, text] : bad) {
        SCOPED_TRACE(title);
        auto points = shutdown::parse_mountinfo(line("5", "/fine") + text);
        ASSERT_FALSE(points);
        EXPECT_EQ(shutdown::display(points.error()), "/proc/self/mountinfo:2: malformed mountinfo entry");
    }
}

TEST(ShutdownOrder, DeepestFirstThenNewestFirst) {
    std::vector<MountPoint> points = {
        {"/", 1, 1},          {"/proc", 2, 2},     {"/sys", 3, 3},  {"/dev", 4, 4},
        {"/dev/pts", 5, 5},   {"/run/user/1000", 6, 6}, {"/mnt", 8, 7}, {"/mnt", 9, 8},
        {"/mnt//", 9, 9},  // same depth and id as the line before: the order of the table stays
    };
    shutdown::sort_for_unmount(points);
    std::vector<size_t> lines;
    for (const MountPoint& point : points) lines.push_back(point.line);
    EXPECT_EQ(lines, (std::vector<size_t>{6, 5, 8, 9, 7, 4, 3, 2, 1}));
}

TEST(ShutdownSwaps, LastListedFirstAndUndecoded) {
    EXPECT_EQ(shutdown::swaps_last_first("Filename Type Size Used Priority\n"
                                         "/dev/vdb partition 1024 0 -2\n"
                                         "\n"
                                         "/swap\\040file file 2048 0 -3\n"),
              (std::vector<std::string>{"/swap\\040file", "/dev/vdb"}));
    EXPECT_TRUE(shutdown::swaps_last_first("Filename Type Size Used Priority\n").empty());
    EXPECT_TRUE(shutdown::swaps_last_first("").empty());
}

TEST(ShutdownErrors, DisplayEveryKind) {
    const std::pair<shutdown::Error, const char*> cases[] = {
        {shutdown::Console{vesko::OsError{ENOENT}}, "console error: No such file or directory (os error 2)"},
        {shutdown::ReadMountinfo{vesko::OsError{EACCES}},
         "cannot read /proc/self/mountinfo: Permission denied (os error 13)"},
        {shutdown::MalformedMountinfo{12}, "/proc/self/mountinfo:12: malformed mountinfo entry"},
        {shutdown::System{"reboot", vesko::OsError{EPERM}}, "reboot failed: Operation not permitted (os error 1)"},
        {shutdown::NotProcessOne{}, "refusing to shut down because this process is not PID 1"},
    };
    for (const auto& [error, text] : cases) EXPECT_EQ(shutdown::display(error), text);
}

TEST(Pid1Errors, DisplayEveryKind) {
    logging::Error logging_error = logging::Open{"", vesko::OsError{ENOENT}};
    mounts::Error mounts_error = mounts::FieldCount{{"/etc/fstab", 3}, 2};
    service::Error service_error = service::DependencyCycle{{"a", "b"}};
    supervisor::Error supervisor_error = supervisor::System{"waitpid", vesko::OsError{ECHILD}};
    const std::pair<pid1::Error, const char*> cases[] = {
        {pid1::LoggingSetup{logging_error},
         "logging setup failed: cannot open : No such file or directory (os error 2)"},
        {pid1::FilesystemSetup{mounts_error}, "filesystem setup failed: /etc/fstab:3: expected 4 to 6 fstab fields, found 2"},
        {pid1::FilesystemSetup{mounts::RemountRoot{vesko::OsError{EROFS}}},
         "filesystem setup failed: cannot remount / read-write: Read-only file system (os error 30)"},
        {pid1::ServiceConfiguration{service_error}, "service configuration is invalid: dependency cycle involving: a, b"},
        {pid1::ServiceSupervision{supervisor_error},
         "service supervision failed: waitpid failed: No child processes (os error 10)"},
        {pid1::ShutdownFailed{shutdown::MalformedMountinfo{4}},
         "shutdown failed: /proc/self/mountinfo:4: malformed mountinfo entry"},
        {pid1::System{"read(signalfd)", vesko::OsError{EBADF}}, "read(signalfd) failed: Bad file descriptor (os error 9)"},
        {pid1::ShortSignalRecord{128, 0}, "signalfd returned a short record: expected 128 bytes, got 0"},
    };
    for (const auto& [error, text] : cases) EXPECT_EQ(pid1::display(error), text);
}

TEST(Pid1Signals, TheRequestTable) {
    using pid1::Action;
    const std::tuple<unsigned, Action, const char*> cases[] = {
        {SIGCHLD, Action::Reap, ""},
        {SIGINT, Action::Reboot, "received reboot request"},
        {SIGTERM, Action::PowerOff, "received shutdown request"},
        {SIGPWR, Action::PowerOff, "received shutdown request"},
        {SIGUSR1, Action::Halt, "received halt request"},
        {SIGHUP, Action::Ignore, ""},
        {SIGUSR2, Action::Ignore, ""},
        {0, Action::Ignore, ""},
    };
    for (const auto& [signal, action, text] : cases) {
        EXPECT_EQ(pid1::action_for(signal), action) << signal;
        EXPECT_STREQ(pid1::request_line(action), text) << signal;
    }
}

// A record of /run/initctl as telinit, shutdown and systemctl write it, DATA at offset 16.
std::string initctl_record(uint32_t magic, int32_t command, int32_t runlevel, const std::string& data = "") {
    std::string record(initctl::kRecordSize, '\0');
    for (auto [at, value] : {std::pair<size_t, int32_t>{0, static_cast<int32_t>(magic)}, {4, command}, {8, runlevel}}) {
        std::memcpy(record.data() + at, &value, sizeof value);
    }
    return record.replace(16, data.size(), data);
}

TEST(InitctlRequests, EachRecordIsServedIgnoredOrRefused) {
    const uint32_t m = initctl::kMagic;
    const std::string halt = initctl_record(m, 6, 0, std::string("INIT_HALT=HALT\0", 15)), off = initctl_record(m, 1, '0');
    const std::string ignored = " requested through /run/initctl: veskoinit has no runlevels (0 powers off, 6 reboots)\n";
    const std::string no_ups = " through /run/initctl: veskoinit has no power failure actions; the UPS monitor must ask for the power-off itself\n";
    const std::pair<std::string, std::string> cases[] = {
        {off, "power-off requested through /run/initctl => 1\n"},
        {initctl_record(m, 1, '6'), "reboot requested through /run/initctl => 0\n"},
        {halt + off, "INIT_HALT=HALT set through /run/initctl: runlevel 0 halts\nhalt requested through /run/initctl => 2\n"},
        // sysvinit's shutdown unsets with a name alone; other names mean nothing here.
        {halt + initctl_record(m, 6, 0, std::string("A=\xff\0INIT_HALT\0B\0", 16)) + off,
         "INIT_HALT=HALT set through /run/initctl: runlevel 0 halts\nINIT_HALT unset through /run/initctl: runlevel 0 powers "
         "off; ignoring A=\xef\xbf\xbd, B sent through /run/initctl: veskoinit uses only INIT_HALT\n"
         "power-off requested through /run/initctl => 1\n"},
        {halt + initctl_record(m, 7, 0, std::string("INIT_HALT=HALT\0", 15)) + off,
         "INIT_HALT=HALT set through /run/initctl: runlevel 0 halts\nINIT_HALT unset through /run/initctl: runlevel 0 powers off\n"
         "power-off requested through /run/initctl => 1\n"},
        {initctl_record(m, 1, '3') + initctl_record(m, 1, 's') + initctl_record(m, 1, 'q') + initctl_record(m, 1, 'U'),
         "ignoring runlevel 3" + ignored + "ignoring runlevel s" + ignored +
             "ignoring runlevel q (re-examine inittab) requested through /run/initctl: veskoinit has no inittab; veskoctl "
             "reload reads the service directory again\nignoring runlevel U (re-execute) requested through /run/initctl: "
             "veskoinit does not re-execute itself\n"},
        {initctl_record(m, 2, 0) + initctl_record(m, 3, 0) + initctl_record(m, 4, 0) + initctl_record(m, 5, 0),
         "ignoring a power failure notice sent" + no_ups + "ignoring an imminent power failure notice sent" + no_ups +
             "ignoring a power restored notice sent" + no_ups +
             "ignoring a BSD request sent through /run/initctl: veskoinit does not serve them\n"},
        {initctl_record(0x04091969, 1, '0') + initctl_record(m, 0, '0') + initctl_record(m, 8, '0') +
             initctl_record(m, 1, 'x') + initctl_record(m, 1, 0x130) + initctl_record(m, 6, 0, std::string(368, 'A')) +
             initctl_record(m, 6, 0, std::string("1A=2\0", 5)) + initctl_record(m, 6, 0) + off.substr(0, 100),
         "refused: wrong magic number 0x04091969 (0x03091969 expected)\nrefused: unknown command 0\n"
         "refused: unknown command 8\nrefused: invalid runlevel 'x'\nrefused: invalid runlevel (value 304)\n"
         "refused: an environment string without its terminating NUL byte\n"
         "refused: an environment string \"1A=2\" that is not NAME=VALUE\n"
         "refused: an environment request without a NAME=VALUE string\nrefused: a record of 100 bytes (384 expected)\n"},
    };
    for (const auto& [bytes, expected] : cases) {
        bool halts = false;
        std::string lines;
        for (const auto& record : initctl::parse(bytes)) {
            if (!record) {
                lines += "refused: " + initctl::display(record.error()) + "\n";
                continue;
            }
            initctl::Reply reply = initctl::reply(*record, halts);
            lines += reply.line + (reply.power ? " => " + std::to_string(static_cast<int>(*reply.power)) : "") + "\n";
        }
        EXPECT_EQ(lines, expected);
    }
    EXPECT_EQ(initctl::display(initctl::System{"mkfifo", vesko::OsError{EROFS}}),
              "/run/initctl is not served: mkfifo failed: Read-only file system (os error 30)");
    EXPECT_EQ(initctl::display(initctl::NotPrivate{}),
              "/run/initctl is not served: it is not a FIFO that only process 1's user may use");
}

TEST(PowerCommands, RequestsAndRefusals) {
    struct Case {
        std::string name;
        std::vector<std::string> arguments;
        int signal;  // 0 for a refusal
        std::string text;  // the phrase, or the refusal's message
        int status;
    };
    const Case cases[] = {
        {"reboot", {}, SIGINT, "a reboot", 0},
        {"shutdown", {}, SIGPWR, "a shutdown", 0},
        {"halt", {}, SIGUSR1, "a halt", 0},
        {"shutdown", {"now"}, 0, "shutdown: no arguments are supported\nusage: shutdown\n", 2},
        {"halt", {""}, 0, "halt: no arguments are supported\nusage: halt\n", 2},
        {"poweroff", {}, 0, "veskoinit: unknown power command: poweroff\n", 2},
        {"Reboot", {"x"}, 0, "veskoinit: unknown power command: Reboot\n", 2},
        {"re\xffoot", {}, 0, "veskoinit: unknown power command: re\xef\xbf\xbdoot\n", 2},
    };
    for (const Case& c : cases) {
        auto request = power::request_for(c.name, c.arguments);
        if (c.signal != 0) {
            ASSERT_TRUE(request) << c.name;
            EXPECT_EQ(request->signal, c.signal);
            EXPECT_STREQ(request->phrase, c.text.c_str());
        } else {
            ASSERT_FALSE(request) << c.name;
            EXPECT_EQ(request.error().message, c.text);
            EXPECT_EQ(request.error().status, c.status);
        }
    }
}

}  // namespace
