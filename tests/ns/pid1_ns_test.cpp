// The real executable as process 1 of a throwaway system: boot, supervision, power requests
// and the shutdown sequence, checked through the console and the log file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>
#include <tuple>

#include "harness.hpp"

namespace {

const char* const kLog = "/var/log/veskoinit.log";

std::string service_file(const std::string& command, const std::string& extra = "") {
    return "command = " + command + "\n" + extra;
}

// veskoinit as /sbin/init with its power command links, and busybox for services.
ns::Image base_image() {
    ns::Image image;
    image.init_program = VESKOINIT_BINARY;
    image.copies["/bin/busybox"] = "/bin/busybox";
    for (const char* applet : {"sh", "sleep", "touch", "rm", "umount", "cat", "printf", "kill", "mkdir", "cp", "mv", "readlink",
                               "grep", "ln", "mkfifo", "yes"}) {
        image.links[std::string("/bin/") + applet] = "busybox";
    }
    for (const char* command : {"reboot", "shutdown", "halt"}) image.links[std::string("/sbin/") + command] = "init";
    image.dirs = {"/tmp"};
    image.char_devices["/dev/null"] = makedev(1, 3);  // the shell's background jobs read it
    image.env = {{"PATH", "/bin:/sbin"}};
    return image;
}

// Process ids differ from run to run; the lines are compared without them.
std::string without_pids(const std::string& text) {
    static const std::regex kPid("(pid|child) [0-9]+");
    return std::regex_replace(text, kPid, "$1 #");
}

std::string log_of(ns::System& system) { return without_pids(system.read_file(kLog).value_or("<no log>")); }

bool wait_log(ns::System& system, const std::string& text, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (log_of(system).find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// The fstabs of these tests skip the five kernel mounts of the built-in table.
std::string summary(int mounted, int skipped = 5) {
    return "veskoinit: fstab complete: " + std::to_string(mounted) +
           " mounted, 0 already mounted, 0 swaps activated, 0 swaps already active, " + std::to_string(skipped) +
           " skipped, 0 optional failures\n";
}

std::string boot_log(int mounted, int services, int skipped = 5) {
    return summary(mounted, skipped) + "veskoinit: logging output to /var/log/veskoinit.log\n" +
           "veskoinit: validated " + std::to_string(services) + " service(s) from /etc/veskoinit/services\n" +
           "veskoinit: started 0 enabled script service(s)\n";
}

// The kernel ends process 1 of a PID namespace with SIGHUP after a reboot call and with
// SIGINT after a power-off call: the harness reports 128 + the signal.
constexpr int kRebooted = 128 + SIGHUP;
constexpr int kPoweredOff = 128 + SIGINT;

const std::string kProcOnly = std::string("proc /proc proc defaults\n") + ns::kNoKernelMounts;
const std::string kProcMounted = std::string("veskoinit: mounted proc on /proc as proc\n") + ns::kNoKernelMountsSkipped;

class Pid1NsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string reason = ns::unavailable(); !reason.empty()) GTEST_SKIP() << reason;
    }
};

TEST_F(Pid1NsTest, BootsWithTheDefaultTableAndRebootsOnTheRebootCommand) {
    if (!ns::host_devtmpfs_has_mount_points()) GTEST_SKIP() << "host devtmpfs lacks /dev/pts or /dev/shm";
    ns::Image image = base_image();
    image.files["/etc/veskoinit/services/a-base.toml"] = service_file(R"(["/bin/sleep", "1000"])");
    image.files["/etc/veskoinit/services/b-app.toml"] =
        service_file(R"(["/bin/sleep", "1000"])", "requires = [\"a-base\"]\n");
    // Waits for the test's word, then becomes the reboot command; SIGTERM stays ignored
    // across the exec, so its exit status does not race with the shutdown.
    image.files["/etc/veskoinit/services/z-request.toml"] = service_file(
        R"(["/bin/sh", "-c", "trap '' TERM; while [ ! -e /tmp/go ]; do sleep 0.02; done; exec /sbin/reboot"])");
    ns::System system(image);
    ASSERT_TRUE(wait_log(system, "event loop started\n", 5000)) << system.console();
    std::ofstream(system.host_path("/tmp/go")) << "";
    EXPECT_EQ(system.wait_exit(10000), kRebooted);
    EXPECT_EQ(system.console(),
              "veskoinit: /etc/fstab not found; using built-in default filesystems\n"
              "veskoinit: mounted proc on /proc as proc\n"
              "veskoinit: mounted sysfs on /sys as sysfs\n"
              "veskoinit: mounted devtmpfs on /dev as devtmpfs\n"
              "veskoinit: mounted devpts on /dev/pts as devpts\n"
              "veskoinit: mounted tmpfs on /dev/shm as tmpfs\n"
              "veskoinit: mounted tmpfs on /run as tmpfs\n"
              "veskoinit: remounted / read-only\n");
    EXPECT_EQ(log_of(system), boot_log(6, 3, 0) +
                                  "veskoinit: started service a-base as pid #\n"
                                  "veskoinit: started service b-app as pid #\n"
                                  "veskoinit: started service z-request as pid #\n"
                                  "veskoinit: PID 1 event loop started\n"
                                  "veskoinit: received reboot request\n"
                                  "veskoinit: stopped service z-request (exited with status 0)\n"
                                  "veskoinit: stopped service b-app (killed by signal 15)\n"
                                  "veskoinit: stopped service a-base (killed by signal 15)\n"
                                  // Deepest first, the newest mount first among equals.
                                  "veskoinit: unmounted /dev/shm\n"
                                  "veskoinit: unmounted /dev/pts\n"
                                  "veskoinit: unmounted /run\n"
                                  "veskoinit: unmounted /dev\n"
                                  "veskoinit: unmounted /sys\n"
                                  "veskoinit: unmounted /proc\n");
}

// Started with words of the kernel's command line that it does not know, as on a recovery
// boot: they are named on the console and the boot goes on.
TEST_F(Pid1NsTest, RestartsByPolicyReapsOrphansAndPowersOffOnSigterm) {
    ns::Image image = base_image();
    image.init_args = {"single", "splash"};
    image.files["/etc/fstab"] = kProcOnly;
    // Each service acts a moment after the one before, so that the log has one order.
    image.files["/etc/veskoinit/services/crash.toml"] = service_file(
        R"(["/bin/sh", "-c", "[ -e /tmp/crashed ] && exec sleep 1000; touch /tmp/crashed; exit 3"])",
        "restart = \"on-failure\"\n");
    image.files["/etc/veskoinit/services/once.toml"] = service_file(
        R"(["/bin/sh", "-c", "[ -e /tmp/once ] && exec sleep 1000; sleep 0.3; touch /tmp/once"])",
        "restart = \"always\"\n");
    // Leaves a child that outlives it (reaped by process 1) and a daemon that stays.
    image.files["/etc/veskoinit/services/orphans.toml"] = service_file(
        R"(["/bin/sh", "-c", "sleep 0.6; (sleep 0.3; exit 2) & sleep 1000 & exit 0"])");
    ns::System system(image);
    ASSERT_TRUE(wait_log(system, "reaped adopted child # (exited with status 2)\n", 5000)) << log_of(system);
    system.send(SIGTERM);
    EXPECT_EQ(system.wait_exit(10000), kPoweredOff);
    EXPECT_EQ(system.console(),
              "veskoinit: ignoring arguments: single splash\n" + kProcMounted + "veskoinit: remounted / read-only\n");
    EXPECT_EQ(log_of(system), boot_log(1, 3) +
                                  "veskoinit: started service crash as pid #\n"
                                  "veskoinit: started service once as pid #\n"
                                  "veskoinit: started service orphans as pid #\n"
                                  "veskoinit: PID 1 event loop started\n"
                                  "veskoinit: service crash exited (exited with status 3)\n"
                                  "veskoinit: restarting service crash after exited with status 3\n"
                                  "veskoinit: started service crash as pid #\n"
                                  "veskoinit: service once exited (exited with status 0)\n"
                                  "veskoinit: restarting service once after clean exit\n"
                                  "veskoinit: started service once as pid #\n"
                                  "veskoinit: service orphans exited (exited with status 0)\n"
                                  "veskoinit: reaped adopted child # (exited with status 2)\n"
                                  "veskoinit: received shutdown request\n"
                                  "veskoinit: stopped service once (killed by signal 15)\n"
                                  "veskoinit: stopped service crash (killed by signal 15)\n"
                                  "veskoinit: sending SIGTERM to all remaining processes\n"
                                  "veskoinit: reaped adopted child # during shutdown (killed by signal 15)\n"
                                  "veskoinit: unmounted /proc\n");
}

