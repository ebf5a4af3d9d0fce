// vesko-service run through the built executable, with its directories in a temporary one.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>

#include "cli_support.hpp"

namespace {

namespace fs = std::filesystem;
using cli::Outcome;
using cli::TempDir;

const std::string kUsage =
    "usage: vesko-service ACTION [and ACTION ...] SERVICE\n"
    "       vesko-service SERVICE ACTION [ACTION ...]\n";

class VeskoService : public ::testing::Test {
protected:
    void SetUp() override {
        cli::adopt_orphans();
        dir_.write("svc/web", "command=sleep\ncommand_args=30\ncommand_background=yes\nfail() { echo noise; return 4; }\n"
                                  "die() { kill -KILL $PPID; sleep 1; }\n");
        dir_.write("svc/bad-stop", "stop() { return 1; }\nstart() { echo started; }\n");
        // A package's init scripts: one with an LSB header, one without, one the service
        // directory shadows.
        const std::string lsb = "#!/bin/sh\n### BEGIN INIT INFO\n### END INIT INFO\n[ \"$1\" = start ]\n";
        dir_.write("init.d/ssh", lsb, 0755);
        dir_.write("init.d/plain", "[ \"$1\" = start ]\n", 0755);
        dir_.write("init.d/web", lsb, 0755);
        for (const char* name : {"hwclock.sh", "ssh.sh"}) dir_.write(std::string("init.d/") + name, lsb, 0755);  // NAME.sh is NAME
    }

    Outcome run(const std::vector<std::string>& args, std::string service_dir = "") const {
        cli::RunOptions options;
        options.env = {{"VESKO_SERVICE_DIR", service_dir.empty() ? dir_ / "svc" : service_dir},
                       {"VESKO_ENABLED_DIR", dir_ / "on/enabled"},
                       {"VESKO_INIT_DIR", dir_ / "init.d"},
                       {"VESKO_STATE_DIR", dir_ / "state"},
                       {"VESKO_CONF_DIR", dir_ / "conf"},
                       {"VESKO_UNIT_PATH", dir_ / "etc-units" + ":" + dir_ / "units"}};
        return cli::run_as("vesko-service", args, options);
    }

    std::string link(const std::string& name) const { return dir_ / ("on/enabled/" + name); }

