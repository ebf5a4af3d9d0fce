// The file-system pass of boot, run by a stand-in process 1 in a throwaway namespace.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "harness.hpp"

namespace {

struct PassRun {
    std::optional<int> status;
    std::string console;
};

PassRun run_pass(ns::Image image) {
    image.init_program = MOUNT_PASS_BINARY;
    ns::System system(image);
    PassRun run;
    run.status = system.wait_exit(10000);
    run.console = system.console();
    return run;
}

std::string summary(int mounted, int already, int skipped = 0, int optional_failures = 0) {
    return "veskoinit: fstab complete: " + std::to_string(mounted) + " mounted, " + std::to_string(already) +
           " already mounted, 0 swaps activated, 0 swaps already active, " + std::to_string(skipped) +
           " skipped, " + std::to_string(optional_failures) + " optional failures\n";
}

// The console up to the mount listing that the stand-in prints last.
std::string messages(const std::string& console) { return console.substr(0, console.find("mount: ")); }

bool lists(const std::string& console, const std::string& mount) {
    return console.find("mount: " + mount + "\n") != std::string::npos;
}

class MountsNsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string reason = ns::unavailable(); !reason.empty()) GTEST_SKIP() << reason;
    }
};

using ns::host_devtmpfs_has_mount_points;

const std::string kDefaultMounts =
    "veskoinit: mounted proc on /proc as proc\n"
    "veskoinit: mounted sysfs on /sys as sysfs\n"
    "veskoinit: mounted devtmpfs on /dev as devtmpfs\n"
    "veskoinit: mounted devpts on /dev/pts as devpts\n"
    "veskoinit: mounted tmpfs on /dev/shm as tmpfs\n"
    "veskoinit: mounted tmpfs on /run as tmpfs\n";
// The built-in table's /proc, which the fstabs below leave to it, found mounted by an earlier stage.
const std::string kProcAlready = "veskoinit: /proc already has proc; skipping mount\n";
const std::string kNoFstab = "veskoinit: /etc/fstab not found; using built-in default filesystems\n";

TEST_F(MountsNsTest, DefaultTableOnAnEmptyRootMountsProcFirst) {
    if (!host_devtmpfs_has_mount_points()) GTEST_SKIP() << "host devtmpfs lacks /dev/pts or /dev/shm";
    PassRun run = run_pass({});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(messages(run.console), kNoFstab + kDefaultMounts + summary(6, 0));
    for (const char* mount : {"/ tmpfs nsroot", "/proc proc proc", "/sys sysfs sysfs", "/dev devtmpfs devtmpfs",
                              "/dev/pts devpts devpts", "/dev/shm tmpfs tmpfs", "/run tmpfs tmpfs"}) {
        EXPECT_TRUE(lists(run.console, mount)) << mount << "\n" << run.console;
    }
}

TEST_F(MountsNsTest, DefaultTableWithProcAlreadyMounted) {
    if (!host_devtmpfs_has_mount_points()) GTEST_SKIP() << "host devtmpfs lacks /dev/pts or /dev/shm";
    ns::Image image;
    image.proc_premounted = true;
    PassRun run = run_pass(image);
    EXPECT_EQ(run.status, 0);
    std::string expected = kDefaultMounts;
    expected.replace(0, expected.find('\n') + 1, "veskoinit: /proc already has proc; skipping mount\n");
    EXPECT_EQ(messages(run.console), kNoFstab + expected + summary(5, 1));
}