// A service that ignores SIGTERM, a daemon that does too, a service whose program is gone at
// its restart, and requests that arrive while the shutdown runs.
TEST_F(Pid1NsTest, StubbornProcessesVanishedProgramsAndLateRequests) {
    ns::Image image = base_image();
    image.files["/etc/fstab"] = kProcOnly;
    image.files["/etc/veskoinit/services/stubborn.toml"] =
        service_file(R"(["/bin/sh", "-c", "trap '' TERM; sleep 1000 & exec sleep 1000"])");
    image.scripts["/tmp/vanish"] = "#!/bin/sh\nrm /tmp/vanish\nexit 1\n";
    image.files["/etc/veskoinit/services/vanish.toml"] =
        service_file(R"(["/tmp/vanish"])", "restart = \"always\"\n");
    ns::System system(image);
    ASSERT_TRUE(wait_log(system, "using \"/tmp/vanish\": No such file or directory (os error 2)\n", 5000))
        << log_of(system);
    system.send(SIGPWR);
    ASSERT_TRUE(wait_log(system, "received shutdown request\n", 5000));
    system.send(SIGUSR1);
    system.send(SIGINT);
    EXPECT_EQ(system.wait_exit(30000), kPoweredOff);
    EXPECT_EQ(log_of(system),
              boot_log(1, 2) +
                  "veskoinit: started service stubborn as pid #\n"
                  "veskoinit: started service vanish as pid #\n"
                  "veskoinit: PID 1 event loop started\n"
                  "veskoinit: service vanish exited (exited with status 1)\n"
                  "veskoinit: restarting service vanish after exited with status 1\n"
                  "veskoinit: warning: cannot start service \"vanish\" using \"/tmp/vanish\": "
                  "No such file or directory (os error 2)\n"
                  "veskoinit: received shutdown request\n"
                  "veskoinit: service stubborn did not stop within 10 seconds; sending SIGKILL\n"
                  "veskoinit: stopped service stubborn (killed by signal 9)\n"
                  "veskoinit: sending SIGTERM to all remaining processes\n"
                  "veskoinit: sending SIGKILL to all remaining processes\n"
                  "veskoinit: reaped adopted child # during shutdown (killed by signal 9)\n"
                  "veskoinit: unmounted /proc\n");
}

// Requests sent while the boot still waits for /etc/fstab (a FIFO here) are served once the
// loop starts: the first one, a reboot; the halt behind it has no effect.
TEST_F(Pid1NsTest, RequestsDuringBootAreServedWhenTheLoopStarts) {
    ns::Image image = base_image();
    image.fifos = {"/etc/fstab"};
    image.files["/etc/veskoinit/services/idle.toml"] = service_file(R"(["/bin/sleep", "1000"])");
    ns::System system(image);
    // The fstab is opened only once the five signals are blocked.
    std::string fifo = system.host_path("/etc/fstab");
    int writer = -1;
    for (int i = 0; i < 500 && writer < 0; ++i) {
        writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (writer < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_GE(writer, 0) << "process 1 never opened /etc/fstab";
    system.send(SIGUSR1);
    system.send(SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(system.read_file(kLog), std::nullopt);  // still booting
    ASSERT_EQ(write(writer, kProcOnly.data(), kProcOnly.size()), static_cast<ssize_t>(kProcOnly.size()));
    close(writer);
    EXPECT_EQ(system.wait_exit(10000), kRebooted);
    EXPECT_EQ(log_of(system), boot_log(1, 1) +
                                  "veskoinit: started service idle as pid #\n"
                                  "veskoinit: PID 1 event loop started\n"
                                  "veskoinit: received reboot request\n"
                                  "veskoinit: stopped service idle (killed by signal 15)\n"
                                  "veskoinit: unmounted /proc\n");
}

// Powered off by the shutdown command, with the log on a file system of its own: it is
// closed before the remount, so that file system can go and / can become read-only. The root
// starts read-only, as the kernel's ro leaves it, and is made writable first.
TEST_F(Pid1NsTest, TheShutdownCommandPowersOffWithTheLogOnItsOwnFileSystem) {
    ns::Image image = base_image();
    image.root_read_only = true;
    image.files["/etc/fstab"] = kProcOnly + "tmpfs /var/log tmpfs defaults\n";
    image.files["/etc/veskoinit/services/request.toml"] = service_file(
        R"(["/bin/sh", "-c", "trap '' TERM; while [ ! -e /tmp/go ]; do sleep 0.02; done; exec /sbin/shutdown"])");
    ns::System system(image);
    // The log's file system is mounted in process 1's namespace only: read it through there.
    std::string log = "/proc/" + std::to_string(system.init_pid()) + "/root" + kLog;
    bool started = false;
    for (int i = 0; i < 500 && !started; ++i) {
        std::ifstream in(log);
        std::stringstream text;
        text << in.rdbuf();
        started = text.str().find("event loop started\n") != std::string::npos;
        if (!started) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(started) << system.console();
    std::ofstream(system.host_path("/tmp/go")) << "";
    EXPECT_EQ(system.wait_exit(10000), kPoweredOff);
    // The log went with its file system; the console shows the end.
    EXPECT_EQ(system.console(), "veskoinit: remounted / read-write\n" + kProcMounted +
                                    "veskoinit: mounted tmpfs on /var/log as tmpfs\n"
                                    "veskoinit: remounted / read-only\n");
}

// A service's command that writes RECORDS (magic, command, runlevel; 384 bytes each, the rest
// zero) to /run/initctl in one write once process 1 has made it, as telinit and systemctl do.
// The shell's own printf writes them: no child of the service is left to be adopted when the
// shutdown stops the service at once.
std::string initctl_writer(const std::vector<std::array<uint32_t, 3>>& records) {
    std::string format;
    for (const auto& fields : records) {
        for (uint32_t word : {fields[0], fields[1], fields[2], 0u}) {
            char octal[8];
            for (int shift = 0; shift < 32; shift += 8) {
                std::snprintf(octal, sizeof octal, "\\\\%03o", word >> shift & 0xff);
                format += octal;
            }
        }
        for (int i = 0; i < 368; ++i) format += "\\\\0";
    }
    return R"(["/bin/sh", "-c", "until [ -p /run/initctl ]; do sleep 0.01; done; printf ')" + format +
           R"(' >/run/initctl; exec sleep 1000"])";
}

// Leftovers and file systems that the sequence must get past, and failures that are fatal:
// process 1 reports them, on the console too, and parks (nullopt), and the test ends it.
TEST_F(Pid1NsTest, ShutdownEdgeCases) {
    struct Case {
        const char* title;
        int signal;
        std::string command;  // of the service "gone"
        std::string wait_for;
        std::optional<int> end;
        std::string end_of_log, end_of_console;
        std::map<std::string, std::string> premounted;
        bool timed = false;  // with VESKO_SHUTDOWN_TIMES, whose times are compared as "#"
    };
    const std::string exited = "service gone exited (exited with status 0)\n", loop = "event loop started\n";
    const std::string no_file = "No such file or directory (os error 2)\n";
    const std::string mountinfo = "veskoinit: fatal: shutdown failed: cannot read /proc/self/mountinfo: " + no_file;
    const std::string console = "veskoinit: fatal: shutdown failed: console error: " + no_file;
    auto rebooted = [](const std::string& lines) {
        return "veskoinit: received reboot request\n" + lines + "veskoinit: unmounted /proc\n";
    };
    const std::string term = "veskoinit: sending SIGTERM to all remaining processes\n"
                             "veskoinit: reaped adopted child # during shutdown ";
    const std::string replaced = "veskoinit: the executable was replaced; the shutdown goes on in /sbin/init\n";
    const std::string read_only = "veskoinit: remounted / read-only\n";
    const std::string stopped = "veskoinit: stopped service gone (killed by signal 15)\n";
    const std::string no_runlevels = "veskoinit: ignoring runlevel 3 requested through /run/initctl: veskoinit has no runlevels (0 powers off, 6 reboots)\n";
    const Case cases[] = {
        {"mountinfo unreadable", SIGINT, R"(["/bin/umount", "-l", "/proc"])", exited, std::nullopt,
         "veskoinit: received reboot request\n" + mountinfo, mountinfo, {}},
        // Without a console to ask on, a halt stops nothing.
        {"halt without a console", SIGUSR1, R"(["/bin/sleep", "1000"])", loop, std::nullopt,
         "veskoinit: received halt request\n" + console, console, {}},
        // Its other thread holds it: it counts, and gets SIGTERM.
        {"a leftover whose main thread exited", SIGINT, R"(["/bin/leader", "--thread-leader"])", exited, kRebooted,
         rebooted(term + "(killed by signal 15)\n"), read_only, {}},
        // A stopped job that catches SIGTERM is continued to act on it, without the 5 s wait.
        {"a stopped job", SIGINT,
         R"(["/bin/sh", "-c", "sh -c 'trap \"exit 7\" TERM; touch /tmp/t; while :; do :; done' & )"
         R"(while [ ! -e /tmp/t ]; do sleep 0.01; done; kill -STOP $!"])",
         exited, kRebooted, rebooted(term + "(exited with status 7)\n"), read_only, {}},
        {"a mount point that is not UTF-8, at boot and at shutdown", SIGINT, R"(["/bin/sleep", "1000"])", loop,
         kRebooted,
         rebooted("veskoinit: stopped service gone (killed by signal 15)\nveskoinit: unmounted /mnt/caf\xEF\xBF\xBD\n"),
         read_only, {{"/mnt/caf\351", "tmpfs"}}},
        // An upgrade renames a new executable over the running one: the last stage runs in the
        // new one, so that no deleted file keeps / writable.
        {"the executable replaced", SIGINT, R"(["/bin/sh", "-c", "cp /sbin/init /tmp/new && mv /tmp/new /sbin/init"])",
         exited, kRebooted, rebooted(replaced), read_only, {}},
        // Removed instead: / stays writable, which is a warning; the machine still reboots.
        {"the executable removed", SIGINT, R"(["/bin/rm", "/sbin/init"])", exited, kRebooted,
         rebooted(replaced + "veskoinit: warning: cannot execute /sbin/init: " + no_file),
         "veskoinit: warning: cannot remount / read-only: Device or resource busy (os error 16)\n", {}},
        // The machine's own poweroff and reboot (no signal sent); a malformed record and one that
        // means nothing here are refused and ignored, and the machine runs on.
        {"runlevel 0 through /run/initctl", 0, initctl_writer({{0x03091969, 1, '0'}}), loop, kPoweredOff,
         "veskoinit: power-off requested through /run/initctl\nveskoinit: received shutdown request\n" + stopped +
             "veskoinit: unmounted /proc\n", read_only, {}},
        {"runlevel 6 through /run/initctl", 0, initctl_writer({{0x03091969, 1, '6'}}), loop, kRebooted,
         "veskoinit: reboot requested through /run/initctl\n" + rebooted(stopped), read_only, {}},
        {"a malformed record through /run/initctl", SIGINT, initctl_writer({{0x04091969, 1, '0'}, {0x03091969, 1, '3'}}),
         no_runlevels, kRebooted, "veskoinit: refusing a request on /run/initctl: wrong magic number 0x04091969 "
         "(0x03091969 expected)\n" + no_runlevels + rebooted(stopped), read_only, {}},
        // For the boot race: the end of each step, the last ones on the console.
        {"the times of the steps", SIGTERM, R"(["/bin/sleep", "1000"])", loop, kPoweredOff,
         "veskoinit: received shutdown request\nveskoinit: time # request\nveskoinit: time # program brought back\n" +
             stopped + "veskoinit: time # stop of service gone\nveskoinit: time # order of the script services\n"
             "veskoinit: time # end of the log relay\nveskoinit: time # remaining processes\nveskoinit: time # swaps\n"
             "veskoinit: unmounted /proc\nveskoinit: time # unmounts\n",
         "veskoinit: time # sync\n" + read_only + "veskoinit: time # remount\n", {}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        ns::Image image = base_image();
        image.files["/etc/fstab"] = kProcOnly;
        image.files["/etc/veskoinit/services/gone.toml"] = service_file(c.command);
        image.copies["/bin/leader"] = ORPHAN_STORM_BINARY;
        image.premounted = c.premounted;
        if (c.timed) image.env["VESKO_SHUTDOWN_TIMES"] = "1";
        ns::System system(image);
        ASSERT_TRUE(wait_log(system, c.wait_for, 5000)) << log_of(system);
        if (c.signal != 0) system.send(c.signal);
        if (!c.end) {
            ASSERT_TRUE(wait_log(system, "fatal", 5000)) << log_of(system);
        }
        EXPECT_EQ(system.wait_exit(c.end ? 10000 : 300), c.end);
        for (auto [text, end] : {std::pair{log_of(system), c.end_of_log}, {system.console(), c.end_of_console}}) {
            text = std::regex_replace(text, std::regex("time [0-9]+\\.[0-9]{6} "), "time # ");
            EXPECT_EQ(text.substr(text.size() - std::min(text.size(), end.size())), end) << text;
        }
    }
}