    TempDir dir_;
};

void expect(const Outcome& got, const std::string& out, const std::string& err, int status) {
    EXPECT_EQ(got.out, out);
    EXPECT_EQ(got.err, err);
    EXPECT_EQ(got.status, status);
}

TEST_F(VeskoService, EnableAndDisable) {
    const std::string progress = "vesko-service enable web: one sec... ";
    expect(run({"web", "enable"}), progress + "<enabled> done.\n", "", 0);
    EXPECT_EQ(fs::read_symlink(link("web")), dir_ / "svc/web");
    // Again, and with the directory written another way: the link is the same.
    expect(run({"enable", "web"}), progress + "<enabled> done.\n", "", 0);
    expect(run({"enable", "web"}, dir_ / "svc//./"), progress + "<enabled> done.\n", "", 0);
    fs::remove(link("web"));
    fs::create_symlink("../../svc/web", link("web"));
    expect(run({"enable", "web"}), progress + "<failed>\n",
           "vesko-service: enable symlink " + link("web") + " points to ../../svc/web, expected " + dir_ / "svc/web" + "\n", 1);
    expect(run({"disable", "web"}), "vesko-service disable web: one sec... <disabled> done.\n", "", 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link("web"))));
    expect(run({"disable", "web"}), "vesko-service disable web: one sec... <disabled> done.\n", "", 0);

    for (const char* name : {"nope", "plain"}) {
        expect(run({"enable", name}), std::string("vesko-service enable ") + name + ": one sec... <failed>\n",
               std::string("vesko-service: service \"") + name + "\" does not exist in " + dir_ / "svc" + "\n", 1);
        EXPECT_FALSE(fs::exists(fs::symlink_status(link(name))));
    }
    expect(run({"ssh", "enable", "start"}), "vesko-service enable and start ssh: one sec... <started> done.\n", "", 0);
    EXPECT_EQ(fs::read_symlink(link("ssh")), dir_ / "init.d/ssh");
    expect(run({"hwclock", "enable", "start"}), "vesko-service enable and start hwclock: one sec... <started> done.\n", "", 0);
    EXPECT_EQ(fs::read_symlink(link("hwclock")), dir_ / "init.d/hwclock.sh");
    expect(run({"ssh", "stop"}), "vesko-service stop ssh: one sec... <failed>\n",
           "vesko-service: stop for ssh failed with status 1\n", 1);
    dir_.write("on/enabled/web", "a file\n");
    expect(run({"enable", "web"}), progress + "<failed>\n",
           "vesko-service: cannot enable service because " + link("web") + " is not a symlink\n", 1);
    expect(run({"disable", "web"}), "vesko-service disable web: one sec... <failed>\n",
           "vesko-service: cannot enable service because " + link("web") + " is not a symlink\n", 1);
    EXPECT_EQ(cli::read_file(link("web")), "a file\n");
    // Done all the same; what the next boot will pass over because of it is said.
    dir_.write("svc/net", "depend() { provide net; need urandom; }\n");
    dir_.write("svc/urandom", "");
    dir_.write("svc/sshd", "depend() { need net; }\n");
    expect(run({"net", "enable"}), "vesko-service enable net: one sec... <enabled> done.\n",
           "vesko-service: warning: service net needs urandom, but urandom is not enabled\n", 0);
    for (const char* name : {"urandom", "sshd"}) {
        expect(run({name, "enable"}), std::string("vesko-service enable ") + name + ": one sec... <enabled> done.\n", "", 0);
    }
    expect(run({"net", "disable"}), "vesko-service disable net: one sec... <disabled> done.\n",
           "vesko-service: warning: service sshd needs net, but net is not enabled\n", 0);
    // Without a script or a service file of that name, the unit: a template's instance too.
    dir_.write("units/caddy.service", "[Service]\nType=notify\nUser=caddy\nExecStart=/usr/bin/caddy run\n");
    dir_.write("units/wg-quick@.service", "[Service]\nType=oneshot\nExecStart=/usr/bin/wg-quick up %i\n");
    dir_.write("units/sock.service", "[Service]\nExecStart=/bin/s\nStandardInput=socket\n");
    dir_.write("units/dyn.service", "[Service]\nExecStart=/bin/d\nDynamicUser=yes\n");
    dir_.write("units/site.service", "[Service]\nExecStart=/bin/s\n");
    dir_.write("svc/site.toml", "command = ['/bin/s']\n");
    for (const char* name : {"caddy", "caddy.service", "wg-quick@wg0"}) {
        expect(run({name, "enable"}), std::string("vesko-service enable ") + name + ": one sec... <enabled> done.\n", "", 0);
    }
    EXPECT_EQ(fs::read_symlink(link("caddy.service")), dir_ / "units/caddy.service");
    EXPECT_EQ(fs::read_symlink(link("wg-quick@wg0.service")), dir_ / "units/wg-quick@.service");
    const std::pair<const char*, std::string> refused[] = {
        {"sock", "cannot enable unit sock.service: " + dir_ / "units/sock.service" +
                     ":3: StandardInput=socket needs socket activation, which is not offered"},
        {"dyn", "cannot enable unit dyn.service: DynamicUser=yes needs the user \"dyn\" in /etc/passwd: "
                "add it with \"adduser --system dyn\""},
        {"site", "service \"site\" does not exist in " + dir_ / "svc"}};
    for (const auto& [name, why] : refused) {
        expect(run({"enable", name}), std::string("vesko-service enable ") + name + ": one sec... <failed>\n",
               "vesko-service: " + why + "\n", 1);
        EXPECT_FALSE(fs::exists(fs::symlink_status(link(name + std::string(".service")))));
    }
    expect(run({"start", "wg-quick@wg0"}), "", "vesko-service: service names must begin with a lowercase letter and contain only lowercase "
           "letters, digits, and hyphens\n" + kUsage, 2);
    for (const char* name : {"caddy", "wg-quick@wg0.service"}) {
        expect(run({name, "disable"}), std::string("vesko-service disable ") + name + ": one sec... <disabled> done.\n", "", 0);
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(link("caddy.service"))));
    EXPECT_FALSE(fs::exists(fs::symlink_status(link("wg-quick@wg0.service"))));
}