// The kernel's own file systems that the fstab does not name come first, in the built-in
// order; what an earlier stage mounted there (here a ramfs on /run) is left as it is.
TEST_F(MountsNsTest, UnnamedDefaultsComeFirstAndTheSecondPassChangesNothing) {
    ns::Image image;
    image.premounted["/run"] = "ramfs";
    image.files["/etc/fstab"] =
        "# test table\n"
        "proc /proc proc nosuid,noexec,nodev 0 0\n"
        "sysfs /sys sysfs noauto\n"
        "devtmpfs /dev devtmpfs noauto\n"
        "tmpfs /mnt/data//x/ tmpfs size=1m\n"
        "none /never ext4 noauto\n";
    image.init_args = {"--twice"};
    PassRun run = run_pass(image);
    EXPECT_EQ(run.status, 0);
    const std::string skipped =
        "veskoinit: skipping /sys because it is marked noauto\n"
        "veskoinit: skipping /dev because it is marked noauto\n";
    EXPECT_EQ(messages(run.console),
              "veskoinit: mounted proc on /proc as proc\n"
              "veskoinit: mounted devpts on /dev/pts as devpts\n"
              "veskoinit: mounted tmpfs on /dev/shm as tmpfs\n"
              "veskoinit: /run already has ramfs; skipping mount\n" + skipped +
                  "veskoinit: mounted tmpfs on /mnt/data//x/ as tmpfs\n"
                  "veskoinit: skipping /never because it is marked noauto\n" +
                  summary(4, 1, 3) +
                  "veskoinit: /dev/pts already has devpts; skipping mount\n"
                  "veskoinit: /dev/shm already has tmpfs; skipping mount\n"
                  "veskoinit: /run already has ramfs; skipping mount\n"
                  "veskoinit: /proc already has proc; skipping mount\n" + skipped +
                  "veskoinit: /mnt/data//x/ already has tmpfs; skipping mount\n"
                  "veskoinit: skipping /never because it is marked noauto\n" +
                  summary(0, 5, 3));
}

TEST_F(MountsNsTest, TargetsAreCreatedOrUsedAsTheyAre) {
    ns::Image image;
    image.proc_premounted = true;
    image.files["/etc/fstab"] = std::string("tmpfs /mnt/a/b/c tmpfs defaults\ntmpfs /file tmpfs defaults\n") + ns::kNoKernelMounts;
    image.files["/file"] = "not a directory\n";
    PassRun run = run_pass(image);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.console, kProcAlready +
              "veskoinit: mounted tmpfs on /mnt/a/b/c as tmpfs\n"
              "veskoinit: fatal: filesystem setup failed: cannot mount tmpfs on /file as tmpfs: "
              "Not a directory (os error 20)\n");
}

TEST_F(MountsNsTest, TwoLinesForOneTarget) {
    ns::Image same;
    same.proc_premounted = true;
    same.files["/etc/fstab"] = std::string("tmpfs /mnt/x tmpfs defaults\nother //mnt/x/ tmpfs defaults\n") + ns::kNoKernelMounts;
    PassRun run = run_pass(same);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(messages(run.console), kProcAlready +
              "veskoinit: mounted tmpfs on /mnt/x as tmpfs\n"
              "veskoinit: //mnt/x/ already has tmpfs; skipping mount\n" + ns::kNoKernelMountsSkipped +
                  summary(1, 2, 5));

    ns::Image different;
    different.proc_premounted = true;
    different.files["/etc/fstab"] = std::string("tmpfs /mnt/x tmpfs defaults\nramfs /mnt/x ramfs nofail\n") + ns::kNoKernelMounts;
    run = run_pass(different);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.console, kProcAlready +
              "veskoinit: mounted tmpfs on /mnt/x as tmpfs\n"
              "veskoinit: fatal: filesystem setup failed: /mnt/x is already mounted as tmpfs, expected ramfs\n");
}

