// veskoinit as process 1 of a virtual machine with a real kernel: what namespaces cannot show.
// A real /dev/console, disks by UUID and LABEL, swap, a root remounted read-only, and a kernel
// that really reboots or powers off.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>

#include "vm.hpp"

namespace {

const char* const kLogUuid = "0a0b0c0d-1111-2222-3333-444455556666";
const char* const kSwapUuid = "5a5b5c5d-7777-8888-9999-aaaabbbbcccc";

std::string without_pids(const std::string& text) {
    return std::regex_replace(text, std::regex("(pid|child) [0-9]+"), "$1 #");
}

// The console without the kernel's messages: they go straight to the serial port and may land
// inside a line of process 1's (seen under load).
std::string own_lines(const std::string& console) {
    return std::regex_replace(console, std::regex("\\[ *[0-9]+\\.[0-9]+\\][^\n]*\n"), "");
}

// The log kept on an ext4 disk mounted by UUID at /var/log, so that it survives the guest.
vm::Scenario with_log_disk() {
    vm::Scenario scenario;
    scenario.disks.push_back({vm::Disk::Kind::Ext4, "log", kLogUuid, {}});
    return scenario;
}

std::string service(const std::string& command, const std::string& extra = "") {
    return "command = " + command + "\n" + extra;
}

// A service that asks for the end once the system has run for a moment; SIGTERM stays
// ignored through the exec, so its own stop does not race the request.
std::string requester(const std::string& command) {
    return service("[\"/bin/sh\", \"-c\", \"trap '' TERM; sleep 2; exec " + command + "\"]");
}

class VmTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string reason = vm::unavailable(); !reason.empty()) GTEST_SKIP() << reason;
        start_ = std::chrono::steady_clock::now();
    }
    void TearDown() override {
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        std::printf("[ duration ] %.1f s\n", seconds);
    }
    std::chrono::steady_clock::time_point start_;
};

TEST_F(VmTest, DefaultTableTwoServicesAndRebootByTheRebootCommand) {
    vm::Scenario scenario = with_log_disk();
    scenario.init_lines = std::string("mount /dev/disk/by-uuid/") + kLogUuid + " /var/log\n";
    scenario.files["/etc/veskoinit/services/a-base.toml"] = service(R"(["/bin/sleep", "1000"])");
    scenario.files["/etc/veskoinit/services/b-app.toml"] = service(R"(["/bin/sleep", "1000"])", "requires = [\"a-base\"]\n");
    scenario.files["/etc/veskoinit/services/z-request.toml"] = requester("/sbin/reboot");
    vm::Machine machine(scenario);
    EXPECT_EQ(machine.wait_end(60000), "guest-reset") << machine.console();
    std::string console = machine.console(), own = own_lines(console);
    EXPECT_NE(own.find("veskoinit: /etc/fstab not found; using built-in default filesystems\n"
                       "veskoinit: mounted proc on /proc as proc\n"
                       "veskoinit: mounted sysfs on /sys as sysfs\n"
                       "veskoinit: /dev already has devtmpfs; skipping mount\n"
                       "veskoinit: mounted devpts on /dev/pts as devpts\n"
                       "veskoinit: mounted tmpfs on /dev/shm as tmpfs\n"
                       "veskoinit: mounted tmpfs on /run as tmpfs\n"),
              std::string::npos)
        << console;
    EXPECT_NE(own.find("veskoinit: remounted / read-only\n"), std::string::npos) << console;
    EXPECT_NE(console.find("reboot: Restarting system"), std::string::npos) << console;
    EXPECT_EQ(without_pids(machine.read_disk_file(0, "/veskoinit.log").value_or("<no log>")),
              "veskoinit: fstab complete: 5 mounted, 1 already mounted, 0 swaps activated, 0 swaps already active, "
              "0 skipped, 0 optional failures\n"
              "veskoinit: logging output to /var/log/veskoinit.log\n"
              "veskoinit: validated 3 service(s) from /etc/veskoinit/services\n"
              "veskoinit: started 0 enabled script service(s)\n"
              "veskoinit: started service a-base as pid #\n"
              "veskoinit: started service b-app as pid #\n"
              "veskoinit: started service z-request as pid #\n"
              "veskoinit: PID 1 event loop started\n"
              "veskoinit: received reboot request\n"
              "veskoinit: stopped service z-request (exited with status 0)\n"
              "veskoinit: stopped service b-app (killed by signal 15)\n"
              "veskoinit: stopped service a-base (killed by signal 15)\n"
              "veskoinit: unmounted /dev/shm\n"
              "veskoinit: unmounted /dev/pts\n"
              "veskoinit: unmounted /var/log\n"
              "veskoinit: unmounted /run\n"
              "veskoinit: unmounted /sys\n"
              // The initramfs's /proc was unmounted before veskoinit mounted its own, which
              // took the freed, smaller mount id.
              "veskoinit: unmounted /dev\n"
              "veskoinit: unmounted /proc\n");
    EXPECT_TRUE(machine.disk_clean(0));
}

