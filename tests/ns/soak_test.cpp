// Process 1 under load and under faults, in a throwaway namespace: a minute of a crash-looping
// service with a storm of orphans, a full log file system, its service directory removed,
// and children that not even SIGKILL ends at shutdown. Every wait is bounded.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "harness.hpp"

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;

const char* const kLog = "/var/log/veskoinit.log";

ns::Image base_image() {
    ns::Image image;
    image.init_program = VESKOINIT_BINARY;
    image.copies["/bin/busybox"] = "/bin/busybox";
    for (const char* applet : {"sh", "sleep", "echo", "cat"}) image.links[std::string("/bin/") + applet] = "busybox";
    image.copies["/bin/orphan-storm"] = ORPHAN_STORM_BINARY;
    image.dirs = {"/tmp"};
    image.char_devices["/dev/null"] = makedev(1, 3);
    image.env = {{"PATH", "/bin"}};
    return image;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A file as process 1 sees it (its own mount namespace, for file systems only it mounted).
std::string in_init(ns::System& system, const std::string& path) {
    return slurp("/proc/" + std::to_string(system.init_pid()) + "/root" + path);
}

bool eventually(const std::function<bool()>& done, milliseconds timeout) {
    auto deadline = steady_clock::now() + timeout;
    while (!done()) {
        if (steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(milliseconds(20));
    }
    return true;
}

size_t count(const std::string& text, const std::string& what) {
    size_t found = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++found;
    return found;
}

size_t open_descriptors(pid_t pid) {
    size_t n = 0;
    for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        (void)entry;
        ++n;
    }
    return n;
}

long resident_kb(pid_t pid) {
    std::istringstream status(slurp("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

// The states of process 1's children, as the host sees them.
std::string child_states(pid_t pid) {
    std::string states;
    std::istringstream children(slurp("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children"));
    for (std::string child; children >> child;) {
        std::string stat = slurp("/proc/" + child + "/stat");
        if (stat.size() > stat.rfind(')') + 2) states += stat[stat.rfind(')') + 2];
    }
    return states;
}

class SoakTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string reason = ns::unavailable(); !reason.empty()) GTEST_SKIP() << reason;
    }
};

// A minute of a service that fails as soon as it starts, while another service leaves
// 100,000 orphans: descriptors and memory stay flat, every exit and orphan is in the log and
// no zombie is left.
TEST_F(SoakTest, CrashLoopAndOrphanStorm) {
    ns::Image image = base_image();
    image.files["/etc/fstab"] = std::string("proc /proc proc defaults\n") + ns::kNoKernelMounts;
    image.files["/etc/veskoinit/services/crash.toml"] =
        "command = [\"/bin/sh\", \"-c\", \"[ -e /tmp/stop ] && exec sleep 1000; exit 1\"]\nrestart = \"always\"\n";
    image.files["/etc/veskoinit/services/storm.toml"] = "command = [\"/bin/orphan-storm\", \"100000\"]\n";
    ns::System system(image);
    pid_t init = system.init_pid();
    std::string log_path = system.host_path(kLog);
    ASSERT_TRUE(eventually([&] { return slurp(log_path).find("event loop started") != std::string::npos; },
                           milliseconds(5000)));
    std::this_thread::sleep_for(seconds(1));
    // The fewest of a few looks: one may catch a file that process 1 holds for a moment.
    size_t descriptors = open_descriptors(init);
    for (int look = 0; look < 10; ++look, std::this_thread::sleep_for(milliseconds(20))) {
        descriptors = std::min(descriptors, open_descriptors(init));
    }
    long first_rss = resident_kb(init), peak_rss = first_rss;
    auto end = steady_clock::now() + seconds(60);
    while (steady_clock::now() < end) {
        std::this_thread::sleep_for(seconds(2));
        // A leaked descriptor stays.
        EXPECT_TRUE(eventually([&] { return open_descriptors(init) == descriptors; }, milliseconds(1000)))
            << open_descriptors(init) << " descriptors, " << descriptors << " at the start";
        peak_rss = std::max(peak_rss, resident_kb(init));
    }
    std::ofstream(system.host_path("/tmp/stop")) << "";
    ASSERT_TRUE(eventually([&] { return slurp(log_path).find("storm of 100000 orphans done") != std::string::npos; },
                           milliseconds(120000)));
    // Once the storm is over and the crash loop has settled, nothing is left unreaped.
    EXPECT_TRUE(eventually([&] { return child_states(init).find('Z') == std::string::npos; }, milliseconds(5000)))
        << child_states(init);
    std::string log = slurp(log_path);
    size_t exits = count(log, "veskoinit: service crash exited (exited with status 1)\n");
    EXPECT_GT(exits, 100u);
    EXPECT_EQ(count(log, "veskoinit: restarting service crash after exited with status 1\n"), exits);
    EXPECT_EQ(count(log, "veskoinit: started service crash as pid "), exits + 1);
    EXPECT_EQ(count(log, "veskoinit: reaped adopted child "), 100000u);
    EXPECT_EQ(count(log, "warning"), 0u);
    std::printf("[ figures  ] %zu crash-loop exits in 60 s; VmRSS %ld kB at the start, %ld kB at most; %zu descriptors\n",
                exits, first_rss, peak_rss, descriptors);
    EXPECT_LE(peak_rss - first_rss, 1024) << "process 1 grows under load";
    system.send(SIGPWR);
    EXPECT_EQ(system.wait_exit(20000), 128 + SIGINT);
}

// The log's file system fills up: process 1 goes on supervising (a service restarted five
// times), reaping and serving requests, and what was written stays.
TEST_F(SoakTest, AFullLogFileSystem) {
    ns::Image image = base_image();
    image.files["/etc/fstab"] = std::string("proc /proc proc defaults\ntmpfs /var/log tmpfs size=64k\n") + ns::kNoKernelMounts;
    image.files["/etc/veskoinit/services/chatty.toml"] =
        // It starts filling once boot has been logged, however fast the machine is.
        "command = [\"/bin/sh\", \"-c\", \"sleep 0.5; while :; do echo filling the log with a line of text; done\"]\n";
    image.files["/etc/veskoinit/services/runs.toml"] =
        "command = [\"/bin/sh\", \"-c\", \"sleep 0.2; echo run >> /tmp/runs; "
        "[ $(cat /tmp/runs | wc -l) -ge 5 ] && exec sleep 1000; (sleep 0.1 &); exit 1\"]\n"
        "restart = \"on-failure\"\n";
    image.links["/bin/wc"] = "busybox";
    ns::System system(image);
    pid_t init = system.init_pid();
    ASSERT_TRUE(eventually([&] { return count(slurp(system.host_path("/tmp/runs")), "run\n") >= 5; },
                           milliseconds(20000)));
    std::string log = in_init(system, kLog);
    EXPECT_GE(log.size(), 60000u);
    EXPECT_EQ(log.rfind("veskoinit: fstab complete: 2 mounted", 0), 0u) << log.substr(0, 200);
    EXPECT_NE(log.find("veskoinit: PID 1 event loop started\n"), std::string::npos);
    EXPECT_TRUE(eventually([&] { return child_states(init).find('Z') == std::string::npos; }, milliseconds(5000)));
    system.send(SIGPWR);
    EXPECT_EQ(system.wait_exit(20000), 128 + SIGINT);
    EXPECT_NE(system.console().find("veskoinit: remounted / read-only\n"), std::string::npos) << system.console();
}

// The service directory goes away while process 1 runs: it loaded its catalog at boot and
// restarts from that.
TEST_F(SoakTest, TheServiceDirectoryRemovedWhileRunning) {
    ns::Image image = base_image();
    image.files["/etc/fstab"] = std::string("proc /proc proc defaults\n") + ns::kNoKernelMounts;
    image.files["/etc/veskoinit/services/again.toml"] =
        "command = [\"/bin/sh\", \"-c\", \"while [ ! -e /tmp/go ]; do sleep 0.02; done; exit 4\"]\n"
        "restart = \"on-failure\"\n";
    ns::System system(image);
    std::string log_path = system.host_path(kLog);
    ASSERT_TRUE(eventually([&] { return slurp(log_path).find("event loop started") != std::string::npos; },
                           milliseconds(5000)));
    fs::remove_all(system.host_path("/etc/veskoinit"));
    std::ofstream(system.host_path("/tmp/go")) << "";
    EXPECT_TRUE(eventually([&] { return count(slurp(log_path), "restarting service again after exited with status 4\n") >= 3; },
                           milliseconds(5000)))
        << slurp(log_path);
    system.send(SIGINT);
    EXPECT_EQ(system.wait_exit(20000), 128 + SIGHUP);
}

// Children that not even SIGKILL ends (frozen by the cgroup v1 freezer, in state D) at
// shutdown: the specified waits pass, the warnings say so, and the sequence goes on to its end.
TEST_F(SoakTest, ChildrenThatSigkillCannotEnd) {
    const std::string freezer_root = "/sys/fs/cgroup/freezer";
    if (!fs::exists(freezer_root + "/freezer.state") && !fs::exists(freezer_root + "/tasks")) {
        GTEST_SKIP() << "no cgroup v1 freezer on this machine";
    }
    std::string group = freezer_root + "/vesko-soak-" + std::to_string(getpid());
    fs::create_directory(group);
    struct Thaw {
        std::string group;
        ~Thaw() {
            std::ofstream(group + "/freezer.state") << "THAWED";
            for (int i = 0; i < 100 && rmdir(group.c_str()) != 0; ++i) std::this_thread::sleep_for(milliseconds(50));
        }
    } thaw{group};

    ns::Image image = base_image();
    image.files["/etc/fstab"] = std::string("proc /proc proc defaults\n") + ns::kNoKernelMounts;
    image.files["/etc/veskoinit/services/frozen.toml"] =
        "command = [\"/bin/sh\", \"-c\", \"sleep 1000 & echo $! > /tmp/daemon; exec sleep 1000\"]\n";
    ns::System system(image);
    pid_t init = system.init_pid();
    std::string log_path = system.host_path(kLog);
    ASSERT_TRUE(eventually([&] { return !slurp(system.host_path("/tmp/daemon")).empty(); }, milliseconds(5000)));
    // Both processes, as the host numbers them: process 1's children but its log relay (once
    // that runs its program: a moment after its start it is still a copy of process 1).
    std::vector<std::string> frozen;
    ASSERT_TRUE(eventually([&] {
        frozen.clear();
        std::istringstream children(slurp("/proc/" + std::to_string(init) + "/task/" + std::to_string(init) + "/children"));
        for (std::string child; children >> child;) {
            if (slurp("/proc/" + child + "/cmdline").find("--vesko-log-relay") != std::string::npos) continue;
            frozen.push_back(child);
            std::istringstream grandchildren(slurp("/proc/" + child + "/task/" + child + "/children"));
            for (std::string grandchild; grandchildren >> grandchild;) frozen.push_back(grandchild);
        }
        return frozen.size() == 2;
    }, milliseconds(5000))) << frozen.size();
    for (const std::string& pid : frozen) std::ofstream(group + "/tasks") << pid;
    std::ofstream(group + "/freezer.state") << "FROZEN";
    ASSERT_TRUE(eventually([&] { return slurp(group + "/freezer.state") == "FROZEN\n"; }, milliseconds(5000)));

    auto start = steady_clock::now();
    system.send(SIGPWR);
    ASSERT_TRUE(eventually([&] { return slurp(log_path).find("unmounted /proc\n") != std::string::npos; },
                           milliseconds(30000)))
        << slurp(log_path);
    double waited = std::chrono::duration<double>(steady_clock::now() - start).count();
    std::string log = std::regex_replace(slurp(log_path), std::regex("pid [0-9]+"), "pid #");
    std::string tail = log.substr(log.find("veskoinit: received shutdown request\n"));
    EXPECT_EQ(tail,
              "veskoinit: received shutdown request\n"
              "veskoinit: service frozen did not stop within 10 seconds; sending SIGKILL\n"
              "veskoinit: warning: service frozen is still present after SIGKILL\n"
              "veskoinit: sending SIGTERM to all remaining processes\n"
              "veskoinit: sending SIGKILL to all remaining processes\n"
              "veskoinit: warning: some processes are still present after SIGKILL\n"
              "veskoinit: unmounted /proc\n");
    // 10 + 2 s for the service, 5 + 2 s for what remains: the waits as specified.
    std::printf("[ figures  ] request to the last unmount with frozen children: %.1f s\n", waited);
    // They hold only the log relay's pipe, not the log file, so / becomes read-only all the
    // same, and the machine powers off (the namespace ends once its frozen processes are
    // thawed and die).
    EXPECT_TRUE(system.wait_console("veskoinit: remounted / read-only\n", 5000))
        << system.console();
    std::ofstream(group + "/freezer.state") << "THAWED";
    EXPECT_EQ(system.wait_exit(5000), 128 + SIGINT);
}

}  // namespace