// The shutdown's last stage started with arguments of another version's format (an upgrade
// between the two) finishes the shutdown, never boots again: with the request its first
// argument names (a halt has no console to ask on), else a reboot.
TEST_F(Pid1NsTest, ALastStageOfAnotherVersionFinishesTheShutdown) {
    for (const auto& [word, request, end] : {std::tuple{"poweroff", "a power-off", kPoweredOff},
                                             {"halt", "a power-off", kPoweredOff}, {"--reboot", "a reboot", kRebooted}}) {
        ns::Image image = base_image();
        image.proc_premounted = true;
        image.init_args = {"--vesko-final-stage", word, "console=3"};
        ns::System system(image);
        EXPECT_EQ(system.wait_exit(10000), end) << word;
        EXPECT_EQ(system.console(), std::string("veskoinit: warning: the arguments of the shutdown's last stage are "
                                                "another version's; finishing it with ") + request +
                                        "\nveskoinit: unmounted /proc\n");
    }
}

// The halt prompt on a console that the test holds: other keys do nothing, Space powers
// off, Return reboots; a key typed before the prompt (while the service takes a second to
// stop) answers nothing.
TEST_F(Pid1NsTest, HaltAsksOnTheConsole) {
    struct Case {
        const char* early;
        const char* key;
        int status;
    };
    for (const Case& c : {Case{"", " ", kPoweredOff}, Case{"", "\r", kRebooted}, Case{"\r", " ", kPoweredOff}}) {
        SCOPED_TRACE(std::string(c.early) + c.key);
        ns::Image image = base_image();
        image.console_pty = true;
        image.files["/etc/fstab"] = kProcOnly;
        image.files["/etc/veskoinit/services/idle.toml"] = service_file(
            R"(["/bin/sh", "-c", "trap 'sleep 1; exit 0' TERM; touch /tmp/ready; while :; do sleep 0.1; done"])");
        ns::System system(image);
        ASSERT_TRUE(wait_log(system, "event loop started\n", 5000)) << system.terminal();
        // Once its trap is set, so that its stop takes a second.
        for (int i = 0; i < 500 && !system.exists("/tmp/ready"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        system.send(SIGUSR1);
        ASSERT_TRUE(wait_log(system, "received halt request\n", 5000));
        system.type(c.early);
        const std::string prompt = "System Halted: press enter to reboot or space to shutdown";
        ASSERT_TRUE(system.wait_terminal(prompt, 5000)) << system.terminal();
        system.type("xq\t");
        EXPECT_EQ(system.wait_exit(300), std::nullopt);
        system.type(c.key);
        EXPECT_EQ(system.wait_exit(5000), c.status);
        // Output to a terminal has its line feeds turned into CR LF; the early key is echoed.
        EXPECT_EQ(system.terminal(), std::regex_replace(kProcMounted, std::regex("\n"), "\r\n") +
                                         (*c.early != 0 ? "\r\n" : "") +
                                         "veskoinit: remounted / read-only\r\n"
                                         "\r\n" + prompt + "\r\n");
        EXPECT_EQ(log_of(system), boot_log(1, 1) +
                                      "veskoinit: started service idle as pid #\n"
                                      "veskoinit: PID 1 event loop started\n"
                                      "veskoinit: received halt request\n"
                                      "veskoinit: stopped service idle (exited with status 0)\n"
                                      "veskoinit: unmounted /dev/console\n"
                                      "veskoinit: unmounted /proc\n");
    }
}

// A kernel without a console starts process 1 with no standard descriptors, here also with
// no /dev: it boots all the same, and the log shows it.
TEST_F(Pid1NsTest, BootsWithoutStandardDescriptors) {
    ns::Image image = base_image();
    image.char_devices.clear();
    image.without_standard_streams = true;
    image.files["/etc/fstab"] = kProcOnly;
    image.files["/etc/veskoinit/services/idle.toml"] = service_file(R"(["/bin/sleep", "1000"])");
    ns::System system(image);
    ASSERT_TRUE(wait_log(system, "event loop started\n", 5000)) << system.console();
    system.send(SIGINT);
    EXPECT_EQ(system.wait_exit(10000), kRebooted);
    EXPECT_EQ(system.console(), "");
    EXPECT_EQ(log_of(system), boot_log(1, 1) +
                                  "veskoinit: started service idle as pid #\n"
                                  "veskoinit: PID 1 event loop started\n"
                                  "veskoinit: received reboot request\n"
                                  "veskoinit: stopped service idle (killed by signal 15)\n"
                                  "veskoinit: unmounted /proc\n");
}

// A pid file naming process 0 (to signal 0: the caller's whole process group) or process 1
// (the init) names no service process: stop and status must not signal them. Tried here, as
// process 1 of a namespace whose only other processes are the shells.
TEST_F(Pid1NsTest, PidFilesNamingProcessZeroOrOneNameNoService) {
    std::ifstream in(PRELUDE_SOURCE);
    std::stringstream prelude;
    prelude << in.rdbuf();
    ns::Image image = base_image();
    image.files["/prelude.sh"] = prelude.str();
    image.files["/svc/web"] = "command=/bin/sleep\n";
    // Process 1 is a shell script, written where the harness takes the program from.
    std::string init = (std::filesystem::temp_directory_path() / ("vesko-init-" + std::to_string(getpid()))).string();
    std::ofstream(init) << "#!/bin/sh\n"
                           "trap 'echo got TERM' TERM\n"
                           "for pid in 0 000 1 01; do\n"
                           "  mkdir -p /state; echo $pid > /state/web.pid\n"
                           "  export VESKO_HELPER=/bin/veskoinit VESKO_CONF_DIR=/conf VESKO_STATE_DIR=/state\n"
                           "  sh -c \"$(cat /prelude.sh)\" vesko-run /svc/web status web\n"
                           "  echo \"status $?\"\n"
                           "  sh -c \"$(cat /prelude.sh)\" vesko-run /svc/web stop web\n"
                           "  echo \"stop $? $(ls /state)\"\n"
                           "done\n";
    image.init_program = init;
    image.copies["/bin/veskoinit"] = VESKOINIT_BINARY;
    image.links["/bin/ls"] = "busybox";
    image.links["/bin/mkdir"] = "busybox";
    image.links["/bin/kill"] = "busybox";
    image.links["/bin/printf"] = "busybox";
    ns::System system(image);
    EXPECT_EQ(system.wait_exit(10000), 0);
    std::filesystem::remove(init);
    std::string round = " * web is stopped\nstatus 3\n * web is not running\nstop 0 \n";
    EXPECT_EQ(system.console(), round + round + round + round);
}

// Script services enabled with links start in dependency order before the direct services
// and stop in reverse order at shutdown; a stop that fails is a warning. Their daemons are
// reaped while their actions run.
TEST_F(Pid1NsTest, ScriptServicesStartInOrderAndStopInReverse) {
    ns::Image image = base_image();
    image.files["/etc/fstab"] = kProcOnly;
    const std::string dir = "/etc/veskoinit/services/";
    image.files[dir + "log"] = "command=/bin/sleep\ncommand_args=1000\ncommand_background=yes\ndepend() { before net; }\n";
    image.files[dir + "net"] = "start() { einfo net up; }\nstop() { einfo net down; return 1; }\n";
    image.files[dir + "web"] =
        "command=/bin/sleep\ncommand_args=1000\ncommand_background=yes\ndepend() { need net; use log; }\n";
    image.files[dir + "app.toml"] = service_file(R"(["/bin/sleep", "1000"])");
    // Debian's kind: a program with an LSB header, ordered by it, run through /bin/sh here.
    image.files[dir + "lsbd"] = "#!/bin/sh\n### BEGIN INIT INFO\n# Provides: lsbd\n# Required-Start: $syslog\n"
                                "# X-Start-Before: web\n### END INIT INFO\necho \"lsbd $1\"\n";
    for (const char* name : {"log", "net", "web", "lsbd"}) {
        image.links[std::string("/etc/veskoinit/enabled/") + name] = dir + name;
    }
    ns::System system(image);
    ASSERT_TRUE(wait_log(system, "event loop started\n", 10000)) << log_of(system);
    system.send(SIGINT);
    EXPECT_EQ(system.wait_exit(30000), kRebooted);
    EXPECT_EQ(log_of(system),
              summary(1) +
                  "veskoinit: logging output to /var/log/veskoinit.log\n"
                  "veskoinit: validated 1 service(s) from /etc/veskoinit/services\n"
                  "lsbd start\n"
                  " * net up\n"
                  "veskoinit: started 4 enabled script service(s)\n"
                  "veskoinit: started service app as pid #\n"
                  "veskoinit: PID 1 event loop started\n"
                  "veskoinit: received reboot request\n"
                  "veskoinit: stopped service app (killed by signal 15)\n"
                  "veskoinit: reaped adopted child # during shutdown (killed by signal 15)\n"
                  " * net down\n"
                  "veskoinit: warning: could not stop script service net: stop for net failed with status 1\n"
                  "lsbd stop\n"
                  "veskoinit: reaped adopted child # during shutdown (killed by signal 15)\n"
                  "veskoinit: warning: script service shutdown was incomplete: stop for net failed with status 1\n"
                  "veskoinit: unmounted /proc\n");
    EXPECT_EQ(system.read_file("/run/veskoinit/services/web.pid"), std::nullopt);
    EXPECT_EQ(system.read_file("/run/veskoinit/services/log.pid"), std::nullopt);
}

// A script whose top level leaves a process holding its standard output (here during the
// metadata query) does not hold up the boot: the query ends with the runner.
TEST_F(Pid1NsTest, AMetadataQueryEndsWithItsRunner) {
    ns::Image image = base_image();
    image.files["/etc/fstab"] = kProcOnly;
    image.files["/etc/veskoinit/services/holder"] =
        "if [ \"$RC_CMD\" = metadata ]; then sleep 1000 & fi\nstart() { einfo started; }\n";
    image.links["/etc/veskoinit/enabled/holder"] = "/etc/veskoinit/services/holder";
    image.files["/etc/veskoinit/services/app.toml"] = service_file(R"(["/bin/sleep", "1000"])");
    ns::System system(image);
    ASSERT_TRUE(wait_log(system, "event loop started\n", 10000)) << log_of(system);
    EXPECT_NE(log_of(system).find(" * started\nveskoinit: started 1 enabled script service(s)\n"), std::string::npos);
}

// One service's mistake costs the machine that service and what needs it, nothing else: a
// script service whose start fails, or does not end in time (shortened to 4 s here; its
// processes are killed), whose link dangles, whose metadata fails, that needs what is not
// enabled or is part of a cycle; a direct service whose program is gone; a service file
// that does not parse (the fallback console, a getty stand-in here, runs instead of the
// direct services). The rest starts, and what was passed over is not stopped at shutdown.
TEST_F(Pid1NsTest, OneServicesMistakeIsPassedOver) {
    struct Case {
        const char* b;  // the script of service b, which c needs; nullptr for none
        std::string boot;  // the log from the script services to the event loop
        bool b_ran;        // b's start ran (and b and c are passed over)
        std::map<std::string, std::string> scripts = {}, direct = {};  // more services
        std::string stop = "veskoinit: stopped service app (killed by signal 15)\n";
    };
    auto passed = [](const std::string& why) {
        return "veskoinit: warning: passing over script service b: " + why +
               "\nveskoinit: warning: passing over script service c: service c needs b, which was passed over\n"
               "veskoinit: started 2 of 4 enabled script service(s); passed over: b, c\n"
               "veskoinit: started service app as pid #\n";
    };
    const std::string fine = "start() { touch /tmp/b; }\nstop() { touch /tmp/b-stopped; }\n";
    const std::string all_started = "veskoinit: started 4 enabled script service(s)\n";
    const Case cases[] = {
        {"start() { touch /tmp/b; return 1; }\n", passed("start for b failed with status 1"), true},
        {"start() { touch /tmp/b; sleep 6; touch /tmp/late; }\n", passed("start for b timed out after 4 seconds"), true},
        // Its parent is its runner, not process 1: a request signal does nothing there, and
        // a killed runner fails the action.
        {"start() { touch /tmp/b; kill -INT $PPID; kill -TERM $PPID; kill -KILL $PPID; sleep 0.5; }\n",
         passed("start for b failed with status signal"), true},
        // What left the action's process group (as `timeout` does) is killed with it.
        {"start() { touch /tmp/b; /bin/leader --own-group & sleep 1000; }\n", passed("start for b timed out after 4 seconds"), true},
        {"[ \"$RC_CMD\" = metadata ] && sleep 1000\nstart() { touch /tmp/b; }\n", passed("metadata for b timed out after 4 seconds"),
         false},
        // More output than the pipe holds: read as it fills, refused (and the query ended) at once.
        {"if [ \"$RC_CMD\" = metadata ]; then s=xxxxxxxx; for i in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19; do\n"
         "  s=$s$s; done; printf %s \"$s\"; fi\nstart() { touch /tmp/b; }\n",
         passed("invalid dependency metadata from b: metadata output is larger than 1 MiB"), false},
        // A shell killed by a signal: status 1, as vesko-run reports it.
        {"start() { touch /tmp/b; kill -9 $$; }\n", passed("start for b failed with status 1"), true},
        // The shell runs in a session of its own (not process 1's) that it does not lead: 5.
        {"start() { touch /tmp/b; read -r _ _ _ _ _ sid _ </proc/$$/stat; read -r _ _ _ _ _ init _ </proc/1/stat\n"
         "  [ \"$sid\" != $$ ] && [ \"$sid\" != \"$init\" ] && return 5; return 6; }\n",
         passed("start for b failed with status 5"), true},
        // A package purged: its enable link dangles.
        {nullptr, passed("service \"b\" does not exist in /etc/veskoinit/services"), false},
        {"depend() { need zz; }\nstart() { touch /tmp/b; }\n", passed("service b needs zz, but zz is not enabled"), false},
        {"depend() { need e; }\nstart() { touch /tmp/b; }\n",
         "veskoinit: warning: passing over script service b: enabled script services have a dependency cycle involving: b, e\n"
         "veskoinit: warning: passing over script service e: enabled script services have a dependency cycle involving: b, e\n"
         "veskoinit: warning: passing over script service c: service c needs b, which was passed over\n"
         "veskoinit: started 2 of 5 enabled script service(s); passed over: b, c, e\n"
         "veskoinit: started service app as pid #\n",
         false, {{"e", "depend() { need b; }\n"}}},
        {fine.c_str(),
         all_started +
             "veskoinit: warning: passing over service agone: cannot start service \"agone\" using "
             "\"/usr/sbin/gone-daemon\": No such file or directory (os error 2)\n"
             "veskoinit: started service app as pid #\n"
             "veskoinit: warning: passing over service needy: service \"needy\" requires \"agone\", which was passed over\n"
             "veskoinit: started 1 of 3 service(s); passed over: agone, needy\n",
         true, {}, {{"agone.toml", service_file(R"(["/usr/sbin/gone-daemon"])")},
                    {"needy.toml", service_file(R"(["/bin/sleep", "1000"])", "requires = [\"agone\"]\n")}}},
        {fine.c_str(), all_started + "veskoinit: started service fallback-console as pid #\n", true, {},
         {{"bad.toml", "command = \"/bin/sleep\"\n"}}, "veskoinit: stopped service fallback-console (killed by signal 15)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.boot);
        ns::Image image = base_image();
        image.env["VESKO_TEST_ACTION_TIMEOUT"] = "4";
        image.files["/etc/fstab"] = kProcOnly;
        const std::string dir = "/etc/veskoinit/services/";
        std::map<std::string, std::string> scripts = c.scripts;
        for (const char* name : {"a", "b", "c", "d"}) {
            scripts[name] = std::string("start() { :; }\nstop() { touch /tmp/") + name + "-stopped; }\n" +
                            (name[0] == 'c' ? "depend() { need b; }\n" : "");
        }
        scripts["b"] = c.b ? c.b : "";
        for (const auto& [name, script] : scripts) {
            if (name != "b" || c.b) image.files[dir + name] = script;
            image.links["/etc/veskoinit/enabled/" + name] = dir + name;
        }
        image.files[dir + "app.toml"] = service_file(R"(["/bin/sleep", "1000"])");
        for (const auto& [file, text] : c.direct) image.files[dir + file] = text;
        image.scripts["/sbin/getty"] = "#!/bin/sh\nexec sleep 1000\n";
        image.copies["/bin/leader"] = ORPHAN_STORM_BINARY;
        ns::System system(image);
        ASSERT_TRUE(wait_log(system, "event loop started\n", 20000)) << log_of(system);
        system.send(SIGINT);
        EXPECT_EQ(system.wait_exit(20000), kRebooted);
        size_t direct = 1 + c.direct.size();
        std::string validated = c.direct.count("bad.toml") != 0
            ? "veskoinit: warning: service configuration is invalid: cannot parse /etc/veskoinit/services/bad.toml: "
              "TOML parse error at line 1, column 11: invalid type string for key \"command\", expected an array of "
              "strings; starting fallback console service\n"
            : "veskoinit: validated " + std::to_string(direct) + " service(s) from /etc/veskoinit/services\n";
        // The killed action's own children may be reaped before its end is seen, or outlive
        // the boot until the shutdown ends them.
        std::string log = std::regex_replace(
            log_of(system), std::regex("veskoinit: (reaped adopted child [^\n]*|sending SIGTERM to all remaining processes)\n"), "");
        EXPECT_EQ(log, summary(1) + "veskoinit: logging output to /var/log/veskoinit.log\n" + validated + c.boot +
                           "veskoinit: PID 1 event loop started\nveskoinit: received reboot request\n" + c.stop +
                           "veskoinit: unmounted /proc\n");
        EXPECT_EQ(system.exists("/tmp/b"), c.b_ran);
        EXPECT_FALSE(system.exists("/tmp/late"));
        bool b_passed_over = c.direct.empty();
        for (const char* name : {"a", "b", "c", "d"}) {
            bool stopped = !b_passed_over || (name[0] != 'b' && name[0] != 'c');
            EXPECT_EQ(system.exists(std::string("/tmp/") + name + "-stopped"), stopped) << name;
        }
    }
}

// A service that signals its own process group (a shell's `kill 0`, a daemon's killpg) reaches
// only itself: each service has a session and process group of its own, never process 1's,
// whose blocked signals would otherwise be taken for power requests.
TEST_F(Pid1NsTest, AServiceSignallingItsProcessGroupDoesNotReachProcessOne) {
    ns::Image image = base_image();
    image.files["/etc/fstab"] = kProcOnly;
    image.files["/etc/veskoinit/services/group.toml"] = service_file(R"(["/bin/sh", "-c", "sleep 0.2; kill -TERM 0; sleep 5"])");
    image.files["/etc/veskoinit/services/steady.toml"] = service_file(R"(["/bin/sleep", "1000"])");
    ns::System system(image);
    ASSERT_TRUE(wait_log(system, "exited", 10000)) << log_of(system);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    system.send(SIGINT);
    EXPECT_EQ(system.wait_exit(15000), kRebooted);
    EXPECT_EQ(log_of(system), boot_log(1, 2) +
                                  "veskoinit: started service group as pid #\n"
                                  "veskoinit: started service steady as pid #\n"
                                  "veskoinit: PID 1 event loop started\n"
                                  "veskoinit: service group exited (killed by signal 15)\n"
                                  "veskoinit: received reboot request\n"
                                  "veskoinit: stopped service steady (killed by signal 15)\n"
                                  "veskoinit: unmounted /proc\n");
}

// A power-off request during a storm of orphans (six services leave them as fast as they can,
// so that SIGCHLD is pending again at every read) and hostile clients of the control socket
// is served within seconds, not after the storm.
TEST_F(Pid1NsTest, AShutdownRequestIsServedDuringAnOrphanStorm) {
    ns::Image image = base_image();
    image.files["/etc/fstab"] = kProcOnly;
    image.copies["/bin/orphan-storm"] = ORPHAN_STORM_BINARY;
    for (char n = '1'; n <= '6'; ++n) {
        image.files[std::string("/etc/veskoinit/services/storm-") + n + ".toml"] = service_file(R"(["/bin/orphan-storm", "100000000"])");
    }
    ns::System system(image);
    ASSERT_TRUE(wait_log(system, "reaped adopted child", 5000)) << log_of(system);
    // Clients of the control socket that send nothing, garbage or too much, a thousand of them.
    sockaddr_un address{AF_UNIX, {}};
    std::string socket_path = system.host_path("/run/veskoinit/control");
    ASSERT_LT(socket_path.size(), sizeof address.sun_path);
    socket_path.copy(address.sun_path, socket_path.size());
    std::vector<int> clients;
    int connected = 0;
    for (int i = 0; i < 1000; ++i) {
        int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        bool in = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        connected += in;
        if (in && i < 2) {
            std::string message = i == 0 ? std::string("\xff\x01garbage") : std::string(100000, 'x');
            (void)send(fd, message.data(), message.size(), MSG_NOSIGNAL);
        }
        clients.push_back(fd);
    }
    EXPECT_GE(connected, 16);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    auto asked = std::chrono::steady_clock::now();
    system.send(SIGPWR);
    EXPECT_EQ(system.wait_exit(30000), kPoweredOff);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(10));
    for (int fd : clients) close(fd);
}

size_t count(const std::string& text, const std::string& part) {
    size_t found = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
    return found;
}

// A service writes 20,000 numbered lines of 100 bytes (more than the log relay's pipe holds)
// while the log is rotated and the relay signalled with SIGNAL (a stopped one leaves the pipe
// full until it is replaced; FULL fills the root file system for 4 seconds instead); then
// the log is renamed again and PLANT puts something at its path for a line, and after a STOP
// the relay is stopped again with the pipe full.
std::string relay_probe(const std::string& signal, const std::string& plant) {
    std::string probe =
        "relay() { for p in /proc/[0-9]*; do [ \"$(readlink $p/fd/0)\" = \"$(readlink /proc/1/fd/1)\" ] && echo ${p#/proc/}; done; }\n"
        "until [ -n \"$(relay)\" ]; do sleep 0.01; done\n" +
        std::string(signal == "FULL" ? "busybox yes >/fill 2>&-\n" : "") +
        "(i=0; while [ $i -lt 20000 ]; do i=$((i+1)); echo n$i " + std::string(90, 'x') + "; done) >&3 & sleep 0.05\n"
        "mv /var/log/veskoinit.log /var/log/veskoinit.log.1; sleep 0.05; " +
        (signal == "FULL" ? "sleep 4; rm /fill" : "kill -" + signal + " $(relay)") +
        "; wait\n";
    if (!plant.empty()) {
        // Planted once the relay that replaced the first has begun: one started later would
        // take the file process 1 held (the first, renamed) and stay there.
        probe += "until cat /var/log/veskoinit.log* | grep -q '^n20000 ' && cat /var/log/veskoinit.log* | grep -q 'started another$'; "
                 "do sleep 0.01; done; " + plant + " /tmp/plant\n"
                 "mv /var/log/veskoinit.log /var/log/veskoinit.log.2; mv /tmp/plant /var/log/veskoinit.log; echo planted >&3\n"
                 "until grep -q planted /var/log/veskoinit.log.2; do sleep 0.01; done; rm /var/log/veskoinit.log\n";
    }
    if (signal == "STOP") probe += "kill -STOP $(relay); yes | /bin/dd iflag=fullblock bs=4096 oflag=nonblock >/proc/1/fd/1 2>&-\n";
    return probe;
}

// Once the probe is done, a power-off must be served at once (with the relay stopped and its
// pipe full after a STOP); BEFORE is then the log rotated first, AFTER the later ones, and
// every numbered line is in them once, in order.
void power_off_after_relay_probe(ns::System& system, std::string& before, std::string& after) {
    for (int i = 0; i < 3000 && !system.exists("/tmp/done"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    auto asked = std::chrono::steady_clock::now();
    system.send(SIGPWR);
    EXPECT_EQ(system.wait_exit(30000), kPoweredOff);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(10));
    before = without_pids(system.read_file(std::string(kLog) + ".1").value_or(""));
    after = without_pids(system.read_file(std::string(kLog) + ".2").value_or("") + system.read_file(kLog).value_or(""));
    std::string numbers, expected;
    std::regex number("(^|\n)n([0-9]+) x+(?=\n)");
    std::string text = before + after;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), number); it != std::sregex_iterator(); ++it) numbers += (*it)[2].str() + " ";
    for (int i = 1; i <= 20000; ++i) expected += std::to_string(i) + " ";
    EXPECT_TRUE(numbers == expected) << "lines lost, doubled or out of order:\n" << text;
    EXPECT_TRUE(before.empty() || before.back() == '\n') << "a line split between two files:\n" << before.substr(before.size() - 200) << "\n----\n" << after.substr(0, 600);
    EXPECT_EQ(count(after, "veskoinit: received shutdown request\n"), 1) << after;
}