TEST_F(VmTest, DisksByLabelAndUuidSwapAndPowerOffByTheShutdownCommand) {
    vm::Scenario scenario = with_log_disk();
    scenario.disks.push_back({vm::Disk::Kind::Ext4, "data", "1a1b1c1d-0000-0000-0000-000000000001", {{"/hello", "data\n"}}});
    scenario.disks.push_back({vm::Disk::Kind::Swap, "swap", kSwapUuid, {}});
    scenario.files["/etc/fstab"] = std::string("proc /proc proc defaults\n") + "UUID=" + kLogUuid +
                                   " /var/log ext4 defaults\n"
                                   "LABEL=data /mnt/data ext4 defaults\n"
                                   "UUID=" +
                                   kSwapUuid +
                                   " none swap pri=5,discard\n"
                                   "LABEL=missing /mnt/missing ext4 nofail\n"
                                   "LABEL=never /mnt/never ext4 noauto\n";
    scenario.files["/etc/veskoinit/services/reader.toml"] =
        service(R"(["/bin/sh", "-c", "cat /mnt/data/hello; cat /proc/swaps; exec sleep 1000"])");
    scenario.files["/etc/veskoinit/services/z-request.toml"] = requester("/sbin/shutdown");
    vm::Machine machine(scenario);
    EXPECT_EQ(machine.wait_end(60000), "guest-shutdown") << machine.console();
    std::string log = without_pids(machine.read_disk_file(0, "/veskoinit.log").value_or("<no log>"));
    // The kernel's own file systems, which the fstab leaves out, are mounted too (/dev is the
    // initramfs's).
    EXPECT_EQ(log.substr(0, log.find('\n') + 1),
              "veskoinit: fstab complete: 7 mounted, 1 already mounted, 1 swaps activated, 0 swaps already active, "
              "1 skipped, 1 optional failures\n")
        << log;
    std::string console = machine.console(), own = own_lines(console);
    EXPECT_NE(own.find("veskoinit: warning: optional mount /mnt/missing failed: cannot mount LABEL=missing on "
                       "/mnt/missing as ext4: No such file or directory (os error 2)\n"),
              std::string::npos)
        << console;
    EXPECT_NE(own.find("veskoinit: activated swap UUID=" + std::string(kSwapUuid) + "\n"), std::string::npos) << console;
    // The reader's two outputs may have process 1's own lines between them.
    EXPECT_NE(log.find("\ndata\n"), std::string::npos) << log;
    EXPECT_NE(log.find("\nFilename"), std::string::npos) << log;
    EXPECT_NE(log.find("/dev/nvme2n1"), std::string::npos) << log;
    EXPECT_NE(log.find("veskoinit: deactivated swap /dev/nvme2n1\n"), std::string::npos) << log;
    EXPECT_NE(log.find("veskoinit: unmounted /mnt/data\n"), std::string::npos) << log;
    EXPECT_NE(own.find("veskoinit: remounted / read-only\n"), std::string::npos) << console;
    EXPECT_NE(console.find("reboot: Power down"), std::string::npos) << console;
    EXPECT_TRUE(machine.disk_clean(0));
    EXPECT_TRUE(machine.disk_clean(1));
}

