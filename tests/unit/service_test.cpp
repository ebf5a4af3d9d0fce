#include "service.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

using service::RestartPolicy;

const std::string kPos = "TOML parse error at line ";
const std::string kKeys =
    "\"description\", \"command\", \"requires\", \"restart\", \"type\", \"user\", \"group\", \"groups\", "
    "\"environment\", \"environment-files\", \"working-directory\", \"umask\", \"limits\", "
    "\"ambient-capabilities\", \"directories\", \"before-start\", \"after-start\", \"stop-command\", "
    "\"reload-command\", \"stop-signal\", \"kill-mode\", \"success-statuses\", \"pid-file\", "
    "\"ready-timeout\", \"notify-access\"";

TEST(ParseService, AcceptsTheFormatIncludingTomlOnePointOne) {
    struct Case {
        std::string text;
        std::vector<std::string> command;
        std::vector<std::string> requires_;
        RestartPolicy restart;
        std::optional<std::string> description;
    };
    const Case cases[] = {
        {"command = [\"/bin/true\"]", {"/bin/true"}, {}, RestartPolicy::Never, std::nullopt},
        {"command = ['/bin/x', 'a b']\nrequires = ['db', 'net']\nrestart = 'on-failure'\n"
         "description = \"web server\"",
         {"/bin/x", "a b"}, {"db", "net"}, RestartPolicy::OnFailure, "web server"},
        {"restart = \"always\"\ncommand = [\n  \"/bin/x\",\n]\n", {"/bin/x"}, {}, RestartPolicy::Always,
         std::nullopt},
        // TOML 1.1: \e and \xHH escapes.
        {"command = [\"/bin/x\", \"\\e\\x41\"]", {"/bin/x", "\x1b" "A"}, {}, RestartPolicy::Never,
         std::nullopt},
        // An escaped NUL parses; the command check refuses it later.
        {"command = [\"/bin/x\", \"a\\u0000\"]", {"/bin/x", std::string("a\0", 2)}, {},
         RestartPolicy::Never, std::nullopt},
    };
    for (const Case& c : cases) {
        auto raw = service::parse_service(c.text);
        ASSERT_TRUE(raw.ok()) << c.text << ": " << raw.error();
        EXPECT_EQ(raw->command, c.command);
        EXPECT_EQ(raw->requires_, c.requires_);
        EXPECT_EQ(raw->restart, c.restart);
        EXPECT_EQ(raw->description, c.description);
    }
}

// Every setting of a daemon at once, compared as a whole record.
TEST(ParseService, TheSettingsOfADaemon) {
    auto raw = service::parse_service(
        "command = ['/usr/bin/caddy', 'run']\ntype = 'notify'\nuser = 'caddy'\ngroup = 'web'\ngroups = ['adm']\n"
        "environment = { HOME = '/var/lib/caddy', A = 'b=c' }\nenvironment-files = ['-/etc/default/caddy']\n"
        "working-directory = '/var/lib/caddy'\numask = '027'\nlimits = { nofile = [1024, 65536], core = 'infinity' }\n"
        "ambient-capabilities = ['CAP_NET_BIND_SERVICE', 'sys_time']\n"
        "directories = { runtime = ['caddy'], state = ['caddy/data'], state-mode = '0700' }\n"
        "before-start = [['/usr/bin/caddy', 'validate']]\nafter-start = []\nstop-command = ['/bin/kill', '$MAINPID']\n"
        "reload-command = ['/usr/bin/caddy', 'reload']\nstop-signal = 'SIGINT'\nkill-mode = 'group'\n"
        "success-statuses = [1, 'SIGPIPE']\npid-file = '/run/caddy.pid'\nready-timeout = 30\nnotify-access = 'all'\n");
    ASSERT_TRUE(raw.ok()) << raw.error();
    service::Settings expected{
        "caddy", "web", {"adm"}, {"A=b=c", "HOME=/var/lib/caddy"}, {"-/etc/default/caddy"}, "/var/lib/caddy", 027,
        {{RLIMIT_CORE, RLIM_INFINITY, RLIM_INFINITY}, {RLIMIT_NOFILE, 1024, 65536}}, (1ULL << 10) | (1ULL << 25),
        {{service::DirectoryBase::Runtime, "caddy", 0755}, {service::DirectoryBase::State, "caddy/data", 0700}},
        {{"/usr/bin/caddy", "validate"}}, {}, {"/bin/kill", "$MAINPID"}, {"/usr/bin/caddy", "reload"}, SIGINT,
        service::KillMode::Group, {1}, {SIGPIPE}, service::Type::Notify, "/run/caddy.pid", 30,
        service::NotifyAccess::All, {}, false};
    EXPECT_TRUE(raw->settings == expected);
}

