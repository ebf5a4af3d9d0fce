// Script services without running any: the metadata records, the start order, the
// vesko-service command line and every error text.
#include "admin.hpp"
#include "account.hpp"
#include "helpers.hpp"
#include "lsb.hpp"
#include "script_order.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <algorithm>
#include <functional>
#include <map>
#include <set>

#include "text.hpp"

namespace {

namespace fs = std::filesystem;

const std::string kRule = admin::kNameRule;

// A service directory with a script for each name, and canned metadata outputs.
class Order : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = (fs::temp_directory_path() / "vesko-admin-XXXXXX").string();
        ASSERT_NE(mkdtemp(dir_.data()), nullptr);
        directories_ = {dir_, dir_ + "/enabled", ""};
    }
    void TearDown() override { fs::remove_all(dir_); }

    // The canned output of NAME; "!" makes its query fail.
    admin::MetadataQuery query(const std::map<std::string, std::string>& outputs) {
        return [&outputs, this](const std::string& name, const std::string& path) -> vesko::Result<std::string, admin::Error> {
            queried_.push_back(name);
            EXPECT_EQ(path, dir_ + "/" + name);
            if (outputs.at(name) == "!") return vesko::fail(admin::Error{admin::ActionFailed{"metadata", name, "1"}});
            return outputs.at(name);
        };
    }

    // The order, or "error: " and the message.
    std::string order(const std::map<std::string, std::string>& outputs, std::vector<std::string> names = {}) {
        for (const auto& [name, output] : outputs) {
            std::ofstream(dir_ + "/" + name) << "";
            if (names.empty() || std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
        }
        queried_.clear();
        auto result = admin::enabled_start_order(directories_, names, query(outputs));
        if (!result) return "error: " + admin::display(result.error());
        return vesko::join(*result, ", ");
    }

    // What a boot starts when every start succeeds, then " | " and what it passes over and why.
    std::string boot(const std::map<std::string, std::string>& outputs) {
        std::vector<std::string> names;
        for (const auto& [name, output] : outputs) names.push_back(name);
        admin::Plan plan = admin::plan_start(directories_, names, query(outputs));
        std::vector<std::string> started, passed;
        std::set<std::string> up;
        for (const admin::PassedOver& p : plan.passed_over) passed.push_back(p.name + ": " + admin::display(p.why));
        for (const std::string& name : plan.order) {
            auto unmet = admin::unmet_need(plan, name, up);
            if (unmet) passed.push_back(name + ": " + admin::display(*unmet));
            if (!unmet) started.push_back(name), up.insert(name);
        }
        return vesko::join(started, ", ") + (passed.empty() ? "" : " | " + vesko::join(passed, "; "));
    }

    std::string dir_;
    admin::Directories directories_;
    std::vector<std::string> queried_;
};