TEST_F(MountsNsTest, OptionalFailuresAndNoautoLines) {
    ns::Image image;
    image.proc_premounted = true;
    image.files["/etc/fstab"] =
        "none /mnt/bad nosuchfs nofail\n"
        "PARTLABEL=gone /mnt/p ext4 defaults,nofail\n"
        "UUID=x /never ext4 noauto\n"
        "/dev/nothing none swap noauto,pri=3\n"
        "tmpfs /mnt/ok tmpfs defaults\n" + std::string(ns::kNoKernelMounts);
    image.init_program = MOUNT_PASS_BINARY;
    ns::System system(image);
    EXPECT_EQ(system.wait_exit(10000), 0);
    EXPECT_EQ(messages(system.console()), kProcAlready +
              "veskoinit: warning: optional mount /mnt/bad failed: cannot mount none on /mnt/bad as nosuchfs: "
              "No such device (os error 19)\n"
              "veskoinit: warning: optional mount /mnt/p failed: cannot mount PARTLABEL=gone on /mnt/p as ext4: "
              "No such file or directory (os error 2)\n"
              "veskoinit: skipping /never because it is marked noauto\n"
              "veskoinit: skipping swap /dev/nothing because it is marked noauto\n"
              "veskoinit: mounted tmpfs on /mnt/ok as tmpfs\n" + ns::kNoKernelMountsSkipped +
                  summary(1, 1, 7, 2));
    EXPECT_TRUE(system.exists("/mnt/bad"));  // created before the mount failed
    EXPECT_FALSE(system.exists("/never"));   // a noauto line is never examined
}

TEST_F(MountsNsTest, TaggedSourcesResolveThroughDiskLinksButShowAsWritten) {
    ns::Image image;
    image.proc_premounted = true;
    image.dirs = {"/dev/disk/by-label"};
    image.links["/dev/disk/by-uuid/abcd-1234"] = "../../fake0";
    image.files["/etc/fstab"] =
        std::string("UUID=abcd-1234 /mnt/u tmpfs defaults\nLABEL=data /mnt/l tmpfs nofail\n") + ns::kNoKernelMounts;
    PassRun run = run_pass(image);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(messages(run.console), kProcAlready +
              "veskoinit: mounted UUID=abcd-1234 on /mnt/u as tmpfs\n"
              "veskoinit: mounted LABEL=data on /mnt/l as tmpfs\n" + ns::kNoKernelMountsSkipped +
                  summary(2, 1, 5));
    EXPECT_TRUE(lists(run.console, "/mnt/u tmpfs /dev/disk/by-uuid/abcd-1234")) << run.console;
    EXPECT_TRUE(lists(run.console, "/mnt/l tmpfs /dev/disk/by-label/data")) << run.console;
}