// veskoctl asks process 1 through its control socket: the status of a running, a restarted
// and an ended service, by name too; only root may ask. A service stopped by request stays
// down whatever its policy until it is started; a restart gives a new process; a service that
// a running one requires is not stopped.
TEST_F(Pid1NsTest, RunTimeControlOfTheDirectServices) {
    ns::Image image = base_image();
    image.files["/etc/fstab"] = kProcOnly;
    image.links["/sbin/veskoctl"] = "init";
    image.links["/bin/su"] = "busybox";
    image.files["/etc/passwd"] = "root:x:0:0:root:/:/bin/sh\nnobody:x:65534:65534:nobody:/:/bin/sh\n";
    const std::string dir = "/etc/veskoinit/services/";
    image.files[dir + "crash.toml"] = service_file(R"(["/bin/sh", "-c", "[ -e /tmp/crashed ] && exec sleep 1000; touch /tmp/crashed; exit 3"])",
                                                   "restart = \"on-failure\"\n");
    image.files[dir + "once.toml"] = service_file(R"(["/bin/sh", "-c", "exit 0"])");
    image.files[dir + "up.toml"] = service_file(R"(["/bin/sleep", "1000"])");
    image.files[dir + "user.toml"] = service_file(R"(["/bin/sleep", "1000"])", "requires = [\"up\"]\n");
    image.files[dir + "sc"] = "command=/bin/sleep\ncommand_args=1000\ncommand_background=yes\n";
    image.files[dir + "off"] = "command=/bin/sleep\n";
    image.links["/etc/veskoinit/enabled/sc"] = dir + "sc";
    // A one-shot is started; a daemon that a script left is watched: its end is told by name.
    image.files[dir + "one"] = "start() { :; }\n";
    // One stopped (SIGTERM) is not taken for a failure.
    for (const char* name : {"dz", "dt"}) {
        image.files[dir + name] = std::string("command=/bin/sleep\ncommand_args=997\ncommand_background=yes\npidfile=/tmp/") +
                                  name + ".pid\n";
    }
    for (const char* name : {"one", "dz", "dt"}) image.links[std::string("/etc/veskoinit/enabled/") + name] = dir + name;
    // Passed over at boot: failed, with why.
    image.files[dir + "nogo"] = "depend() { need zz; }\n";
    image.links["/etc/veskoinit/enabled/nogo"] = dir + "nogo";
    image.scripts["/probe"] =
        "#!/bin/sh\nsleep 0.5; exec 3>&1 >/tmp/out 2>&1\n"
        "veskoctl status; echo status $?; veskoctl status up once; echo status $?\n"
        "kill -9 $(cat /tmp/dz.pid); kill $(cat /tmp/dt.pid)\n"
        "until [ $(grep -c 'its daemon' /var/log/veskoinit.log) = 2 ]; do sleep 0.01; done\n"
        "veskoctl status dz one dt; echo status $?; veskoctl status one; echo status $?\n"
        "su -s /bin/sh nobody -c 'veskoctl status'; echo status $?\n"
        "veskoctl stop crash; echo status $?; sleep 0.3; veskoctl status crash; echo status $?\n"
        "veskoctl start crash; echo status $?; veskoctl stop up; echo status $?\n"
        "veskoctl restart up; echo status $?; veskoctl status up; veskoctl status sc off; echo status $?\n"
        "cd /etc/veskoinit/services; rm once.toml crash.toml; echo 'command = [\"/bin/sleep\", \"999\"]' >fresh.toml\n"
        "echo 'command = [\"/nonexistent\"]' >broken.toml\n"
        "echo 'command = [\"/bin/sleep\", \"1001\"]' >user.toml; veskoctl reload; echo status $?\n"
        "veskoctl status user fresh crash; echo status $?; echo 'command = 1' >bad.toml; veskoctl reload; echo status $?\n"
        "veskoctl status\n" + relay_probe("TERM", "") + "veskoctl stop up >/dev/null; touch /tmp/done; exec sleep 1000\n";
    image.files[dir + "probe.toml"] = service_file(R"(["/probe"])");
    image.env["PATH"] = "/bin:/sbin";
    ns::System system(image);
    std::string before, after;
    power_off_after_relay_probe(system, before, after);
    std::string out = std::regex_replace(system.read_file("/tmp/out").value_or(""), std::regex("running [0-9]+ [0-9]+"), "running # #");
    EXPECT_EQ(without_pids(out),
              "dt script running - - - - -\ndz script running - - - - -\nnogo script failed - - - - - service nogo needs zz, but zz is not enabled\n"
              "one script started - - - - -\nsc script running - - - - -\ncrash direct running # # 1 exit:3 current\nonce direct ended - - 0 exit:0 current\n"
              "probe direct running # # 0 - current\nup direct running # # 0 - current\n"
              "user direct running # # 0 - current\nstatus 3\n"
              "up direct running # # 0 - current\nonce direct ended - - 0 exit:0 current\nstatus 3\n"
              "dz script ended - - - - - daemon sleep (pid #) ended (killed by signal 9)\none script started - - - - -\n"
              "dt script stopped - - - - -\nstatus 3\none script started - - - - -\nstatus 0\n"
              "veskoctl: only root may ask process 1\nstatus 1\n"
              "stopping crash\nstatus 0\ncrash direct stopped - - 1 signal:15 current\nstatus 3\n"
              "started crash as pid #\nstatus 0\n"
              "veskoctl: service up is required by user, which runs: stop user first\nstatus 1\n"
              "stopping up\nstatus 0\nup direct running # # 0 signal:15 current\n"
              "sc script running - - - - -\noff script stopped - - - - -\nstatus 3\n"
              // A reload: a file removed, one added, one changed; then an invalid one changes nothing.
              "validated 5 service(s) from /etc/veskoinit/services\nstopping crash: its file is gone\n"
              "started fresh as pid #\nuser runs an older definition until it is restarted\n"
              "veskoctl: cannot start service \"broken\" using \"/nonexistent\": No such file or directory (os error 2)\n"
              "status 1\n"
              "user direct running # # 0 - older\nfresh direct running # # 0 - current\n"
              "veskoctl: no service named \"crash\"\nstatus 1\n"
              "veskoctl: service configuration is invalid: cannot parse /etc/veskoinit/services/bad.toml: TOML parse "
              "error at line 1, column 11: invalid type integer for key \"command\", expected an array of strings\n"
              "status 1\n"
              "dt script stopped - - - - -\ndz script ended - - - - - daemon sleep (pid #) ended (killed by signal 9)\n"
              "nogo script failed - - - - - service nogo needs zz, but zz is not enabled\n"
              "one script started - - - - -\nsc script running - - - - -\nbroken direct failed - - 0 - current cannot start service \"broken\" using "
              "\"/nonexistent\": No such file or directory (os error 2)\nfresh direct running # # 0 - current\n"
              "probe direct running # # 0 - current\n"
              "up direct running # # 0 signal:15 current\nuser direct running # # 0 - older\n");
    for (const char* lines : {"veskoinit: stopping service crash on request\n"
                              "veskoinit: service crash exited (killed by signal 15)\n",
                              "veskoinit: stopping service crash: its file is gone\n"
                              "veskoinit: warning: passing over service broken: cannot start service \"broken\" using "
                              "\"/nonexistent\": No such file or directory (os error 2)\n"
                              "veskoinit: started service fresh as pid #\n"
                              "veskoinit: service crash exited (killed by signal 15)\n",
                              "veskoinit: reload refused: service configuration is invalid: ",
                              "veskoinit: script service dz: its daemon sleep (pid #) ended (killed by signal 9)\n"}) {
        EXPECT_NE(before.find(lines), std::string::npos) << before;
    }
    EXPECT_EQ(before.find("log relay"), std::string::npos);
    for (const char* line : {"veskoinit: warning: the log relay ended (exited with status 0); started another\n",
                             "veskoinit: stopping service up on request\n"}) {
        EXPECT_NE(after.find(line), std::string::npos) << after;
    }
    // The relay killed, or stopped while a service that makes its output non-blocking runs;
    // a link or a FIFO planted at the log's path; the log's file system full for a while.
    struct Row {
        std::string signal, plant, said;
    };
    for (const Row& row : {Row{"KILL", "ln -s /tmp/target", "a symbolic link"}, Row{"STOP", "mkfifo", "not a regular file"},
                           Row{"FULL", "", ""}}) {
        SCOPED_TRACE(row.signal);
        ns::Image image = base_image();
        image.files["/etc/fstab"] = kProcOnly;
        if (row.signal == "FULL") image.root_room = 16 << 20;
        image.scripts["/probe"] = "#!/bin/sh\nexec 3>&1\n" + relay_probe(row.signal, row.plant) + "touch /tmp/done; exec sleep 1000\n";
        image.files[dir + "probe.toml"] = service_file(R"(["/probe"])");
        if (row.signal == "STOP") {
            image.copies["/bin/dd"] = "/usr/bin/dd";
            image.files[dir + "nonblocking.toml"] =
                service_file(R"(["/bin/sh", "-c", "/bin/dd oflag=nonblock count=0 status=none </dev/null; exec sleep 1000"])");
        }
        ns::System system(image);
        std::string before, after;
        power_off_after_relay_probe(system, before, after);
        EXPECT_EQ(count(after, "veskoinit: warning: the log stays in the file held: /var/log/veskoinit.log is " + row.said + "\n"),
                  row.plant.empty() ? 0 : 1)
            << after;
        EXPECT_FALSE(system.exists("/tmp/target"));
        // A stopped relay is killed once it has left the pipe full long enough (the second one
        // too, should the power-off come later than that).
        size_t killed = count(before + after, "veskoinit: warning: the log relay has not drained its pipe for 3 seconds; killing it\n");
        size_t ended = count(before + after, "veskoinit: warning: the log relay ended (killed by signal 9); started another\n");
        // One that waits for room on a full file system is left alone.
        EXPECT_TRUE(row.signal == "STOP" ? killed >= 1 && ended >= 1 : killed == 0 && ended == (row.signal == "KILL"))
            << before << after;
    }
}

