#include "mounts.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mount.h>

#include <filesystem>
#include <fstream>

namespace {

using mounts::FstabEntry;

std::string parse_error(const std::string& text) {
    auto parsed = mounts::parse_fstab("/etc/fstab", text);
    return parsed ? "(parsed)" : mounts::display(parsed.error());
}

FstabEntry parse_one(const std::string& line) {
    auto parsed = mounts::parse_fstab("/etc/fstab", line);
    EXPECT_TRUE(parsed.ok()) << line << ": " << (parsed ? "" : mounts::display(parsed.error()));
    if (!parsed || parsed->size() != 1) return {};
    return parsed->front();
}

TEST(Fstab, DefaultTable) {
    auto parsed = mounts::parse_fstab(mounts::kDefaultTableName, mounts::kDefaultTable);
    ASSERT_TRUE(parsed.ok());
    ASSERT_EQ(parsed->size(), 6u);
    const char* targets[] = {"/proc", "/sys", "/dev", "/dev/pts", "/dev/shm", "/run"};
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ((*parsed)[i].target, targets[i]);
    EXPECT_EQ((*parsed)[0].options.flags, uint64_t{MS_NOSUID | MS_NOEXEC | MS_NODEV});
    EXPECT_EQ((*parsed)[3].options.data, (std::vector<std::string>{"gid=5", "mode=0620", "ptmxmode=0666"}));
    EXPECT_EQ(std::string(mounts::kDefaultTable).substr(0, 40), "proc /proc proc nosuid,noexec,nodev 0 0\n");
}

TEST(Fstab, EmptyBlankAndCommentOnlyTextsGiveNoEntries) {
    for (const char* text : {"", "\n\n", "# root\n   # indented\n\t\n", "#x\r\n"}) {
        auto parsed = mounts::parse_fstab("/etc/fstab", text);
        ASSERT_TRUE(parsed.ok()) << text;
        EXPECT_TRUE(parsed->empty()) << text;
    }
}

TEST(Fstab, AcceptedLines) {
    struct Case {
        std::string line, source, target, fstype;
        uint64_t flags;
        std::vector<std::string> data;
    };
    const Case cases[] = {
        {"/dev/sda1 / ext4 defaults", "/dev/sda1", "/", "ext4", 0, {}},
        {"UUID=ab / ext4 defaults 0 +1", "UUID=ab", "/", "ext4", 0, {}},
        {"tmpfs /tmp tmpfs defaults,ro,,noatime,mode=0755, 0 4294967295", "tmpfs", "/tmp", "tmpfs",
         0x401, {"mode=0755"}},
        {"x /m ext4 ro,rw,nosuid,suid,dirsync", "x", "/m", "ext4", MS_DIRSYNC, {}},
        {"x /m ext4 relatime,strictatime,lazytime,nosymfollow,sync,mand", "x", "/m", "ext4",
         0x200000 | 0x1000000 | 0x2000000 | 0x100 | 0x10 | 0x40, {}},
        {"x /m ext4 lazytime,nolazytime,sync,async,nodiratime,diratime,noexec,exec,nodev,dev", "x", "/m",
         "ext4", 0, {}},
        {"x /mnt/my\\040disk ext4 norelatime,discard,size=10%", "x", "/mnt/my disk", "ext4", 0,
         {"norelatime", "discard", "size=10%"}},
        {"\\134host\\011x /a\\043b Auto sw,auto", "\\host\tx", "/a#b", "Auto", 0, {}},
        {"  x\t/m   ext4  defaults  0  0  ", "x", "/m", "ext4", 0, {}},
        {"\xC2\xA0x /m ext4 defaults\xE2\x80\x83", "x", "/m", "ext4", 0, {}},  // Unicode blanks trimmed
        {"x /m#c ext4 defaults", "x", "/m#c", "ext4", 0, {}},
        {"x /m ext4 defaults 0 0\r", "x", "/m", "ext4", 0, {}},
    };
    for (const Case& c : cases) {
        FstabEntry entry = parse_one(c.line);
        EXPECT_EQ(entry.source, c.source) << c.line;
        EXPECT_EQ(entry.target, c.target) << c.line;
        EXPECT_EQ(entry.fstype, c.fstype) << c.line;
        EXPECT_EQ(entry.options.flags, c.flags) << c.line;
        EXPECT_EQ(entry.options.data, c.data) << c.line;
        EXPECT_FALSE(entry.swap_flags.has_value()) << c.line;
    }
    FstabEntry flagged = parse_one("x /m ext4 noauto,nofail");
    EXPECT_TRUE(flagged.options.noauto);
    EXPECT_TRUE(flagged.options.nofail);
}

TEST(Fstab, LineErrorsWithTheirLineNumbers) {
    struct Case {
        std::string text, error;
    };
    const std::string f = "/etc/fstab:";
    const Case cases[] = {
        {"a /b c", f + "1: expected 4 to 6 fstab fields, found 3"},
        {"# c\n\nUUID=x / ext4 defaults 0 1 #root", f + "3: expected 4 to 6 fstab fields, found 7"},
        {"# c\r\n\r\nx", f + "3: expected 4 to 6 fstab fields, found 1"},
        {"a\x0b" "b /b c", f + "1: expected 4 to 6 fstab fields, found 3"},  // not split at \v
        {"x /m ext4 defaults -1", f + "1: expected an unsigned integer, found \"-1\""},
        {"x /m ext4 defaults +", f + "1: expected an unsigned integer, found \"+\""},
        {"x /m ext4 defaults 0 1x", f + "1: expected an unsigned integer, found \"1x\""},
        {"x /m ext4 defaults 4294967296", f + "1: expected an unsigned integer, found \"4294967296\""},
        {"x /m ext4 defaults ++1", f + "1: expected an unsigned integer, found \"++1\""},
        {"x /m\\04 ext4 defaults",
         f + "1: invalid escape in \"/m\\\\04\": backslash must be followed by three octal digits"},
        {"x /m\\08x ext4 defaults",
         f + "1: invalid escape in \"/m\\\\08x\": backslash must be followed by three octal digits"},
        {"x /m\\400 ext4 defaults",
         f + "1: invalid escape in \"/m\\\\400\": backslash must be followed by three octal digits"},
        {"x /m\\777 ext4 defaults",
         f + "1: invalid escape in \"/m\\\\777\": backslash must be followed by three octal digits"},
        {"x /m\\ ext4 defaults",
         f + "1: invalid escape in \"/m\\\\\": backslash must be followed by three octal digits"},
        {"x /m\\000 ext4 defaults", f + "1: invalid escape in \"/m\\\\000\": NUL bytes are not allowed"},
        {"x /m\\377 ext4 defaults",
         f + "1: invalid escape in \"/m\\\\377\": decoded field is not valid UTF-8"},
        {"x\\04 /m\\000 ext4 defaults",  // fields are decoded in order
         f + "1: invalid escape in \"x\\\\04\": backslash must be followed by three octal digits"},
        {"x mnt ext4 defaults", f + "1: mount target mnt is not absolute"},
        {"x \\040mnt ext4 defaults", f + "1: mount target  mnt is not absolute"},
        // A decoded line feed or escape sequence is shown escaped: a message stays one line.
        {"x \\012m\\033[1m ext4 defaults", f + "1: mount target \\nm\\u{1b}[1m is not absolute"},
        {"x /m ext4,xfs defaults",
         f + "1: filesystem type \"ext4,xfs\" requires type probing, which VeskoInit does not implement"},
        {"x /m auto defaults",
         f + "1: filesystem type \"auto\" requires type probing, which VeskoInit does not implement"},
        {"x /m ext4 defaults,bind", f + "1: mount option \"bind\" is not supported yet"},
        {"x /m ext4 rbind", f + "1: mount option \"rbind\" is not supported yet"},
        {"x /m ext4 remount,move", f + "1: mount option \"remount\" is not supported yet"},
        {"x /m ext4 runbindable", f + "1: mount option \"runbindable\" is not supported yet"},
        {"x /m ext4 Bind,rshared", f + "1: mount option \"rshared\" is not supported yet"},
    };
    for (const Case& c : cases) EXPECT_EQ(parse_error(c.text), c.error) << c.text;
}

TEST(Fstab, SwapOptions) {
    struct Case {
        std::string options;
        uint32_t flags;
    };
    const Case accepted[] = {
        {"defaults", 0},
        {"sw", 0},
        {"sw,pri=10,discard", 0x8000 | 10 | 0x10000},
        {"pri=32767", 0x8000 | 32767},
        {"pri=+0", 0x8000},
        {"discard=once", 0x30000},
        {"discard=pages,pri=1", 0x50000 | 0x8000 | 1},
        {"noauto,nofail,rw,suid,exec,dev,async", 0},
    };
    for (const Case& c : accepted) {
        FstabEntry entry = parse_one("/dev/sdb2 none swap " + c.options);
        ASSERT_TRUE(entry.swap_flags.has_value()) << c.options;
        EXPECT_EQ(*entry.swap_flags, c.flags) << c.options;
    }
    EXPECT_EQ(parse_one("/swapfile swap swap defaults").target, "swap");  // a relative target is fine

    struct Refused {
        std::string options, error;
    };
    const std::string f = "/etc/fstab:1: ";
    const Refused refused[] = {
        {"pri=32768", f + "invalid swap option \"pri=32768\""},
        {"pri=-1", f + "invalid swap option \"pri=-1\""},
        {"pri=", f + "invalid swap option \"pri=\""},
        {"pri=+", f + "invalid swap option \"pri=+\""},
        {"pri=99999999999999999999", f + "invalid swap option \"pri=99999999999999999999\""},
        {"pri", f + "invalid swap option \"pri\""},
        {"pr", f + "invalid swap option \"pr\""},
        {"size=1", f + "invalid swap option \"size=1\""},
        {"discard=never", f + "invalid swap option \"discard=never\""},
        {"discard,discard=once", f + "swap option \"discard\" is specified more than once"},
        {"discard=pages,discard", f + "swap option \"discard\" is specified more than once"},
        {"pri=1,pri=2", f + "swap option \"pri\" is specified more than once"},
        {"pri=1,pri=bad", f + "swap option \"pri\" is specified more than once"},
        {"ro", f + "invalid swap option \"mount-only flag\""},
        {"nosuid,pri=5", f + "invalid swap option \"mount-only flag\""},
        {"bind", f + "mount option \"bind\" is not supported yet"},
    };
    for (const Refused& r : refused) {
        EXPECT_EQ(parse_error("/dev/sdb2 none swap " + r.options), r.error) << r.options;
    }
}

// What a distribution's fstab leaves out of the built-in table (a noauto line names its mount
// point, a swap line names none), and whether / stays read-only.
TEST(Fstab, UnnamedDefaultsAndTheRoot) {
    const std::tuple<std::string, std::vector<std::string>, bool> cases[] = {
        {"UUID=r / ext4 errors=remount-ro 0 1\n/dev/pts none swap sw\n",
         {"/proc", "/sys", "/dev", "/dev/pts", "/dev/shm", "/run"}, false},
        {"x / ext4 ro\nsysfs //sys/ sysfs noauto\ntmpfs /dev/shm tmpfs defaults\n", {"/proc", "/dev", "/dev/pts", "/run"}, true},
        {"x / ext4 ro,rw\nproc /proc proc defaults\nx /mnt ext4 ro\n", {"/sys", "/dev", "/dev/pts", "/dev/shm", "/run"}, false},
    };
    for (const auto& [text, added, read_only] : cases) {
        auto fstab = mounts::parse_fstab("/etc/fstab", text);
        ASSERT_TRUE(fstab.ok()) << text;
        std::vector<std::string> targets;
        for (const FstabEntry& entry : mounts::unnamed_defaults(*fstab)) targets.push_back(entry.target);
        EXPECT_EQ(targets, added) << text;
        EXPECT_EQ(mounts::keeps_root_read_only(*fstab), read_only) << text;
    }
}

TEST(Fstab, LaterOptionOverridesEarlier) {
    EXPECT_EQ(parse_one("x /m ext4 ro,rw").options.flags, 0u);
    EXPECT_EQ(parse_one("x /m ext4 rw,ro").options.flags, uint64_t{MS_RDONLY});
}

TEST(Mountinfo, TableKeysAndTopmostMount) {
    const std::string text =
        "22 1 0:21 / /proc rw,nosuid - proc proc rw\n"
        "25 1 0:5 / /mnt/my\\040disk rw shared:2 - tmpfs tmpfs rw\n"
        "26 1 0:6 / /mnt/x rw - tmpfs none rw\n"
        "27 26 0:7 / /mnt/x rw - ramfs none rw\n";
    auto table = mounts::parse_mountinfo(text);
    ASSERT_TRUE(table.ok()) << mounts::display(table.error());
    EXPECT_EQ(table->at(mounts::path_key("/proc")), "proc");
    EXPECT_EQ(table->at(mounts::path_key("/mnt/my disk")), "tmpfs");
    EXPECT_EQ(table->at(mounts::path_key("//mnt//x/")), "ramfs");
    EXPECT_EQ(table->size(), 3u);
}

TEST(Mountinfo, MalformedLines) {
    struct Case {
        std::string text, error;
    };
    const std::string m = "/proc/self/mountinfo:";
    const Case cases[] = {
        {"22 1 0:21 / /proc rw proc proc rw", m + "1: malformed mountinfo entry"},
        {"ok 1 0:21 / /a rw - proc proc rw\n22 1 0:21 / - proc proc rw", m + "2: malformed mountinfo entry"},
        {"22 1 0:21 / /a rw - proc proc", m + "1: malformed mountinfo entry"},
        {"22 1 0:21 / /a rw - proc p rw\n\n", m + "2: malformed mountinfo entry"},
        {"22 1 0:21 / /a\\9 rw - proc p rw",
         m + "1: invalid escape in \"/a\\\\9\": backslash must be followed by three octal digits"},
    };
    // Paths are bytes, as the kernel has them: a mount point need not be UTF-8.
    auto bytes = mounts::parse_mountinfo("22 1 0:21 / /caf\\351 rw - tmpfs t rw\n");
    ASSERT_TRUE(bytes.ok());
    EXPECT_EQ(bytes->count("/caf\351"), 1u);
    for (const Case& c : cases) {
        auto table = mounts::parse_mountinfo(c.text);
        ASSERT_FALSE(table.ok()) << c.text;
        EXPECT_EQ(mounts::display(table.error()), c.error);
    }
}

TEST(Swaps, PathsAfterTheHeader) {
    auto paths = mounts::parse_swaps(
        "Filename\t\t\t\tType\t\tSize\t\tUsed\t\tPriority\n"
        "/dev/vdb                                partition\t1048572\t\t0\t\t-2\n"
        "\n"
        "/swap\\040file                         file\t1024\t0\t-3\n");
    ASSERT_TRUE(paths.ok());
    EXPECT_EQ(*paths, (std::vector<std::string>{"/dev/vdb", "/swap file"}));
    auto bad = mounts::parse_swaps("Filename\n/ok\n/bad\\\n");
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(mounts::display(bad.error()),
              "/proc/swaps:3: invalid escape in \"/bad\\\\\": backslash must be followed by three octal digits");
}

TEST(PathKey, ComponentByComponent) {
    EXPECT_EQ(mounts::path_key("/mnt/x"), mounts::path_key("/mnt/x/"));
    EXPECT_EQ(mounts::path_key("/mnt/x"), mounts::path_key("//mnt//x"));
    EXPECT_EQ(mounts::path_key("/mnt/./x"), mounts::path_key("/mnt/x"));
    EXPECT_EQ(mounts::path_key("/"), "/");
    EXPECT_EQ(mounts::path_key("//"), "/");
    EXPECT_NE(mounts::path_key("/mnt/x"), mounts::path_key("/mnt/x/.."));
    EXPECT_NE(mounts::path_key("/mnt/x"), mounts::path_key("mnt/x"));
}

TEST(ResolveSource, Prefixes) {
    struct Case {
        const char* source;
        const char* resolved;
    };
    const Case cases[] = {
        {"UUID=abcd", "/dev/disk/by-uuid/abcd"},
        {"LABEL=root", "/dev/disk/by-label/root"},
        {"PARTUUID=1-2", "/dev/disk/by-partuuid/1-2"},
        {"PARTLABEL=efi", "/dev/disk/by-partlabel/efi"},
        {"UUID=", "/dev/disk/by-uuid/"},
        {"uuid=abcd", "uuid=abcd"},
        {"/dev/sda1", "/dev/sda1"},
        {"proc", "proc"},
    };
    for (const Case& c : cases) EXPECT_EQ(mounts::resolve_source(c.source), c.resolved);
}

TEST(MountsError, DisplayOfRuntimeKinds) {
    const std::pair<mounts::Error, const char*> cases[] = {
        {mounts::AlreadyMounted{"/mnt/x", "tmpfs", "ramfs"}, "/mnt/x is already mounted as tmpfs, expected ramfs"},
        {mounts::Mount{"UUID=ab", "/data", "ext4", vesko::OsError{ENOENT}},
         "cannot mount UUID=ab on /data as ext4: No such file or directory (os error 2)"},
        {mounts::Swap{"LABEL=sw", vesko::OsError{EINVAL}}, "cannot activate swap LABEL=sw: Invalid argument (os error 22)"},
        {mounts::CreateTarget{"/a/b", vesko::OsError{EROFS}},
         "cannot create mount target /a/b: Read-only file system (os error 30)"},
        {mounts::NulByte{"swap source"}, "swap source contains a NUL byte"},
        {mounts::Read{"/etc/fstab", vesko::OsError{EISDIR}}, "cannot read /etc/fstab: Is a directory (os error 21)"},
    };
    for (const auto& [error, text] : cases) EXPECT_EQ(mounts::display(error), text);
}

// A swap source is found active under the path /proc/swaps lists even when it is written as a
// link to it; a source that does not exist stays as written. Nothing here calls swapon.
TEST(SwapPaths, ResolvedForTheAlreadyActiveCheck) {
    namespace fs = std::filesystem;
    std::string dir = (fs::temp_directory_path() / "vesko-swap-XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    std::ofstream(dir + "/swapfile") << "";
    fs::create_symlink(dir + "/swapfile", dir + "/link");
    fs::create_symlink("link", dir + "/link-to-link");
    std::string real = fs::canonical(dir + "/swapfile").string();

    EXPECT_EQ(mounts::resolve_swap_path(dir + "/link-to-link"), real);
    EXPECT_EQ(mounts::resolve_swap_path(dir + "//swapfile"), real);
    EXPECT_EQ(mounts::resolve_swap_path(dir + "/missing"), dir + "/missing");
    EXPECT_EQ(mounts::resolve_swap_path("UUID=no-such-uuid-here"), "/dev/disk/by-uuid/no-such-uuid-here");

    mounts::ActiveSwaps active = mounts::active_swaps({dir + "/swapfile", "/dev/no-such-device"});
    EXPECT_EQ(active, (mounts::ActiveSwaps{real, "/dev/no-such-device"}));
    EXPECT_EQ(active.count(mounts::resolve_swap_path(dir + "/link")), 1u);
    EXPECT_EQ(active.count(mounts::resolve_swap_path(dir + "/missing")), 0u);
    fs::remove_all(dir);
}

}  // namespace