// Fatal before anything is mounted, or (a root kept read-only by its fstab line) before the
// log can be set up.
TEST_F(MountsNsTest, FatalBeforeAnythingIsMounted) {
    struct Case {
        const char* title;
        ns::Image image;
        std::string console;
    };
    ns::Image invalid;
    invalid.files["/etc/fstab"] = std::string("proc /proc proc defaults\n# comment\nbad line\n") + ns::kNoKernelMounts;
    ns::Image unreadable;
    unreadable.dirs = {"/etc/fstab"};
    ns::Image no_proc;
    no_proc.files["/etc/fstab"] = std::string("proc /proc proc noauto\n") + ns::kNoKernelMounts;
    ns::Image read_only;
    read_only.root_read_only = true;
    read_only.dirs = {"/proc"};
    read_only.files["/etc/fstab"] = "nsroot / tmpfs ro\nproc /proc proc defaults\n" + ns::kNoKernelMounts;
    // The remount that fails (tmpfs refuses the option) is a warning; the log decides.
    ns::Image refused = read_only;
    refused.files["/etc/fstab"] = "nsroot / tmpfs no-such-option\nproc /proc proc defaults\n" + ns::kNoKernelMounts;
    const Case cases[] = {
        {"invalid table", invalid,
         "veskoinit: fatal: filesystem setup failed: /etc/fstab:3: expected 4 to 6 fstab fields, found 2\n"},
        {"table is a directory", unreadable,
         "veskoinit: fatal: filesystem setup failed: cannot read /etc/fstab: Is a directory (os error 21)\n"},
        {"no proc anywhere", no_proc,
         "veskoinit: fatal: filesystem setup failed: cannot read /proc/self/mountinfo: "
         "No such file or directory (os error 2)\n"},
        {"root kept read-only", read_only,
         "veskoinit: mounted proc on /proc as proc\nveskoinit: / already has tmpfs; skipping mount\n" +
             ns::kNoKernelMountsSkipped +
             "veskoinit: fatal: logging setup failed: cannot create /var/log: Read-only file system (os error 30)\n"},
        {"root stays read-only", refused,
         "veskoinit: warning: cannot remount / read-write: Invalid argument (os error 22); / stays read-only\n"
         "veskoinit: mounted proc on /proc as proc\nveskoinit: / already has tmpfs; skipping mount\n" +
             ns::kNoKernelMountsSkipped +
             "veskoinit: fatal: logging setup failed: cannot create /var/log: Read-only file system (os error 30)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
#ifdef VESKO_SANITIZED
        // A sanitized process 1 started without /proc writes its reports to the root, which
        // it cannot when the root is read-only.
        if (c.image.root_read_only) continue;
#endif
        ns::Image image = c.image;
        // The real process 1: it reports on the console, before any log exists, and parks.
        image.init_program = VESKOINIT_BINARY;
        ns::System system(image);
        ASSERT_TRUE(system.wait_console("\n", 5000));
        EXPECT_EQ(system.wait_exit(300), std::nullopt);
        EXPECT_EQ(system.console(), c.console);
        EXPECT_FALSE(system.exists("/proc/self"));
        EXPECT_FALSE(system.exists("/run"));
        EXPECT_FALSE(system.exists("/var/log"));
    }
}

// A root that the kernel mounted read-only is remounted read-write with the options of the
// fstab's line for /, as other inits do, or else with the flags it has (lazytime included).
TEST_F(MountsNsTest, TheReadOnlyRootIsRemountedWithItsOptions) {
    for (const auto& [line, root] : {std::pair{"nsroot / tmpfs noatime,size=300m\n", "root: rw,noatime rw,size=307200k,mode=755\n"},
                                     {"", "root: rw,relatime rw,lazytime,mode=755\n"}}) {
        ns::Image image;
        image.root_read_only = true;
        image.root_flags = MS_LAZYTIME;
        image.proc_premounted = true;
        image.files["/etc/fstab"] = line + ns::kNoKernelMounts;
        PassRun run = run_pass(image);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.console.rfind("veskoinit: remounted / read-write\n", 0), 0u) << run.console;
        EXPECT_EQ(run.console.substr(run.console.rfind("root: ")), root);
    }
}

TEST_F(MountsNsTest, LogSetupAfterThePassWithTheDefaultPath) {
    ns::Image image;
    image.proc_premounted = true;
    image.files["/etc/fstab"] = std::string("tmpfs /mnt/run tmpfs defaults\n") + ns::kNoKernelMounts;
    image.init_args = {"--log"};
    image.init_program = MOUNT_PASS_BINARY;
    for (int boot = 1; boot <= 2; ++boot) {
        // The tmpfs is new for each system, so the second boot appends to a file it brings.
        if (boot == 2) image.files["/var/log/veskoinit.log"] = "earlier boot\n";
        ns::System system(image);
        EXPECT_EQ(system.wait_exit(10000), 0);
        // Progress of the pass goes to the console, everything after to the log.
        EXPECT_EQ(system.console(), kProcAlready + "veskoinit: mounted tmpfs on /mnt/run as tmpfs\n" + ns::kNoKernelMountsSkipped);
        EXPECT_EQ(system.read_file("/var/log/veskoinit.log"),
                  std::string(boot == 2 ? "earlier boot\n" : "") + summary(1, 1, 5) +
                      "veskoinit: logging output to /var/log/veskoinit.log\n");
    }
}

}  // namespace