TEST_F(Order, SmallestReadyNameFirst) {
    struct Case {
        const char* title;
        std::map<std::string, std::string> outputs;
        std::string expected;
        std::string boot = "";  // when it differs from EXPECTED
    };
    const std::string cycle = ": enabled script services have a dependency cycle involving: ";
    const Case cases[] = {
        {"no records", {{"c", ""}, {"a", "description:a\n"}, {"b", "noise\n"}}, "a, b, c"},
        {"the four kinds",
         {{"log", "before:net\n"}, {"net", ""}, {"sshd", "need:net\n"}, {"web", "use:log\nafter:sshd\n"}},
         "log, net, sshd, web"},
        {"a cycle and what waits on it",
         {{"a", "need:b\n"}, {"b", "need:a\n"}, {"c", "need:a\n"}, {"d", ""}},
         "error: enabled script services have a dependency cycle involving: a, b, c",
         "d | a" + cycle + "a, b; b" + cycle + "a, b; c: service c needs a, which was passed over"},
        {"needing itself", {{"a", "need:a\n"}, {"b", ""}},
         "error: enabled script services have a dependency cycle involving: a", "b | a" + cycle + "a"},
        {"before itself", {{"a", "before:a\n"}}, "error: enabled script services have a dependency cycle involving: a",
         " | a" + cycle + "a"},
        {"a need that is not enabled", {{"a", "use:x\nafter:x\nbefore:x\n"}, {"b", "need:x\n"}},
         "error: service b needs x, but x is not enabled", "a | b: service b needs x, but x is not enabled"},
        {"records and their keys",
         {{"a", "need:b\r\nNeed:c\nneeds:c\n need:c\nno colon\nafter:c"}, {"b", ""}, {"c", ""}}, "b, c, a"},
        // A need of a name no service can have fails, naming it; the other kinds pass over it.
        {"a value with a blank", {{"a", "need: b\n"}, {"b", ""}},
         "error: service a needs \" b\", which cannot be a service here: " + kRule,
         "b | a: service a needs \" b\", which cannot be a service here: " + kRule},
        {"a carriage return inside", {{"a", "need:b\rx\n"}, {"b", ""}},
         "error: service a needs \"b\\rx\", which cannot be a service here: " + kRule,
         "b | a: service a needs \"b\\rx\", which cannot be a service here: " + kRule},
        {"need *", {{"a", "need:*\n"}}, "error: service a needs \"*\", which cannot be a service here: " + kRule,
         " | a: service a needs \"*\", which cannot be a service here: " + kRule},
        {"names of other systems",
         {{"a", "use:\nafter:b:c\nbefore:B\nuse:net.lo\nafter:rpc.statd\nbefore:NetworkManager\nuse:*\n"}, {"b", ""}},
         "a, b"},
        // after * and before *: every other service, but what is ordered the other way already
        // and what says the same.
        {"after * and before *",
         {{"a", ""}, {"b", "need:a\n"}, {"early", "before:*\n"}, {"local", "after:*\n"}, {"z", "use:local\n"}},
         "early, a, b, local, z"},
        {"two after *", {{"x", "after:*\n"}, {"y", "after:*\n"}, {"a", ""}}, "a, x, y"},
        {"two after * that others need", {{"x", "after:*\n"}, {"y", "after:*\n"}, {"a", "need:x\n"}, {"b", "need:y\n"}, {"c", ""}},
         "c, y, b, x, a"},
        {"a need it provides itself", {{"dhcp", "provide:net\nneed:net\n"}, {"web", "need:net\n"}}, "dhcp, web"},
        {"two cycles", {{"a", "need:b\n"}, {"b", "need:a\n"}, {"x", "need:y\n"}, {"y", "need:x\n"}},
         "error: enabled script services have a dependency cycle involving: a, b, x, y",
         " | a" + cycle + "a, b; b" + cycle + "a, b; x" + cycle + "x, y; y" + cycle + "x, y"},
        {"before * that needs", {{"early", "before:*\nneed:b\n"}, {"a", ""}, {"b", ""}}, "b, early, a"},
        {"not UTF-8", {{"a", "description:caf\xe9\n"}},
         "error: invalid dependency metadata from a: metadata output is not valid UTF-8",
         " | a: invalid dependency metadata from a: metadata output is not valid UTF-8"},
        {"nothing enabled", {}, ""},
        // Virtual names: two providers of net, a need and a before of it, a provider that is
        // itself named like what it provides.
        {"providers", {{"a", "before:net\n"}, {"dhcp", "provide:net\n"}, {"ifup", "need:x\nprovide:net"},
                       {"web", "need:net\nuse:x\n"}, {"x", "provide:x\n"}}, "a, dhcp, x, ifup, web"},
        {"a provide with a blank", {{"a", "provide: net\n"}}, "error: invalid dependency metadata from a: " + kRule,
         " | a: invalid dependency metadata from a: " + kRule},
        // One service's mistake passes over what needs it, directly or through others (a need
        // met by a provider included), and no other service.
        {"a missing need, through others", {{"a", "need:b\n"}, {"b", "need:c\nuse:d\n"}, {"c", "need:zz\n"}, {"d", ""}},
         "error: service c needs zz, but zz is not enabled",
         "d | c: service c needs zz, but zz is not enabled; b: service b needs c, which was passed over; "
         "a: service a needs b, which was passed over"},
        {"a provider passed over", {{"dhcp", "provide:net\nneed:zz\n"}, {"web", "need:net\n"}, {"x", "before:web\n"}},
         "error: service dhcp needs zz, but zz is not enabled",
         "x | dhcp: service dhcp needs zz, but zz is not enabled; web: service web needs net, which was passed over"},
        {"a metadata query that fails", {{"a", "!"}, {"b", "need:a\nuse:c\n"}, {"c", "after:a\n"}},
         "error: metadata for a failed with status 1",
         "c | a: metadata for a failed with status 1; b: service b needs a, which was passed over"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        EXPECT_EQ(order(c.outputs), c.expected);
        EXPECT_EQ(boot(c.outputs), c.boot.empty() ? c.expected : c.boot);
    }
}

TEST_F(Order, QueriesInNameOrderAndStopsAtTheFirstFailure) {
    EXPECT_EQ(order({{"b", ""}, {"a", ""}, {"c", ""}}, {"c", "a", "b", "a"}), "a, b, c");
    EXPECT_EQ(queried_, (std::vector<std::string>{"a", "b", "c"}));
    // A need is judged once every service has been asked (a later one may provide it), but
    // before a later query's own failure.
    EXPECT_EQ(order({{"a", ""}, {"b", "need:zz\n"}, {"c", ""}}), "error: service b needs zz, but zz is not enabled");
    EXPECT_EQ(queried_, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(order({{"a", "need:zz\n"}, {"b", "use: x\n"}}), "error: service a needs zz, but zz is not enabled");
    // An enable link without its script.
    auto missing = admin::enabled_start_order(directories_, {"gone"}, [](const std::string&, const std::string&) {
        return vesko::Result<std::string, admin::Error>(std::string());
    });
    ASSERT_FALSE(missing);
    EXPECT_EQ(admin::display(missing.error()), "service \"gone\" does not exist in " + dir_);
}

// Debian's init scripts: the header's ordering fields as metadata records, or none.
TEST(LsbHeader, FieldsFacilitiesAndWhatIsNotAHeader) {
    const std::string syslog = "use:syslog\nuse:rsyslog\nuse:syslog-ng\nuse:sysklogd\nuse:busybox-syslogd\n";
    const std::pair<std::string, std::string> cases[] = {
        // Debian's ssh, with a field continued on the next line and fields that order nothing.
        {"#!/bin/sh\n\n### BEGIN INIT INFO\n# Provides:\t\tsshd ssh\n# Required-Start:\t$remote_fs\n"
         "#\t$syslog\n# Required-Stop:\t$remote_fs $syslog\n# Default-Start:\t2 3 4 5\n# X-Interactive: true\n"
         "# Short-Description:\tOpenBSD Secure\n#  Shell server\n# Description: long\n#  text: more\n### END INIT INFO\n"
         "case $1 in start) ;; esac\n",
         "description:OpenBSD Secure Shell server\nprovide:sshd\nprovide:ssh\nuse:local-fs\nuse:remote-fs\nuse:udev\n" + syslog},
        // $all, other services, names no service can have (a need of one stays, to fail by name),
        // an rcS script whose work process 1 has done.
        {"### BEGIN INIT INFO\n# Provides: web Web.x\n# Required-Start: udev net.lo $x-display-manager mountkernfs\n"
         "# Should-Start: $all lm_sensors cron $portmap\n# X-Start-Before: nginx-x Bad\n### END INIT INFO\n",
         "description:\nprovide:web\nneed:udev\nneed:net.lo\nuse:local-fs\nafter:*\nuse:cron\nuse:portmap\nuse:rpcbind\n"
         "before:nginx-x\n"},
        // The device manager itself comes before the local file systems, not after them.
        {"### BEGIN INIT INFO\n# Provides: udev\n# Required-Start: mountkernfs\n# Should-Start: $local_fs checkroot\n"
         "### END INIT INFO\n",
         "description:\nprovide:udev\nuse:local-fs\nuse:local-fs\nuse:local-fs\n"},
        // Facilities before and stops after (procps's $network); an end line with more on it.
        {"### BEGIN INIT INFO\n# Provides: procps\n# X-Start-Before: $network procps\n# X-Stop-After: $all $x cron\n"
         "### END INIT INFO#\n",
         "description:\nprovide:procps\nbefore:network\nbefore:networking\nbefore:*\nbefore:cron\n"},
        // Debian's cryptdisks: before an rcS script (done already), and never before what it
        // starts after.
        {"### BEGIN INIT INFO\n# Provides: cryptdisks\n# Required-Start: checkroot cryptdisks-early\n"
         "# Should-Start: udev\n# X-Start-Before: checkfs udev cryptdisks-early\n### END INIT INFO\n",
         "description:\nprovide:cryptdisks\nuse:local-fs\nuse:udev\nneed:cryptdisks-early\nuse:udev\n"},
        {"#!/bin/sh\necho no header\n", "none"},
        {"### BEGIN INIT INFO\n# Provides: web\n", "none"},                                       // no end
        {"### BEGIN INIT INFO\n# Provides: web\nexit 0\n### END INIT INFO\n", "none"},            // not a comment
        {"### BEGIN INIT INFO\n# Provides: web\n### END INIT INFO\ndepend() { need net; }\n", "none"},  // OpenRC's
        {"### BEGIN INIT INFO\n### END INIT INFO\n  function depend {\n", "none"},
    };
    for (const auto& [script, expected] : cases) {
        SCOPED_TRACE(script);
        auto header = lsb::read_header(script);
        EXPECT_EQ(header ? lsb::metadata(*header) : "none", expected);
    }
}

// command_user and checkpath -o: users and groups by name or number, with the groups that
// list the user; a name wins over a number.
TEST(Accounts, UsersGroupsAndSupplementaryGroups) {
    const std::string passwd = "root:x:0:0::/root:/bin/sh\nweb:x:33:33::/var/www:/bin/sh\n7:x:1007:1007::/:/bin/sh\n";
    const std::string group = "root:x:0:\nweb:x:33:\nlog:x:4:web,other\nssl:x:110:other,web\n7:x:5:\n";
    const std::pair<std::string, std::string> cases[] = {
        {"web", "33 33 33,4,110"}, {"33", "33 33 33,4,110"}, {"web:log", "33 4 4,110"},
        {"web:0", "33 0 0,4,110"}, {"7", "1007 1007 1007"}, {"root:7", "0 5 5"},
        {"nobody", "unknown user \"nobody\""}, {"web:www", "unknown group \"www\""}, {"", "unknown user \"\""},
    };
    for (const auto& [who, expected] : cases) {
        auto account = account::find_account(who, passwd, group);
        std::string got = account ? std::to_string(account->uid) + " " + std::to_string(account->gid) + " " : account.error();
        for (size_t i = 0; account && i < account->groups.size(); ++i) {
            got += (i > 0 ? "," : "") + std::to_string(account->groups[i]);
        }
        EXPECT_EQ(got, expected) << who;
    }
}

TEST(VeskoServiceCommandLine, BothFormsAndTheirErrors) {
    struct Case {
        std::vector<std::string> args;
        std::string service;
        std::vector<std::string> actions;
        std::string problem;
    };
    const std::string kFew = "provide at least one action and one service";
    const std::string kAction = "actions must contain only lowercase letters, digits, hyphens, and underscores";
    const Case cases[] = {
        {{"start", "web"}, "web", {"start"}, ""},
        {{"web", "start"}, "web", {"start"}, ""},
        {{"start", "and", "stop", "web"}, "web", {"start", "stop"}, ""},
        {{"web", "start", "and", "stop"}, "web", {"start", "stop"}, ""},
        {{"start", "stop", "web"}, "web", {"start", "stop"}, ""},
        {{"status", "start"}, "start", {"status"}, ""},
        {{"web", "foo_bar", "x-1"}, "web", {"foo_bar", "x-1"}, ""},
        {{"enable", "wg-quick@wg0"}, "wg-quick@wg0", {"enable"}, ""},
        {{"Net_1.a", "disable"}, "Net_1.a", {"disable"}, ""},
        {{"wg-quick@wg0", "enable", "start"}, "", {}, kRule},
        {{}, "", {}, kFew},
        {{"and", "and"}, "", {}, kFew},
        {{"web"}, "", {}, kFew},
        {{"web", "and"}, "", {}, kFew},
        {{"web", "Start"}, "", {}, kAction},
        {{"web", ""}, "", {}, kAction},
        {{"Web", "start"}, "", {}, kRule},
        {{"start", "Web"}, "", {}, kRule},
        {{"start", "web", "\xff"}, "", {}, "arguments must be valid UTF-8"},
        {{"\xff", "Web"}, "", {}, "arguments must be valid UTF-8"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(vesko::join(c.args, " "));
        auto request = admin::parse_request(c.args);
        if (c.problem.empty()) {
            ASSERT_TRUE(request);
            EXPECT_EQ(request->service, c.service);
            EXPECT_EQ(request->actions, c.actions);
        } else {
            ASSERT_FALSE(request);
            EXPECT_EQ(request.error().problem, c.problem);
        }
    }
}

TEST(AdminErrors, DisplayEveryKind) {
    const vesko::OsError enoent{ENOENT};
    const std::pair<admin::Error, std::string> cases[] = {
        {admin::InvalidServiceName{"We\"b\n", admin::kNameRule}, "invalid service name \"We\\\"b\\n\": " + kRule},
        {admin::ServiceNotFound{"web", "/srv/\xff"}, "service \"web\" does not exist in /srv/\xEF\xBF\xBD"},
        {admin::CreateDirectory{"/e", enoent}, "cannot create /e: No such file or directory (os error 2)"},
        {admin::Inspect{"/e/web", enoent}, "cannot inspect /e/web: No such file or directory (os error 2)"},
        {admin::NotSymlink{"/e/web"}, "cannot enable service because /e/web is not a symlink"},
        {admin::WrongEnableTarget{"/e/web", "../s/web", "/s/web"}, "enable symlink /e/web points to ../s/web, expected /s/web"},
        {admin::EnabledEntryNotSymlink{"/e/README"}, "enabled service entry /e/README is not a symlink"},
        {admin::CreateEnableLink{"/e/web", vesko::OsError{EEXIST}},
         "cannot create enable symlink /e/web: File exists (os error 17)"},
        {admin::RemoveEnableLink{"/e/web", vesko::OsError{EACCES}},
         "cannot remove enable symlink /e/web: Permission denied (os error 13)"},
        {admin::ReadDirectory{"/e", vesko::OsError{ENOTDIR}}, "cannot read /e: Not a directory (os error 20)"},
        {admin::ReadDirectoryEntry{"/e", vesko::OsError{EIO}}, "cannot read an entry in /e: Input/output error (os error 5)"},
        {admin::LocateExecutable{vesko::fixed_error("no /proc/self/exe available. Is /proc mounted?")},
         "cannot locate the vesko executable: no /proc/self/exe available. Is /proc mounted?"},
        {admin::RunAction{"start", "web", vesko::OsError{EAGAIN}},
         "cannot run start for web: Resource temporarily unavailable (os error 11)"},
        {admin::ActionFailed{"start", "b", "1"}, "start for b failed with status 1"},
        {admin::ActionFailed{"stop", "b", "signal"}, "stop for b failed with status signal"},
        {admin::ActionTimedOut{"metadata", "b", 90}, "metadata for b timed out after 90 seconds"},
        {admin::InvalidMetadata{"a", admin::kNameRule}, "invalid dependency metadata from a: " + kRule},
        {admin::InvalidNeed{"sshd", "net.lo"}, "service sshd needs \"net.lo\", which cannot be a service here: " + kRule},
        {admin::MissingNeed{"sshd", "net"}, "service sshd needs net, but net is not enabled"},
        {admin::DependencyCycle{{"a", "b"}}, "enabled script services have a dependency cycle involving: a, b"},
        {admin::WriteStatus{vesko::OsError{ENOSPC}}, "cannot write status output: No space left on device (os error 28)"},
        {admin::RefusedUnit{"a.service", "why"}, "cannot enable unit a.service: why"},
    };
    for (const auto& [error, expected] : cases) EXPECT_EQ(admin::display(error), expected);
}

}  // namespace

namespace {

// What the enabled directory may hold: links named like services, whatever they point to.
TEST(EnabledNames, LinksOnly) {
    std::string dir = (fs::temp_directory_path() / "vesko-enabled-XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    auto listing = [&] {
        auto names = admin::enabled_names(dir);
        if (!names) return "error: " + admin::display(names.error());
        std::sort(names->begin(), names->end());
        return vesko::join(*names, ", ");
    };
    EXPECT_EQ(listing(), "");
    fs::create_symlink("/nowhere", dir + "/web");
    fs::create_symlink("/etc", dir + "/a-1");
    fs::create_symlink("/x", dir + "/wg-quick@wg0.service");  // a unit's, passed over
    EXPECT_EQ(listing(), "a-1, web");
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[&] { std::ofstream(dir + "/README") << ""; }, "error: enabled service entry " + dir + "/README is not a symlink"},
        {[&] { fs::create_directory(dir + "/sub"); }, "error: enabled service entry " + dir + "/sub is not a symlink"},
        {[&] { fs::create_symlink("/x", dir + "/Web"); }, "error: invalid service name \"Web\": " + kRule},
        {[&] { fs::create_symlink("/x", dir + "/.hidden"); }, "error: invalid service name \".hidden\": " + kRule},
        {[&] { fs::create_symlink("/x", dir + "/caf\xe9"); },
         "error: invalid service name \"<non-UTF-8>\": service names must be valid UTF-8"},
    };
    for (const auto& [make, expected] : cases) {
        make();
        EXPECT_EQ(listing(), expected);
        for (const auto& entry : fs::directory_iterator(dir)) {
            std::string name = entry.path().filename();
            if (name != "web" && name != "a-1" && name != "wg-quick@wg0.service") fs::remove_all(entry.path());
        }
    }
    EXPECT_EQ(admin::enabled_names(dir + "/missing")->size(), 0u);
    fs::remove_all(dir);
}

}  // namespace