TEST(ParseService, MultiLineInlineTableWithTrailingCommaIsValidToml) {
    // TOML 1.1 syntax is accepted by the parser; the schema then rejects the table value.
    auto raw = service::parse_service("command = [\"/bin/x\"]\ndescription = { a = 1,\n  b = 2, }\n");
    ASSERT_FALSE(raw.ok());
    EXPECT_EQ(raw.error(), kPos + "2, column 15: invalid type inline table for key \"description\", "
                                  "expected a string");
}

TEST(ParseService, RejectsWithPositionAndAcceptedWords) {
    struct Case {
        std::string text, expected;
    };
    const Case cases[] = {
        {"", "missing key \"command\" in struct RawService"},
        {"description = \"x\"", "missing key \"command\" in struct RawService"},
        {"command = [\"/x\"]\nfoo = 1",
         kPos + "2, column 1: unknown key \"foo\" in struct RawService, expected one of " + kKeys},
        {"[service]\ncommand = [\"/x\"]",
         kPos + "1, column 2: unknown key \"service\" in struct RawService, expected one of " + kKeys},
        // Bare keys outside ASCII and hexadecimal floats get through the parser's 1.1 mode.
        {"\xC3\xA9 = 1",
         kPos + "1, column 1: unknown key \"\xC3\xA9\" in struct RawService, expected one of " + kKeys},
        {"command = 0x1p3", kPos + "1, column 11: invalid type float for key \"command\", expected an "
                                   "array of strings"},
        {"command = \"/bin/x\"", kPos + "1, column 11: invalid type string for key \"command\", "
                                        "expected an array of strings"},
        {"command = [\"/x\", 3]", kPos + "1, column 18: invalid type integer for key \"command\", "
                                         "expected a string as array element"},
        {"command = [\"/x\"]\nrequires = \"db\"",
         kPos + "2, column 12: invalid type string for key \"requires\", expected an array of strings"},
        {"command = [\"/x\"]\ndescription = 5",
         kPos + "2, column 15: invalid type integer for key \"description\", expected a string"},
        {"command = [\"/x\"]\nrestart = \"sometimes\"",
         kPos + "2, column 11: unknown variant \"sometimes\" of enum RestartPolicy, expected one of "
                "\"never\", \"on-failure\", \"always\""},
        {"command = [\"/x\"]\nrestart = \"Always\"",
         kPos + "2, column 11: unknown variant \"Always\" of enum RestartPolicy, expected one of "
                "\"never\", \"on-failure\", \"always\""},
        {"command = [\"/x\"]\nrestart = { always = {} }",
         kPos + "2, column 11: invalid type inline table for key \"restart\", expected enum "
                "RestartPolicy"},
        {"command = [\"/x\"]\nrestart = true",
         kPos + "2, column 11: invalid type boolean for key \"restart\", expected enum RestartPolicy"},
        // The settings of a daemon.
        {"command = ['/x']\ntype = 'forking'", "a service of type \"forking\" needs the key \"pid-file\""},
        {"command = ['/x']\ntype = 'dbus'", kPos + "2, column 8: invalid value for key \"type\": expected one of "
                                                 "\"simple\", \"notify\", \"oneshot\", \"forking\""},
        {"command = ['/x']\numask = '0998'",
         kPos + "2, column 9: invalid value for key \"umask\": expected an octal mode such as \"0755\""},
        {"command = ['/x']\nlimits = { files = 1 }", kPos + "2, column 12: unknown resource limit \"files\""},
        {"command = ['/x']\nlimits = { nofile = [2, 1] }",
         kPos + "2, column 21: invalid value for key \"limits\": the soft limit is above the hard one"},
        {"command = ['/x']\nambient-capabilities = ['CAP_FLY']",
         kPos + "2, column 24: invalid value for key \"ambient-capabilities\": unknown capability \"CAP_FLY\""},
        {"command = ['/x']\ndirectories = { state = ['../etc'] }",
         kPos + "2, column 25: invalid value for key \"state\": a relative path without . or .. is expected"},
        {"command = ['/x']\ndirectories = { home = ['x'] }",
         kPos + "2, column 17: unknown key \"home\" in directories, expected runtime, state, cache, logs or one of "
                "them with -mode"},
        {"command = ['/x']\nworking-directory = 'srv'",
         kPos + "2, column 21: invalid value for key \"working-directory\": an absolute path is expected"},
        {"command = ['/x']\nenvironment-files = ['etc/x']",
         kPos + "2, column 22: invalid value for key \"environment-files\": an absolute path is expected, \"-\" "
                "first if it may be missing"},
        {"command = ['/x']\nbefore-start = [['true']]",
         kPos + "2, column 17: invalid value for key \"before-start\": a command is an absolute executable and its "
                "arguments"},
        {"command = ['/x']\nstop-signal = 'SIGFOO'",
         kPos + "2, column 15: invalid value for key \"stop-signal\": unknown signal \"SIGFOO\""},
        {"command = ['/x']\nsuccess-statuses = [256]",
         kPos + "2, column 21: invalid value for key \"success-statuses\": expected an exit code from 0 to 255 or a "
                "signal name"},
        {"command = ['/x']\nenvironment = { 'A=B' = 'c' }",
         kPos + "2, column 25: invalid value for key \"environment\": a variable's name holds no = and neither holds "
                "a NUL byte"},
    };
    for (const Case& c : cases) {
        auto raw = service::parse_service(c.text);
        ASSERT_FALSE(raw.ok()) << c.text;
        EXPECT_EQ(raw.error(), c.expected) << c.text;
    }
}