// Readiness: what requires a service starts once it is ready (a notify daemon's READY=1, a
// one-shot's success, a forking daemon's pid file); a daemon that never says so fails at its
// time limit and what requires it is passed over; a forking daemon is supervised as the
// process its pid file names, restarted when killed; a reload runs the reload command.
TEST_F(Pid1NsTest, WhatRequiresADaemonStartsOnceItIsReady) {
    ns::Image image = base_image();
    image.files["/etc/fstab"] = kProcOnly;
    image.links["/sbin/veskoctl"] = "init";
    image.copies["/bin/notifier"] = NOTIFIER_BINARY;
    const std::string dir = "/etc/veskoinit/services/";
    const std::string sleeper = R"(["/bin/sleep", "1000"])";
    image.files[dir + "slow.toml"] = service_file(R"(["/bin/notifier", "300", "READY=1", "/bin/sleep", "1000"])",
                                                  "type = 'notify'\nreload-command = ['/bin/sh', '-c', "
                                                  "'echo reloaded $MAINPID >/tmp/reloaded']\n");
    image.files[dir + "after.toml"] = service_file(sleeper, "requires = ['slow']\n");
    image.files[dir + "mute.toml"] = service_file(sleeper, "type = 'notify'\nready-timeout = 1\n");
    image.files[dir + "needs-mute.toml"] = service_file(sleeper, "requires = ['mute']\n");
    image.files[dir + "setup.toml"] = service_file(R"(["/bin/sh", "-c", "sleep 0.2; touch /tmp/setup"])", "type = 'oneshot'\n");
    image.files[dir + "uses-setup.toml"] = service_file(R"(["/bin/sh", "-c", "[ -e /tmp/setup ] && exec sleep 1000"])",
                                                        "requires = ['setup']\n");
    image.files[dir + "forks.toml"] = service_file(R"(["/bin/sh", "-c", "sleep 1000 & echo $! >/tmp/forks.pid"])",
                                                   "type = 'forking'\npid-file = '/tmp/forks.pid'\nrestart = 'always'\n");
    image.files[dir + "probe.toml"] = service_file(R"(["/probe"])", "requires = ['after', 'uses-setup', 'forks']\n");
    image.files[dir + "stopper.toml"] = service_file(sleeper, "stop-signal = 'SIGINT'\nkill-mode = 'group'\n"
                                                              "stop-command = ['/bin/sh', '-c', 'echo $MAINPID >/tmp/stopped']\n");
    // A package's unit, enabled by its link: variables from its environment file, a dash.
    image.files["/usr/lib/systemd/system/deb@.service"] =
        "[Unit]\nAfter=network.target slow.service\n[Service]\nEnvironmentFile=-/etc/default/deb\n"
        "ExecStartPre=-/bin/sh -c 'exit 3'\nExecStart=sh -c \"echo %i ${OPTS} $$0 $$1 >/tmp/unit; exec sleep 1000\" $OPTS\n";
    image.files["/etc/default/deb"] = "OPTS=\"x y\"\n";
    image.links["/etc/veskoinit/enabled/deb@x.service"] = "/usr/lib/systemd/system/deb@.service";
    image.scripts["/probe"] =
        "#!/bin/sh\nexec >/tmp/out 2>&1\nlog=/var/log/veskoinit.log\n"
        "until grep -q 'passing over service needs-mute' $log; do sleep 0.01; done\n"
        "kill $(cat /tmp/forks.pid); until [ $(grep -c 'service forks runs as' $log) = 2 ]; do sleep 0.01; done\n"
        "veskoctl reload slow; echo status $?; until [ -e /tmp/reloaded ]; do sleep 0.01; done\n"
        "until [ -s /tmp/unit ]; do sleep 0.01; done; cat /tmp/unit; veskoctl restart deb@x >/dev/null; echo restart $?\n"
        "veskoctl status; touch /tmp/done; exec sleep 1000\n";
    image.env["PATH"] = "/bin:/sbin";
    ns::System system(image);
    for (int i = 0; i < 3000 && !system.exists("/tmp/done"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    system.send(SIGPWR);
    EXPECT_EQ(system.wait_exit(30000), kPoweredOff);
    std::string out = std::regex_replace(system.read_file("/tmp/out").value_or(""), std::regex("running [0-9]+ [0-9]+"), "running # #");
    EXPECT_EQ(out,
              "reloading slow\nstatus 0\nx x y x y\nrestart 0\n"
              "forks direct running # # 1 signal:15 current\n"
              "mute direct failed - - 0 signal:15 current it was not ready within 1 seconds\n"
              "needs-mute direct failed - - 0 - current service \"needs-mute\" requires \"mute\", which was passed over\n"
              "setup direct running - - 0 exit:0 current\nslow direct running # # 0 - current\n"
              "after direct running # # 0 - current\ndeb@x direct running # # 0 signal:15 current\n"
              "stopper direct running # # 0 - current\nuses-setup direct running # # 0 - current\n"
              "probe direct running # # 0 - current\n");
    EXPECT_TRUE(std::regex_match(system.read_file("/tmp/reloaded").value_or(""), std::regex("reloaded [0-9]+\n")));
    EXPECT_TRUE(std::regex_match(system.read_file("/tmp/stopped").value_or(""), std::regex("[0-9]+\n")));
    std::string log = log_of(system);
    auto before = [&log](const std::string& first, const std::string& then) {
        size_t at = log.find(first);
        return at != std::string::npos && log.find(then, at) != std::string::npos;
    };
    EXPECT_TRUE(before("veskoinit: service setup is ready\n", "veskoinit: started service uses-setup as pid #\n")) << log;
    EXPECT_TRUE(before("veskoinit: service slow is ready\n", "veskoinit: started service after as pid #\n")) << log;
    EXPECT_TRUE(before("veskoinit: added 1 unit(s) enabled in /etc/veskoinit/enabled\n", "veskoinit: service slow is ready\n") &&
                before("veskoinit: service slow is ready\n", "veskoinit: before-start command of service deb@x exited with "
                                                             "status 3\nveskoinit: started service deb@x as pid #\n"))
        << log;
    EXPECT_TRUE(before("veskoinit: warning: service mute failed to start: it was not ready within 1 seconds\n"
                       "veskoinit: stopping service mute: its start failed\n"
                       "veskoinit: service mute exited (killed by signal 15)\n"
                       "veskoinit: warning: passing over service needs-mute: service \"needs-mute\" requires \"mute\", "
                       "which was passed over\n",
                       "veskoinit: reload command of service slow exited with status 0\n"))
        << log;
    EXPECT_TRUE(before("veskoinit: received shutdown request\n", "veskoinit: stopped service stopper (killed by signal 2)\n"))
        << log;
    EXPECT_TRUE(before("veskoinit: service forks runs as pid #\n",
                       "veskoinit: service forks exited (killed by signal 15)\n"
                       "veskoinit: restarting service forks after killed by signal 15\n"
                       "veskoinit: started service forks as pid #\n"))
        << log;
}

// `-- COMMAND` on a machine: the main program (found in PATH) runs instead of the fallback
// console, and its end powers the machine off.
TEST_F(Pid1NsTest, TheMainProgramsEndPowersTheMachineOff) {
    ns::Image image = base_image();
    image.init_args = {"--", "sh", "-c", "exit 3"};
    image.files["/etc/fstab"] = kProcOnly;
    ns::System system(image);
    EXPECT_EQ(system.wait_exit(10000), kPoweredOff);
    EXPECT_EQ(log_of(system), summary(1) +
                                  "veskoinit: logging output to /var/log/veskoinit.log\n"
                                  "veskoinit: validated 0 service(s) from /etc/veskoinit/services\n"
                                  "veskoinit: started 0 enabled script service(s)\n"
                                  "veskoinit: started main program /bin/sh as pid #\n"
                                  "veskoinit: PID 1 event loop started\n"
                                  "veskoinit: main program /bin/sh exited (exited with status 3)\n"
                                  "veskoinit: the main program has ended; stopping\n"
                                  "veskoinit: unmounted /proc\n");
}

// Without service files the fallback console runs a login shell on the console process 1
// was started with, not on the log; the console is its controlling terminal (job control,
// Ctrl-C).
TEST_F(Pid1NsTest, TheFallbackShellRunsOnTheConsole) {
    ns::Image image = base_image();
    image.console_pty = true;
    image.files["/etc/fstab"] = kProcOnly;
    ns::System system(image);
    ASSERT_TRUE(wait_log(system, "event loop started\n", 5000)) << system.terminal();
    system.type("echo answer-$((6 * 7))\n");
    EXPECT_TRUE(system.wait_terminal("answer-42", 5000)) << system.terminal();
    // The seventh field of /proc/PID/stat is the controlling terminal's device, 0 for none.
    // The quotes keep the terminal's echo of the typed line from matching the answer.
    system.type("read -r pid comm state ppid pgrp session tty rest < /proc/$$/stat; echo terminal-$tty-$session-$$-e''nd\n");
    EXPECT_TRUE(system.wait_terminal("-end", 5000)) << system.terminal();
    std::smatch terminal;
    std::string text = system.terminal();
    ASSERT_TRUE(std::regex_search(text, terminal, std::regex("terminal-([0-9]+)-([0-9]+)-([0-9]+)-end"))) << text;
    EXPECT_NE(terminal[1], "0") << "the shell has no controlling terminal";
    EXPECT_EQ(terminal[2], terminal[3]) << "the shell leads no session of its own";
    EXPECT_EQ(log_of(system), summary(1) +
                                  "veskoinit: logging output to /var/log/veskoinit.log\n"
                                  "veskoinit: /etc/veskoinit/services not found; starting fallback console service\n"
                                  "veskoinit: validated 1 service(s) from /etc/veskoinit/services\n"
                                  "veskoinit: started 0 enabled script service(s)\n"
                                  "veskoinit: started service fallback-console as pid #\n"
                                  "veskoinit: PID 1 event loop started\n");
}

}  // namespace
