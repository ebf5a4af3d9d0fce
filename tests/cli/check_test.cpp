// The init personality's command line and the check mode, run through the built executable.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli_support.hpp"

namespace {

using cli::Outcome;
using cli::TempDir;

const std::string kRefusal =
    "veskoinit: refusing to run because this process is not PID 1\n"
    "veskoinit: use --check for a safe host-side smoke test\n";
const std::string kRule = "use lowercase ASCII letters, digits, and hyphens; begin with a letter";
const std::string kValid = "command = [\"/bin/true\"]\n";

// Replaces every "{D}" in TEXT by the directory.
std::string fill(std::string text, const std::string& dir) {
    for (size_t at; (at = text.find("{D}")) != std::string::npos;) text.replace(at, 3, dir);
    return text;
}

void expect_outcome(const Outcome& got, const std::string& out, const std::string& err, int status) {
    EXPECT_EQ(got.out, out);
    EXPECT_EQ(got.err, err);
    EXPECT_EQ(got.status, status);
}

TEST(InitCommandLine, RefusalsUsageAndUnknownArguments) {
    struct Case {
        std::string name;
        std::vector<std::string> args;
        std::string out, err;
        int status;
    };
    const Case cases[] = {
        {"veskoinit", {}, "", kRefusal, 1},
        {"init", {}, "", kRefusal, 1},
        {"Reboot", {}, "", kRefusal, 1},  // names are case-sensitive: the init personality
        {"veskoinit", {"--check"}, "veskoinit: binary check passed\n", "", 0},
        {"veskoinit", {"--check", "a", "b"}, "",
         "veskoinit: usage: veskoinit --check [SERVICE_DIRECTORY]\n", 2},
        {"veskoinit", {"--help"}, "", "veskoinit: unknown argument: --help\n", 2},
        {"veskoinit", {"--check=/etc", "x"}, "", "veskoinit: unknown argument: --check=/etc\n", 2},
        {"veskoinit", {"\xFF-x"}, "", "veskoinit: unknown argument: \xEF\xBF\xBD-x\n", 2},
        {"veskoinit", {""}, "", "veskoinit: unknown argument: \n", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + " " + (c.args.empty() ? "" : c.args[0]));
        expect_outcome(cli::run_as(c.name, c.args), c.out, c.err, c.status);
    }
}

TEST(InitCommandLine, ProgramNameWithoutAFinalComponentIsTheInitPersonality) {
    for (const std::vector<std::string>& argv :
         {std::vector<std::string>{}, {"/"}, {"x/.."}, {""}, {"./"}}) {
        SCOPED_TRACE(argv.empty() ? "(empty)" : argv[0]);
        expect_outcome(cli::run(cli::binary(), argv), "", kRefusal, 1);
    }
}

TEST(InitCommandLine, ProgramNameIsTheLastComponent) {
    // "veskoctl/." names veskoctl; "veskoinit/.." names nothing.
    cli::Outcome got = cli::run(cli::binary(), {"/some/where/veskoctl/."});
    EXPECT_EQ(got.err, "veskoctl: a command is required\nusage: veskoctl logs [-f|--follow]\n");
    EXPECT_EQ(got.status, 2);
    got = cli::run(cli::binary(), {"veskoctl/.."});
    EXPECT_EQ(got.err, kRefusal);
}

TEST(CheckMode, ReportsServicesInStartOrder) {
    TempDir dir;
    std::string services = dir.mkdir("services");
    dir.write("services/web.toml", "command = [\"/usr/sbin/web\"]\nrequires = [\"db\"]\n");
    dir.write("services/db.toml", "command = [\"/usr/sbin/db\"]\nrestart = \"always\"\n");
    dir.write("services/a.toml", "command = [\"/bin/a\"]\nrequires = [\"web\"]\n");
    // Entries that do not count as service files.
    dir.write("services/README", "x");
    dir.write("services/x.conf", "x");
    dir.write("services/x.toml~", "x");
    dir.write("services/x.TOML", "x");
    dir.write("services/.toml", "x");
    dir.mkdir("services/d.toml");
    dir.symlink(services + "/db.toml", "services/l.toml");
    expect_outcome(cli::run_as("veskoinit", {"--check", services}),
                   fill("veskoinit: validated 3 service(s) in {D}\n   1. db\n   2. web\n   3. a\n",
                        services),
                   "", 0);
}

TEST(CheckMode, TenthLineIsAlignedInFourColumns) {
    TempDir dir;
    std::string services = dir.mkdir("s");
    std::string expected = "veskoinit: validated 11 service(s) in " + services + "\n";
    const char* names[] = {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k"};
    for (int i = 0; i < 11; ++i) {
        dir.write(std::string("s/") + names[i] + ".toml", kValid);
        expected += (i + 1 < 10 ? "   " : "  ") + std::to_string(i + 1) + ". " + names[i] + "\n";
    }
    expect_outcome(cli::run_as("veskoinit", {"--check", services}), expected, "", 0);
}

TEST(CheckMode, MissingOrEmptyDirectoryFallsBackToTheConsole) {
    TempDir dir;
    dir.mkdir("empty");
    dir.write("only-other/README", "x");
    dir.symlink(dir / "x.toml", "only-other/l.toml");
    dir.write("x.toml", kValid);
    const std::string listed = "   1. fallback-console\n";
    struct Case {
        std::string directory, notice;
    };
    const Case cases[] = {
        {dir / "missing", "veskoinit: {D} not found; starting fallback console service\n"},
        {dir / "empty", "veskoinit: no service files in {D}; starting fallback console service\n"},
        {dir / "only-other", "veskoinit: no service files in {D}; starting fallback console service\n"},
    };
    for (const Case& c : cases) {
        // /bin/sh exists on every machine that runs these tests.
        expect_outcome(cli::run_as("veskoinit", {"--check", c.directory}),
                       fill("veskoinit: validated 1 service(s) in {D}\n", c.directory) + listed,
                       fill(c.notice, c.directory), 0);
    }
}

TEST(CheckMode, EveryConfigurationErrorWithItsText) {
    struct Case {
        std::string title;
        std::vector<std::pair<std::string, std::string>> files;
        std::string err;
    };
    const std::string pos = "TOML parse error at line ";
    const Case cases[] = {
        {"capital letter", {{"Web.toml", kValid}}, "invalid service filename {D}/Web.toml: " + kRule},
        {"digit first", {{"9lives.toml", kValid}}, "invalid service filename {D}/9lives.toml: " + kRule},
        {"inner dot", {{"x.y.toml", kValid}}, "invalid service filename {D}/x.y.toml: " + kRule},
        {"hidden", {{".a.toml", kValid}}, "invalid service filename {D}/.a.toml: " + kRule},
        {"not UTF-8", {{"\xFFz.toml", kValid}},
         "invalid service filename {D}/\xEF\xBF\xBDz.toml: the filename is not valid UTF-8"},
        {"name checked before content", {{"B.toml", "\xFF"}},
         "invalid service filename {D}/B.toml: " + kRule},
        {"content not UTF-8", {{"a.toml", "command = [\"/bin/\xFF\"]"}},
         "cannot read {D}/a.toml: stream did not contain valid UTF-8"},
        {"empty file", {{"a.toml", ""}}, "cannot parse {D}/a.toml: missing key \"command\" in struct RawService"},
        {"syntax", {{"a.toml", "command = ["}},
         "cannot parse {D}/a.toml: " + pos + "1, column 12: Error while parsing array: encountered end-of-file"},
        {"duplicate key", {{"a.toml", "command = [\"/x\"]\ncommand = [\"/y\"]"}},
         "cannot parse {D}/a.toml: " + pos +
             "2, column 11: Error while parsing key-value pair: cannot redefine existing array 'command'"},
        {"unknown key", {{"a.toml", "[service]\ncommand = [\"/x\"]"}},
         "cannot parse {D}/a.toml: " + pos + "1, column 2: unknown key \"service\" in struct RawService, "
         "expected one of \"description\", \"command\", \"requires\", \"restart\", \"type\", \"user\", "
         "\"group\", \"groups\", \"environment\", \"environment-files\", \"working-directory\", \"umask\", "
         "\"limits\", \"ambient-capabilities\", \"directories\", \"before-start\", \"after-start\", "
         "\"stop-command\", \"reload-command\", \"stop-signal\", \"kill-mode\", \"success-statuses\", "
         "\"pid-file\", \"ready-timeout\", \"notify-access\""},
        {"wrong type", {{"a.toml", "command = \"/bin/x\""}},
         "cannot parse {D}/a.toml: " + pos + "1, column 11: invalid type string for key \"command\", "
         "expected an array of strings"},
        {"restart word", {{"a.toml", "command = [\"/x\"]\nrestart = \"sometimes\""}},
         "cannot parse {D}/a.toml: " + pos + "2, column 11: unknown variant \"sometimes\" of enum "
         "RestartPolicy, expected one of \"never\", \"on-failure\", \"always\""},
        {"empty command", {{"a.toml", "command = []"}},
         "invalid command in {D}/a.toml: command must contain an executable"},
        {"relative", {{"a.toml", "command = [\"sleep\", \"1\"]"}},
         "invalid command in {D}/a.toml: the executable must be an absolute path"},
        {"empty executable", {{"a.toml", "command = [\"\"]"}},
         "invalid command in {D}/a.toml: the executable must be an absolute path"},
        {"NUL", {{"a.toml", "command = [\"/bin/x\", \"a\\u0000b\"]"}},
         "invalid command in {D}/a.toml: command arguments cannot contain NUL bytes"},
        {"self before duplicate", {{"a.toml", "command = [\"/x\"]\nrequires = [\"a\", \"a\"]"}},
         "service \"a\" requires itself in {D}/a.toml"},
        {"duplicate requirement", {{"a.toml", "command = [\"/x\"]\nrequires = [\"b\", \"b\"]"},
                                   {"b.toml", kValid}},
         "service \"a\" requires \"b\" more than once in {D}/a.toml"},
        {"unknown requirement", {{"a.toml", "command = [\"/x\"]\nrequires = [\"b\", \"no\\\"pe\"]"},
                                 {"b.toml", kValid}},
         "service \"a\" requires unknown service \"no\\\"pe\" in {D}/a.toml"},
        {"unknown only after all files parsed",
         {{"a.toml", "command = [\"/x\"]\nrequires = [\"missing\"]"}, {"z.toml", "command = ["}},
         "cannot parse {D}/z.toml: " + pos + "1, column 12: Error while parsing array: encountered end-of-file"},
        {"first file in name order", {{"b.toml", "command = []"}, {"a.toml", "command = [\"x\"]"}},
         "invalid command in {D}/a.toml: the executable must be an absolute path"},
        {"cycle", {{"a.toml", "command = [\"/x\"]\nrequires = [\"b\"]"},
                   {"b.toml", "command = [\"/x\"]\nrequires = [\"a\"]"},
                   {"c.toml", "command = [\"/x\"]\nrequires = [\"a\"]"},
                   {"d.toml", kValid}},
         "dependency cycle involving: a, b, c"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        TempDir dir;
        std::string services = dir.mkdir("services");
        for (const auto& [name, content] : c.files) dir.write("services/" + name, content);
        expect_outcome(cli::run_as("veskoinit", {"--check", services}), "",
                       fill("veskoinit: configuration error: " + c.err + "\n", services), 1);
    }
}

TEST(CheckMode, DirectoryErrors) {
    TempDir dir;
    std::string file = dir.write("plain", "x");
    expect_outcome(cli::run_as("veskoinit", {"--check", file}), "",
                   "veskoinit: configuration error: cannot read " + file +
                       ": Not a directory (os error 20)\n",
                   1);

    // Permissions bind only an unprivileged user, so these run as nobody (which needs root).
    if (geteuid() != 0) GTEST_SKIP() << "running as nobody needs root";
    if (std::string reason = cli::unreachable_by_others(dir.path()); !reason.empty()) GTEST_SKIP() << reason;
    cli::RunOptions nobody;
    nobody.uid = 65534;
    std::string closed = dir.mkdir("closed");
    dir.write("closed/a.toml", kValid);
    ::chmod(closed.c_str(), 0);
    expect_outcome(cli::run_as("veskoinit", {"--check", closed}, nobody), "",
                   "veskoinit: configuration error: cannot read " + closed +
                       ": Permission denied (os error 13)\n",
                   1);

    std::string open_dir = dir.mkdir("unreadable");
    std::string secret = dir.write("unreadable/a.toml", kValid, 0);
    expect_outcome(cli::run_as("veskoinit", {"--check", open_dir}, nobody), "",
                   "veskoinit: configuration error: cannot read " + secret +
                       ": Permission denied (os error 13)\n",
                   1);
}

// A report that cannot be written is a failure, not a success with nothing printed.
TEST(CheckMode, AnUnwritableReportFails) {
    TempDir dir;
    dir.write("svc/a.toml", kValid);
    cli::RunOptions full;
    full.stdout_file = "/dev/full";
    // SIGPIPE is ignored from the start, so a reader that went away is an error, not death.
    cli::RunOptions broken;
    broken.stdout_broken_pipe = true;
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--check"}, {"--check", dir / "svc"}}) {
        SCOPED_TRACE(args.size());
        expect_outcome(cli::run_as("veskoinit", args, full), "",
                       "veskoinit: cannot write report: No space left on device (os error 28)\n", 1);
        expect_outcome(cli::run_as("veskoinit", args, broken), "",
                       "veskoinit: cannot write report: Broken pipe (os error 32)\n", 1);
    }
}

// Every personality starts by opening the null device on closed standard descriptors, so that
// nothing else lands there: without that the directory would be opened as descriptor 0 and
// the report written to a closed descriptor 1.
TEST(ProcessStart, ClosedStandardDescriptorsAreOpenedOnTheNullDevice) {
    TempDir dir;
    dir.write("svc/a.toml", kValid);
    cli::RunOptions closed;
    closed.closed = {0, 1};
    expect_outcome(cli::run_as("veskoinit", {"--check", dir / "svc"}, closed), "", "", 0);
    closed.closed = {0, 1, 2};
    expect_outcome(cli::run_as("veskoinit", {"--check", dir / "svc"}, closed), "", "", 0);
}

// What no real service file reaches is refused with one line: its size, the depth of its keys,
// and the memory it would take to parse.
TEST(CheckMode, OversizedFilesAreConfigurationErrors) {
    const std::string head = "command = [\"/bin/true\"]\n";
    auto padded = [&](size_t size) { return head + "#" + std::string(size - head.size() - 2, 'x') + "\n"; };
    std::string requires_many = "requires = [";
    while (requires_many.size() < (1u << 20) - head.size() - 8) requires_many += "\"\",";
    requires_many += "]\n";
    struct Case {
        const char* title;
        std::string content;
        std::string err;  // after "veskoinit: configuration error: "
        size_t address_space = 0;
    };
    const Case cases[] = {
        {"1 MiB exactly", padded(1 << 20), ""},
        {"1 MiB and a byte", padded((1 << 20) + 1),
         "cannot read {F}: the file is larger than 1 MiB (1048576 bytes)"},
        {"a dotted key of 140000 parts", head + [] {
             std::string key;
             for (int i = 0; i < 140000; ++i) key += "a.";
             return key + "b = 1\n";
         }(),
         "cannot parse {F}: TOML parse error at line 2, column 256: a dotted key or table header has more than "
         "128 parts"},
        {"a table header of 140000 parts", head + "[" + [] {
             std::string key;
             for (int i = 0; i < 140000; ++i) key += "a.";
             return key + "b]\n";
         }(),
         "cannot parse {F}: TOML parse error at line 2, column 257: a dotted key or table header has more than "
         "128 parts"},
        {"parsing beyond the memory there is", head + requires_many,
         "cannot parse {F}: not enough memory to parse the file", 16u << 20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
#ifdef VESKO_SANITIZED
        if (c.address_space != 0) continue;  // the sanitizers reserve far more address space
#endif
        TempDir dir;
        std::string file = dir.write("svc/a.toml", c.content);
        cli::RunOptions options;
        options.address_space = c.address_space;
        Outcome got = cli::run_as("veskoinit", {"--check", dir / "svc"}, options);
        if (c.err.empty()) {
            expect_outcome(got, "veskoinit: validated 1 service(s) in " + dir / "svc" + "\n   1. a\n", "", 0);
        } else {
            std::string err = c.err;
            err.replace(err.find("{F}"), 3, file);
            expect_outcome(got, "", "veskoinit: configuration error: " + err + "\n", 1);
        }
    }
}

TEST(CheckMode, RelativeDirectoryIsShownAsGiven) {
    TempDir dir;
    dir.write("svc/a.toml", kValid);
    cli::RunOptions in_dir;
    in_dir.cwd = dir.path();
    expect_outcome(cli::run_as("veskoinit", {"--check", "svc/"}, in_dir),
                   "veskoinit: validated 1 service(s) in svc/\n   1. a\n", "", 0);
    expect_outcome(cli::run_as("veskoinit", {"--check", "svc"}, in_dir),
                   "veskoinit: validated 1 service(s) in svc\n   1. a\n", "", 0);
}

}  // namespace