TEST(ParseService, SyntaxErrorsCarryTheParsersMessageAndPosition) {
    struct Case {
        std::string text, expected_prefix;
    };
    const Case cases[] = {
        {"command = [", kPos + "1, column 12: "},
        {"command = [\"/x\"]\ncommand = [\"/y\"]", kPos + "2, column 11: "},  // duplicate key
        {"[", kPos + "1, column 2: "},
        {"[!]", kPos + "1, column 2: "},
        {"[.]", kPos + "1, column 2: "},
        {"command = [\"/x\"] junk", kPos + "1, column "},
    };
    for (const Case& c : cases) {
        auto raw = service::parse_service(c.text);
        ASSERT_FALSE(raw.ok()) << c.text;
        EXPECT_EQ(raw.error().rfind(c.expected_prefix, 0), 0u) << raw.error();
        EXPECT_EQ(raw.error().find('\n'), std::string::npos) << raw.error();
    }
}

// What the parser echoes is escaped, so a message stays on one line and shows no control
// sequence; the key depth limit looks only at keys, not into strings or comments.
TEST(ParseService, MessagesStayOnOneLineAndKeysStayShallow) {
    const std::string many(300, '.');
    const std::string head = "command = [\"/x\"]\n";
    std::string deep = head;
    for (int i = 0; i < 128; ++i) deep += "a.";
    const std::pair<std::string, std::string> refused[] = {
        {"restart = t\n", kPos + "1, column 12: Error while parsing boolean: expected 'true', saw 't\\n'"},
        {"a = t\x1b[31m", kPos + "1, column 6: Error while parsing boolean: expected 'true', saw 't\\u{1b}'"},
        {deep + "b = 1", kPos + "2, column 256: a dotted key or table header has more than 128 parts"},
        // 128 parts are still the parser's to judge.
        {deep.substr(0, deep.size() - 1) + " = 1",
         kPos + "2, column 1: unknown key \"a\" in struct RawService, expected one of " + kKeys},
    };
    for (const auto& [text, expected] : refused) {
        auto raw = service::parse_service(text);
        ASSERT_FALSE(raw.ok()) << text;
        EXPECT_EQ(raw.error(), expected);
    }
    const std::string accepted[] = {
        head + "description = \"" + many + "\"",
        head + "description = '" + many + "'",
        head + "description = \"\"\"\n\\\"\"" + many + "\n\"\"\"",
        head + "description = '''\n'" + many + "'''",
        head + "# " + many,
        head + "description = \"a\\\"" + many + "\"",
        head + "restart = \"always\" # " + many,
    };
    for (const std::string& text : accepted) EXPECT_TRUE(service::parse_service(text).ok()) << text;
}