TEST_F(VeskoService, ActionsRunQuietlyInOrder) {
    expect(run({"start", "web"}), "vesko-service start web: one sec... <started> done.\n", "", 0);
    expect(run({"web", "status", "restart"}), "vesko-service status and restart web: one sec... <restarted> done.\n", "", 0);
    expect(run({"web", "stop"}), "vesko-service stop web: one sec... <stopped> done.\n", "", 0);
    expect(run({"web", "status"}), "vesko-service status web: one sec... <failed>\n",
           "vesko-service: status for web failed with status 3\n", 1);
    expect(run({"web", "fail"}), "vesko-service fail web: one sec... <failed>\n",
           "vesko-service: fail for web failed with status 4\n", 1);
    expect(run({"web", "reload"}), "vesko-service reload web: one sec... <failed>\n",
           " x web does not support action reload\nvesko-service: reload for web failed with status 2\n", 1);
    expect(run({"bad-stop", "stop", "start"}), "vesko-service stop and start bad-stop: one sec... <failed>\n",
           "vesko-service: stop for bad-stop failed with status 1\n", 1);
    expect(run({"bad-stop", "start"}), "vesko-service start bad-stop: one sec... <started> done.\n", "", 0);
    // An action that kills its parent reaches the runner between, not vesko-service.
    expect(run({"web", "die"}), "vesko-service die web: one sec... <failed>\n",
           "vesko-service: die for web failed with status signal\n", 1);
}

TEST_F(VeskoService, UsageErrorsAndAnUnwritableStatus) {
    const std::pair<std::vector<std::string>, std::string> usage[] = {
        {{}, "provide at least one action and one service"},
        {{"web"}, "provide at least one action and one service"},
        {{"web", "Start"}, "actions must contain only lowercase letters, digits, hyphens, and underscores"},
        {{"start", "Web"}, "service names must begin with a lowercase letter and contain only lowercase letters, digits, and hyphens"},
        {{"start", "web", "\xff"}, "arguments must be valid UTF-8"},
    };
    for (const auto& [args, problem] : usage) expect(run(args), "", "vesko-service: " + problem + "\n" + kUsage, 2);
    cli::RunOptions full;
    full.stdout_file = "/dev/full";
    full.env = {{"VESKO_SERVICE_DIR", dir_ / "svc"}, {"VESKO_ENABLED_DIR", dir_ / "on/enabled"}};
    expect(cli::run_as("vesko-service", {"web", "enable"}, full), "",
           "vesko-service: cannot write status output: No space left on device (os error 28)\n", 1);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link("web"))));
}

// policy-rc.d under veskoinit (a listening control socket): enabled ones and stops; else invoke-rc.d's own.
TEST_F(VeskoService, PolicyRcD) {
    run({"enable", "hwclock"});
    sockaddr_un address{AF_UNIX, {}};
    (dir_ / "control").copy(address.sun_path, sizeof address.sun_path - 1);
    int listener = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) | listen(listener, 1), 0);
    const std::tuple<const char*, std::vector<std::string>, int> cases[] = {
        {"control", {"p", "hwclock.sh", "restart"}, 0}, {"control", {"p", "nginx", "start", "2"}, 101},
        // What rsyslog's rotation helper from orphan-sysvinit-scripts asks (invoke-rc.d rsyslog rotate).
        {"control", {"p", "hwclock", "rotate"}, 0},     {"control", {"p", "nginx", "rotate"}, 101},
        {"control", {"p", "nginx", "stop"}, 0},         {"control", {"p", "--quiet", "nginx"}, 103},
        {"none", {"p", "nginx", "start"}, 0},           {"none", {"p", "nginx", "(start)"}, 101}};
    for (const auto& [socket, argv, status] : cases) {
        cli::RunOptions options;
        options.env = {{"VESKO_ENABLED_DIR", dir_ / "on/enabled"}, {"VESKO_CONTROL_SOCKET", dir_ / socket}};
        EXPECT_EQ(cli::run(POLICY_RC_D, argv, options).status, status) << socket << " " << argv[1];
    }
    close(listener);
}

}  // namespace