// While the system runs: a crash-looping on-failure service and orphans; at shutdown a
// service that ignores SIGTERM is killed after 10 s.
TEST_F(VmTest, RestartsOrphansAndAServiceThatIgnoresSigterm) {
    vm::Scenario scenario = with_log_disk();
    scenario.init_lines = std::string("mount /dev/disk/by-uuid/") + kLogUuid + " /var/log\n";
    const std::string dir = "/etc/veskoinit/services/";
    scenario.files[dir + "crash.toml"] = service(
        R"(["/bin/sh", "-c", "[ -e /run/crashed ] && exec sleep 1000; touch /run/crashed; exit 3"])", "restart = \"on-failure\"\n");
    scenario.files[dir + "orphans.toml"] = service(R"(["/bin/sh", "-c", "(sleep 1; exit 2) & exit 0"])");
    scenario.files[dir + "stubborn.toml"] = service(R"(["/bin/sh", "-c", "trap '' TERM; exec sleep 1000"])");
    scenario.files[dir + "z-request.toml"] = service(R"(["/bin/sh", "-c", "trap '' TERM; sleep 4; exec /sbin/reboot"])");
    vm::Machine machine(scenario);
    EXPECT_EQ(machine.wait_end(90000), "guest-reset") << machine.console();
    std::string log = without_pids(machine.read_disk_file(0, "/veskoinit.log").value_or("<no log>"));
    for (const char* line : {"veskoinit: service crash exited (exited with status 3)\n"
                             "veskoinit: restarting service crash after exited with status 3\n"
                             "veskoinit: started service crash as pid #\n",
                             "veskoinit: service orphans exited (exited with status 0)\n",
                             "veskoinit: reaped adopted child # (exited with status 2)\n",
                             "veskoinit: received reboot request\n"
                             "veskoinit: stopped service z-request (exited with status 0)\n"
                             "veskoinit: service stubborn did not stop within 10 seconds; sending SIGKILL\n"
                             "veskoinit: stopped service stubborn (killed by signal 9)\n"
                             "veskoinit: stopped service crash (killed by signal 15)\n"}) {
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    }
    EXPECT_TRUE(machine.disk_clean(0));
}

// The root file system on an ext4 disk, as on a real machine, with the log on it: it is
// closed before / becomes read-only, the power-off completes and the disk is clean. The root
// was exported from a container (its marker files are there) and the kernel command line
// has container=x: process 1 of the machine's own PID namespace is a machine all the same.
TEST_F(VmTest, AnExt4RootWithTheLogOnIt) {
    vm::Scenario scenario;
    scenario.disks.push_back({vm::Disk::Kind::Ext4, "root", "2a2b2c2d-0000-0000-0000-000000000002", {}, true});
    scenario.switch_root = true;
    scenario.kernel_arguments = "container=x";
    scenario.files["/.dockerenv"] = "";
    scenario.files["/run/.containerenv"] = "";
    scenario.files["/etc/veskoinit/services/idle.toml"] = service(R"(["/bin/sleep", "1000"])");
    scenario.files["/etc/veskoinit/services/z-request.toml"] = requester("/sbin/shutdown");
    vm::Machine machine(scenario);
    EXPECT_EQ(machine.wait_end(60000), "guest-shutdown") << machine.console();
    for (const char* line : {"veskoinit: remounted / read-write\n", "veskoinit: remounted / read-only\n"}) {
        EXPECT_NE(machine.console().find(line), std::string::npos) << machine.console();
    }
    std::string log = without_pids(machine.read_disk_file(0, "/var/log/veskoinit.log").value_or("<no log>"));
    EXPECT_NE(log.find("veskoinit: stopped service idle (killed by signal 15)\n"), std::string::npos) << log;
    EXPECT_TRUE(machine.disk_clean(0));
}

// Script services start in dependency order before the direct services and stop in reverse;
// vesko-service and veskoctl work inside the guest.
TEST_F(VmTest, ScriptServicesAndTheCommandsInsideTheGuest) {
    vm::Scenario scenario = with_log_disk();
    scenario.init_lines = std::string("mount /dev/disk/by-uuid/") + kLogUuid + " /var/log\n";
    const std::string dir = "/etc/veskoinit/services/";
    scenario.files[dir + "log"] = "command=/bin/sleep\ncommand_args=1000\ncommand_background=yes\ndepend() { before net; }\n";
    scenario.files[dir + "net"] = "start() { einfo net up; }\nstop() { einfo net down; }\n";
    scenario.files[dir + "web"] =
        "command=/bin/sleep\ncommand_args=1000\ncommand_background=yes\ndepend() { need net; use log; }\n";
    for (const char* name : {"log", "net", "web"}) scenario.links[std::string("/etc/veskoinit/enabled/") + name] = dir + name;
    scenario.files[dir + "probe.toml"] = service(
        R"(["/bin/sh", "-c", "exec >/dev/console 2>&1; trap '' TERM; PATH=/sbin:/bin; sleep 1; )"
        R"(vesko-service web status; vesko-service net stop and start; echo loop: $(veskoctl logs | grep -c 'event loop started'); )"
        R"(exec shutdown"])");
    vm::Machine machine(scenario);
    EXPECT_EQ(machine.wait_end(90000), "guest-shutdown") << machine.console();
    std::string console = machine.console();
    EXPECT_NE(console.find("vesko-service status web: one sec... <status> done.\n"
                           "vesko-service stop and start net: one sec... <started> done.\n"
                           "loop: 1\n"),
              std::string::npos)
        << console;
    std::string log = without_pids(machine.read_disk_file(0, "/veskoinit.log").value_or("<no log>"));
    EXPECT_NE(log.find(" * net up\n"
                       "veskoinit: started 3 enabled script service(s)\n"
                       "veskoinit: started service probe as pid #\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("veskoinit: stopped service probe (exited with status 0)\n"
                       "veskoinit: reaped adopted child # during shutdown (killed by signal 15)\n"
                       " * net down\n"
                       "veskoinit: reaped adopted child # during shutdown (killed by signal 15)\n"),
              std::string::npos)
        << log;
    EXPECT_TRUE(machine.disk_clean(0));
}