// Where the parser tests for white space, a character from U+00A1 to U+FEFF passes through a
// check with an unreachable branch in the parser's code: the release build must still give
// the parser's ordinary errors.
TEST(ParseService, NonAsciiWhereWhiteSpaceIsTested) {
    const std::pair<std::string, std::string> cases[] = {
        {"command = [\"/x\"]\xC3\xA9",
         kPos + "1, column 17: Error while parsing key-value pair: expected a comment or whitespace, saw '\xC3\xA9'"},
        {"command = [\"/x\"] \xE3\x80\x81",
         kPos + "1, column 18: Error while parsing key-value pair: expected a comment or whitespace, saw '\xE3\x80\x81'"},
        {"command = [\"/x\"]\xC2\xA0",
         kPos + "1, column 17: Error while parsing key-value pair: expected space or tab, saw '\\u00A0'"},
        {"command =\xC3\xA9[\"/x\"]", kPos + "1, column 10: Error while parsing value: could not determine value type"},
        {"command = [\"/x\",\xD2\x99]", kPos + "1, column 17: Error while parsing value: could not determine value type"},
        {"description = \"\"\"a\\\xC3\xA9\"\"\"",
         kPos + "1, column 20: Error while parsing string: unknown escape sequence '\\\xC3\xA9'"},
    };
    for (const auto& [text, expected] : cases) {
        auto raw = service::parse_service(text);
        ASSERT_FALSE(raw.ok()) << text;
        EXPECT_EQ(raw.error(), expected);
    }
}

TEST(ServiceName, Rule) {
    for (const char* good : {"a", "a-", "a--b", "getty", "x9", "a-b-0"}) {
        EXPECT_TRUE(service::is_valid_service_name(good)) << good;
    }
    for (const char* bad : {"", "9lives", "Web", "-a", "a.b", "a_b", ".a", "a b", "\xC3\xA9"}) {
        EXPECT_FALSE(service::is_valid_service_name(bad)) << bad;
    }
}

std::map<std::string, service::Service> graph(
    const std::vector<std::pair<std::string, std::vector<std::string>>>& edges) {
    std::map<std::string, service::Service> services;
    for (const auto& [name, requires_] : edges) {
        service::Service s;
        s.name = name;
        s.requires_ = requires_;
        services.emplace(name, s);
    }
    return services;
}

TEST(StartOrder, SmallestReadyNameFirst) {
    struct Case {
        std::vector<std::pair<std::string, std::vector<std::string>>> edges;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {{{"b", {}}, {"a", {}}, {"c", {"b"}}}, {"a", "b", "c"}},
        {{{"b", {}}, {"a", {"c"}}, {"c", {"b"}}}, {"b", "c", "a"}},
        {{{"ab", {}}, {"a0", {}}, {"a-b", {}}}, {"a-b", "a0", "ab"}},
        // z is ready first and unlocks a, which then goes before y.
        {{{"z", {}}, {"a", {"z"}}, {"y", {"z"}}}, {"z", "a", "y"}},
        {{{"d", {"b", "c"}}, {"c", {"a"}}, {"b", {"a"}}, {"a", {}}}, {"a", "b", "c", "d"}},
        {{}, {}},
    };
    for (const Case& c : cases) {
        auto order = service::compute_start_order(graph(c.edges));
        ASSERT_TRUE(order.ok());
        EXPECT_EQ(*order, c.expected);
    }
}

TEST(StartOrder, CycleListsEveryServiceThatCannotBeOrdered) {
    struct Case {
        std::vector<std::pair<std::string, std::vector<std::string>>> edges;
        std::vector<std::string> stuck;
    };
    const Case cases[] = {
        {{{"a", {"b"}}, {"b", {"a"}}, {"c", {"a"}}, {"d", {}}}, {"a", "b", "c"}},
        {{{"x", {"x2"}}, {"x2", {"x3"}}, {"x3", {"x"}}}, {"x", "x2", "x3"}},
        {{{"a", {}}, {"b", {"a", "c"}}, {"c", {"b"}}, {"e", {"c"}}}, {"b", "c", "e"}},
    };
    for (const Case& c : cases) {
        auto order = service::compute_start_order(graph(c.edges));
        ASSERT_FALSE(order.ok());
        EXPECT_EQ(order.error(), c.stuck);
    }
}

class Fallback : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vesko-fallback-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        std::ofstream(dir_ + "/regular") << "#!/bin/sh\n";
        std::filesystem::create_directory(dir_ + "/directory");
        std::filesystem::create_symlink(dir_ + "/missing", dir_ + "/dangling");
        std::filesystem::create_symlink(dir_ + "/regular", dir_ + "/link");
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string path(const char* name) { return dir_ + "/" + name; }
    std::string dir_;
};

TEST_F(Fallback, FirstRegularFileAfterFollowingLinksIsChosen) {
    std::string missing = path("missing"), dangling = path("dangling"), directory = path("directory"),
                link = path("link"), regular = path("regular");
    std::vector<service::ConsoleCandidate> candidates = {
        {missing.c_str(), {"-x"}},
        {dangling.c_str(), {"-x"}},
        {directory.c_str(), {"-x"}},
        {link.c_str(), {"--noclear", "tty1", "linux"}},
        {regular.c_str(), {"-l"}},
    };
    auto catalog = service::Catalog::fallback_console(candidates);
    ASSERT_TRUE(catalog.ok());
    ASSERT_EQ(catalog->start_order, std::vector<std::string>{"fallback-console"});
    const service::Service& console = catalog->services.at("fallback-console");
    EXPECT_EQ(console.command, (std::vector<std::string>{link, "--noclear", "tty1", "linux"}));
    EXPECT_EQ(console.origin, "<builtin fallback service>");
    EXPECT_EQ(console.description, "Fallback interactive console");
    EXPECT_EQ(console.restart, RestartPolicy::Always);
    EXPECT_TRUE(console.requires_.empty());

    candidates.erase(candidates.begin() + 3);
    catalog = service::Catalog::fallback_console(candidates);
    ASSERT_TRUE(catalog.ok());
    EXPECT_EQ(catalog->services.at("fallback-console").command,
              (std::vector<std::string>{regular, "-l"}));
}

TEST_F(Fallback, NoCandidateListsTheProgramsInOrder) {
    std::string missing = path("missing"), directory = path("directory");
    std::vector<service::ConsoleCandidate> candidates = {{missing.c_str(), {"-l"}},
                                                         {directory.c_str(), {}}};
    auto catalog = service::Catalog::fallback_console(candidates);
    ASSERT_FALSE(catalog.ok());
    EXPECT_EQ(service::display(catalog.error()),
              "no service files were found and no fallback console command exists; tried " + missing +
                  ", " + directory);
}

TEST(ConsoleCandidates, TheTenProgramsInOrder) {
    ASSERT_EQ(service::kConsoleCandidates.size(), 10u);
    EXPECT_STREQ(service::kConsoleCandidates[0].program, "/usr/bin/agetty");
    EXPECT_STREQ(service::kConsoleCandidates[3].program, "/sbin/agetty");
    EXPECT_STREQ(service::kConsoleCandidates[4].program, "/usr/bin/getty");
    const auto& getty = service::kConsoleCandidates[4].arguments;
    EXPECT_EQ(std::vector<std::string>(getty.begin(), getty.end()),
              (std::vector<std::string>{"/dev/tty1", "linux"}));
    EXPECT_STREQ(service::kConsoleCandidates[9].program, "/bin/sh");
    EXPECT_EQ(service::kConsoleCandidates[9].arguments.size(), 1u);
}

TEST(ServiceError, DisplayOfKindsThatADirectoryCannotProduce) {
    EXPECT_EQ(service::display(service::DuplicateService{"web", "d/web.toml.old", "d/web.toml"}),
              "service \"web\" is defined by both d/web.toml.old and d/web.toml");
    EXPECT_EQ(service::display(service::ReadEntry{"d", vesko::OsError{EIO}}),
              "cannot read an entry in d: Input/output error (os error 5)");
    EXPECT_EQ(service::display(service::InspectEntry{"d/\xFF", vesko::OsError{ENOENT}}),
              "cannot inspect d/\xEF\xBF\xBD: No such file or directory (os error 2)");
}

}  // namespace