// halt asks on the real console: other keys do nothing, Space powers off, Enter reboots.
TEST_F(VmTest, HaltAsksOnTheConsole) {
    for (const auto& [key, end] : {std::pair<std::string, std::string>{" ", "guest-shutdown"}, {"\r", "guest-reset"}}) {
        SCOPED_TRACE(end);
        vm::Scenario scenario;
        scenario.files["/etc/veskoinit/services/z-request.toml"] = requester("/sbin/halt");
        vm::Machine machine(scenario);
        ASSERT_TRUE(machine.wait_console("System Halted: press enter to reboot or space to shutdown", 60000))
            << machine.console();
        machine.type("xq");
        EXPECT_EQ(machine.wait_end(2000), std::nullopt);
        machine.type(key);
        EXPECT_EQ(machine.wait_end(30000), end) << machine.console();
    }
}

// Ctrl-Alt-Del is a clean reboot request, not an instant reset.
TEST_F(VmTest, CtrlAltDelRebootsCleanly) {
    vm::Scenario scenario;
    scenario.files["/etc/veskoinit/services/idle.toml"] = service(R"(["/bin/sleep", "1000"])");
    scenario.files["/etc/veskoinit/services/ready.toml"] = service(R"(["/bin/sh", "-c", "echo system is up > /dev/console"])");
    vm::Machine machine(scenario);
    ASSERT_TRUE(machine.wait_console("system is up", 60000)) << machine.console();
    machine.qmp(R"({"execute": "send-key", "arguments": {"keys": [{"type": "qcode", "data": "ctrl"},)"
                R"( {"type": "qcode", "data": "alt"}, {"type": "qcode", "data": "delete"}]}})");
    EXPECT_EQ(machine.wait_end(30000), "guest-reset") << machine.console();
    EXPECT_NE(machine.console().find("veskoinit: remounted / read-only\n"), std::string::npos) << machine.console();
}

// A fatal boot error: the fatal line on the console (an invalid /etc/fstab, before the log)
// and the guest stays up; Ctrl-Alt-Del resets it at once.
TEST_F(VmTest, AFatalBootErrorParksUntilCtrlAltDel) {
    const std::pair<std::string, std::string> cases[] = {
        {"/etc/fstab", "veskoinit: fatal: filesystem setup failed: /etc/fstab:2: expected 4 to 6 fstab fields, found 2\n"},
    };
    for (const auto& [file, fatal] : cases) {
        SCOPED_TRACE(file);
        vm::Scenario scenario;
        scenario.files[file] = "proc /proc proc defaults\nbad line\n";
        vm::Machine machine(scenario);
        EXPECT_TRUE(machine.wait_console(fatal + "veskoinit: process 1 has stopped; Ctrl-Alt-Del reboots at once\n", 60000))
            << machine.console();
        EXPECT_EQ(machine.wait_end(2000), std::nullopt);
        machine.qmp(R"({"execute": "send-key", "arguments": {"keys": [{"type": "qcode", "data": "ctrl"},)"
                    R"( {"type": "qcode", "data": "alt"}, {"type": "qcode", "data": "delete"}]}})");
        EXPECT_EQ(machine.wait_end(30000), "guest-reset") << machine.console();
    }
}

}  // namespace
