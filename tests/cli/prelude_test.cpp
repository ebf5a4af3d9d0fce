// The script service prelude (src/prelude.sh) run directly under dash and under BusyBox sh
// with BusyBox's utilities: every case must give the same output under both. Then vesko-run,
// which carries the same text.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <tuple>

#include "cli_support.hpp"

namespace {

using cli::Outcome;
using cli::TempDir;

std::string prelude() {
    std::ifstream in(PRELUDE_SOURCE);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

struct Shell {
    const char* title;
    std::string program;
    std::string argv0;
};

// A service named NAME with its script, configuration and state directories in a temporary
// directory, run under SHELL.
class Service {
public:
    Service(const Shell& shell, const std::string& script, const std::string& conf = "", const std::string& name = "web")
        : shell_(shell), name_(name) {
        script_ = dir_.write("svc/" + name, script);
        if (!conf.empty()) dir_.write("conf/" + name, conf);
        dir_.mkdir("conf");
        // BusyBox's own utilities for its run; the host's for dash.
        if (shell.argv0 == "sh") {
            for (const char* tool : {"printf", "cat", "kill", "sleep", "mkdir", "rm", "true", "sh"}) {
                dir_.symlink("/bin/busybox", std::string("bin/") + tool);
            }
            path_ = dir_ / "bin";
        }
    }

    Outcome run(const std::string& action, std::map<std::string, std::optional<std::string>> env = {}) const {
        cli::RunOptions options;
        options.env = {{"VESKO_CONF_DIR", dir_ / "conf"}, {"VESKO_STATE_DIR", dir_ / "state"}, {"PATH", path_},
                       {"VESKO_HELPER", VESKOINIT_BINARY}, {"VESKO_LOG_PATH", dir_ / "log"}};
        for (auto& [key, value] : env) options.env[key] = value;
        return cli::run(shell_.program, {shell_.argv0, "-c", prelude(), "vesko-run", script_, action, name_}, options);
    }

    std::string pidfile() const { return dir_ / ("state/" + name_ + ".pid"); }
    std::string path(const std::string& name) const { return dir_ / name; }
    const TempDir& dir() const { return dir_; }

private:
    TempDir dir_;
    Shell shell_;
    std::string name_;
    std::string script_;
    std::string path_ = "/usr/bin:/bin";
};

std::vector<Shell> shells() { return {{"dash", "/bin/dash", "dash"}, {"busybox sh", "/bin/busybox", "sh"}}; }

void expect(const Outcome& got, const std::string& out, const std::string& err, int status) {
    EXPECT_EQ(got.out, out);
    EXPECT_EQ(got.err, err);
    EXPECT_EQ(got.status, status);
}

class Prelude : public ::testing::Test {
protected:
    void SetUp() override { cli::adopt_orphans(); }
};

TEST_F(Prelude, HelpersAndOneShotActions) {
    const std::string helpers =
        "show() {\n"
        "  einfo a  b; ewarn w; eerror e; ebegin doing; eend 0 ignored; ebegin again; eend 1 disk full\n"
        "  eend 3; printf 'eend=%s\\n' $?\n"
        "}\n"
        "yn() {\n"
        "  for v in yes YES true TRUE on ON 1 no NO false FALSE off OFF 0 '' Yes y; do\n"
        "    yesno \"$v\"; printf '%s=%s ' \"$v\" $?\n"
        "  done\n"
        "  yesno; printf 'none=%s\\n' $?\n"
        "}\n"
        "depend() { need net log; after sshd; use; before web2; }\n";
    struct Case {
        const char* title;
        std::string script, conf, action;
        std::string out, err;
        int status;
    };
    const Case cases[] = {
        {"messages", helpers, "", "show", " * a b\ndoing... <done>\nagain... <failed> disk full\n<failed>\neend=3\n",
         " ! w\n x e\n", 0},
        {"yes and no", helpers, "", "yn",
         "yes=0 YES=0 true=0 TRUE=0 on=0 ON=0 1=0 no=1 NO=1 false=1 FALSE=1 off=1 OFF=1 0=1 =1 Yes=2 y=2 none=1\n",
         " x invalid yes/no value: Yes\n x invalid yes/no value: y\n", 0},
        {"metadata in call order", helpers, "", "metadata",
         "description:web\nneed:net\nneed:log\nafter:sshd\nbefore:web2\n", "", 0},
        {"metadata without depend", "command=/bin/true\n", "", "metadata", "description:web\n", "", 0},
        // OpenRC's helpers: want orders like use, keyword and config do nothing, provide may end
        // depend, and SVCNAME is the service's name.
        {"OpenRC's depend helpers",
         "depend() { want log; keyword -docker; need net; config /etc/x; [ \"$SVCNAME\" = web ] && use sshd; provide dns; }\n",
         "", "metadata", "description:web\nuse:log\nneed:net\nuse:sshd\nprovide:dns\n", "", 0},
        {"configuration first, the script after it", "echo script; description=\"from script\"\n",
         "echo conf; description=\"from conf\"; command_args=x\n", "metadata",
         "conf\nscript\ndescription:from script\n", "", 0},
        {"the configuration's value stays", "echo script\n", "description=\"from conf\"\n", "metadata",
         "script\ndescription:from conf\n", "", 0},
        {"a failing depend", "depend() { need a; return 7; }\n", "", "metadata", "description:web\nneed:a\n", "", 7},
        {"a failing script", "echo partly; return 5\n", "", "status", "partly\n", "", 5},
        {"unsupported action", "", "", "frob", "", " x web does not support action frob\n", 2},
        {"a program on PATH", "", "", "true", "", "", 0},
        {"no command", "", "", "start", "", " x web does not define command\n", 1},
        {"a required file missing", "command=/bin/true\nrequired_files=\"/ /no/such/file /etc\"\n", "", "start", "",
         " x required file does not exist: /no/such/file\n", 1},
        {"an invalid yes/no value", "command=/bin/true\ncommand_background=maybe\n", "", "start", "",
         " x invalid yes/no value: maybe\n", 2},
        {"a one-shot in the foreground", "command=/bin/sh\ncommand_args=\"-c true\"\nservice_type=oneshot\n", "",
         "start", "", "", 0},
        {"a failing foreground command", "command=/bin/false\n", "", "start", "", "", 1},
        {"a failing stop ends restart", "stop() { echo stopping; return 4; }\nstart() { echo started; }\n", "",
         "restart", "stopping\n", "", 4},
        {"start functions in order", "start_pre() { echo pre; }\nstart() { echo start; }\nstart_post() { echo post; return 9; }\n",
         "", "start", "pre\nstart\npost\n", "", 9},
        {"nothing to stop", "command=/bin/true\n", "", "stop", " * web is not running\n", "", 0},
        {"an unsupported supervisor", "command=/bin/true\nsupervisor=s6\n", "", "start", "",
         " x web uses supervisor s6, which is not supported\n", 1},
        {"an unknown command_user", "command=/bin/true\ncommand_user=nosuchuser:x\ncommand_background=yes\n", "", "start",
         "", "vesko-run: command_user: unknown user \"nosuchuser\"\n", 1},
        {"status when stopped", "command=/bin/true\n", "", "status", " * web is stopped\n", "", 3},
        // Questions about web itself and from dns back to web read no script again (runs counted).
        {"no script is read again for a question",
         "VESKO_SERVICE_DIR=${service_script%/*}; r=$VESKO_CONF_DIR/runs\nprintf 'VESKO_SERVICE_DIR=%s\\nprintf d >>%s\\n"
         "service_started web\\n' \"$VESKO_SERVICE_DIR\" \"$r\" >\"$VESKO_SERVICE_DIR/dns\"\nprintf w >>\"$r\"; runs=$(cat \"$r\")\n"
         "if [ ${#runs} -lt 9 ]; then service_started; service_stopped web; a=$?; service_stopped dns; b=$?; fi\n"
         "depend() { echo \"$(cat \"$r\") $a $b\"; }\n", "", "metadata", "description:web\nwd 0 0\n", "", 0},
    };
    for (const Shell& shell : shells()) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(shell.title) + ": " + c.title);
            Service service(shell, c.script, c.conf);
            expect(service.run(c.action), c.out, c.err, c.status);
        }
    }
}

// Pid files that name no live process: stop removes them quietly, status reports stopped.
// (Those naming process 0 or 1 are tried in a namespace: tests/ns/pid1_ns_test.cpp.)
TEST_F(Prelude, StalePidFiles) {
    for (const Shell& shell : shells()) {
        for (const char* content : {"letters\n", "", "2147483647\n", "12 34\n", "-5\n"}) {
            SCOPED_TRACE(std::string(shell.title) + ": " + content);
            Service service(shell, "command=/bin/true\n");
            service.dir().write("state/web.pid", content);
            expect(service.run("status"), " * web is stopped\n", "", 3);
            EXPECT_TRUE(std::filesystem::exists(service.pidfile()));  // status leaves it
            expect(service.run("stop"), " * web is not running\n", "", 0);
            EXPECT_FALSE(std::filesystem::exists(service.pidfile()));
        }
        Service service(shell, "command=/bin/true\n");  // a link, even to a live process's pid, is not followed
        service.dir().symlink(service.dir().write("live.pid", std::to_string(getpid()) + "\n"), "state/web.pid");
        expect(service.run("status"), " * web is stopped\n", "", 3);
    }
}

// In the background by command_background or because supervise-daemon would keep it in the
// foreground; as root, also as command_user: the daemon leads a session of its own with every
// signal at its default, input from /dev/null and output in the log, or for a service user in
// the files the script names (opened as that user) or /dev/null, never the log, and its pid
// file names only that user's processes. The pid file is a new file: a link planted in its
// place is replaced, not followed.
TEST_F(Prelude, DefaultStartAndStopWithABackgroundCommand) {
    // The script, and where descriptors 1 and 2 point (relative to the directory).
    using Case = std::tuple<std::string, std::string, std::string>;
    std::vector<Case> cases = {{"command=DIR/daemon\ncommand_background=yes\n", "log", "log"},
                               {"command=sleep\ncommand_args=30\nsupervisor=supervise-daemon\n", "log", "log"},
                               {"command=sleep\ncommand_args=30\ncommand_background=yes\noutput_log=DIR/mine\n", "mine", "mine"}};
    const std::string as_nobody = "command=/bin/sleep\ncommand_args=30\nsupervisor=supervise-daemon\ncommand_user=nobody\n";
    if (geteuid() == 0) cases.push_back({as_nobody, "/dev/null", "/dev/null"});
    if (geteuid() == 0) cases.push_back({as_nobody + "output_log=DIR/logs/out\nerror_log=DIR/logs/err\n", "logs/out", "logs/err"});
    cli::Background root_process("/bin/sleep", {"sleep", "30"});
    for (const Shell& shell : shells()) {
        for (const auto& [script, out, err] : cases) {
            SCOPED_TRACE(std::string(shell.title) + ": " + script);
            Service service(shell, "");
            service.dir().write("daemon", "#!/bin/sh\necho out\nexec sleep 30\n", 0755);
            service.dir().write("log", "");  // process 1's, which it made at boot
            service.dir().write("victim", "root's\n");
            service.dir().mkdir("state");
            service.dir().symlink(service.path("victim"), "state/web.pid");
            ASSERT_EQ(chown(service.dir().mkdir("logs").c_str(), 65534, 65534), 0);
            // OpenRC's state questions: started, stopped, the three never true, a name no service has.
            const std::string probe =
                "probe() { VESKO_SERVICE_DIR=${service_script%/*}; service_started web; a=$?; service_stopped; b=$?\n"
                "  service_starting web || service_stopping web || service_inactive web; c=$?\n"
                "  service_started ../web; d=$?; service_stopped nosuch; echo $a $b $c $d $?; }\n";
            service.dir().write("svc/web", std::regex_replace(script, std::regex("DIR"), service.path("")) + probe);
            expect(service.run("start"), "", "", 0);
            EXPECT_EQ(cli::read_file(service.path("victim")), "root's\n");
            std::string pid = cli::read_file(service.pidfile());
            ASSERT_FALSE(pid.empty());
            EXPECT_EQ(pid.back(), '\n');
            EXPECT_EQ(kill(std::stoi(pid), 0), 0);
            std::string id = pid.substr(0, pid.size() - 1);
            std::string status = cli::read_file("/proc/" + id + "/status");
            EXPECT_NE(status.find("\nSigIgn:\t0000000000000000\n"), std::string::npos) << status;
            EXPECT_EQ(std::to_string(getsid(std::stoi(id))), id);
            // Nothing of the caller's (a terminal, a pipe): /dev/null, then the output's files.
            // Looked at once sleep sleeps: the daemon script has written its line and executed
            // it, and the dynamic loader has closed the libraries it opened.
            auto asleep = [](const std::string& id) {
                for (int i = 0; i < 6000 && !id.empty() &&
                                (cli::read_file("/proc/" + id + "/comm") != "sleep\n" ||
                                 cli::read_file("/proc/" + id + "/status").find("\nState:\tS") ==
                                     std::string::npos);
                     ++i) {
                    usleep(10000);
                }
            };
            asleep(id);
            std::string fds = "/proc/" + id + "/fd/";
            auto place = [&](const std::string& to) { return to[0] == '/' ? to : service.path(to); };
            EXPECT_EQ(std::filesystem::read_symlink(fds + "0"), "/dev/null");
            EXPECT_EQ(std::filesystem::read_symlink(fds + "1"), place(out));
            EXPECT_EQ(std::filesystem::read_symlink(fds + "2"), place(err));
            EXPECT_FALSE(std::filesystem::exists(fds + "3"));
            if (script.find("nobody") != std::string::npos) {
                for (const char* ids : {"\nUid:\t65534\t65534\t65534\t65534\n", "\nGid:\t65534\t65534\t65534\t65534\n",
                                        "\nGroups:\t65534 \n"}) {
                    EXPECT_NE(status.find(ids), std::string::npos) << ids << status;
                }
                struct stat info;
                EXPECT_TRUE(out[0] == '/' || (stat(place(out).c_str(), &info) == 0 && info.st_uid == 65534));
            }
            expect(service.run("status"), " * web is running (pid " + id + ")\n", "", 0);
            expect(service.run("probe"), "0 1 1 100 1\n", "", 0);
            expect(service.run("start"), " * web is already running\n", "", 0);
            Outcome restarted = service.run("restart");
            expect(restarted, "", "", 0);
            std::string again = cli::read_file(service.pidfile());
            EXPECT_NE(again, pid);
            asleep(again.substr(0, again.size() - 1));  // a stop before its line would lose it
            expect(service.run("stop"), "", "", 0);
            expect(service.run("probe"), "3 0 1 100 1\n", "", 0);
            EXPECT_FALSE(std::filesystem::exists(service.pidfile()));
            EXPECT_NE(kill(std::stoi(again), 0), 0);
            if (script.find("command=DIR") == 0) {
                EXPECT_EQ(cli::read_file(service.path("log")), "out\nout\n");  // from start and restart
            }
            // A pid file that a service user can write names only that user's processes.
            if (script.find("nobody") == std::string::npos) continue;
            service.dir().write("state/web.pid", std::to_string(root_process.pid()) + "\n");
            expect(service.run("status"), " * web is stopped\n", "", 3);
            expect(service.run("stop"), " * web is not running\n", "", 0);
            EXPECT_EQ(kill(root_process.pid(), 0), 0);
        }
    }
}

// checkpath creates, empties and truncates, sets modes and owners, and refuses a link.
TEST_F(Prelude, Checkpath) {
    for (const Shell& shell : shells()) {
        SCOPED_TRACE(shell.title);
        Service service(shell, "");
        namespace fs = std::filesystem;
        std::string d = service.path("d"), f = service.path("f"), link = service.path("link");
        service.dir().write("d/old", "x");
        service.dir().write("f", "content");
        service.dir().write("target", "");
        fs::create_symlink(service.path("target"), link);
        service.dir().write("svc/web", "mk() { checkpath -D -m 0700 " + d + " " + service.path("new/") +
                                           " && checkpath -F -q -m 0600 " + f + "; }\nbad() { checkpath -f -m 0600 " +
                                           link + "; }\n");
        expect(service.run("mk"), "", "", 0);
        EXPECT_EQ(fs::status(d).permissions(), fs::perms(0700));
        EXPECT_FALSE(fs::exists(d + "/old"));
        EXPECT_TRUE(fs::is_directory(service.path("new")));
        EXPECT_EQ(fs::file_size(f), 0u);
        EXPECT_EQ(fs::status(f).permissions(), fs::perms(0600));
        expect(service.run("bad"), "", "vesko-run: checkpath: " + link + " is a symbolic link; it is left as it is\n", 1);
        EXPECT_NE(fs::status(service.path("target")).permissions(), fs::perms(0600));
    }
}

// As root for a service user who owns a directory on the way: a link above the path is
// followed only when root owns it and the directory that holds it, and a file with a second
// name (perhaps root's) is never changed. Refused paths leave everything as it was.
TEST(Checkpath, LinksAboveAndHardLinks) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to own and give away files";
    const std::string refused = " is a symbolic link that is not root's, or in a directory that is not root's\n";
    const std::tuple<std::vector<std::string>, std::string, const char*> cases[] = {
        {{"-d", "-m", "0777", "-o", "nobody", "user/sub/etc"}, "refusing user/sub/etc: user/sub" + refused, nullptr},
        {{"-D", "user/sub/etc"}, "refusing user/sub/etc: user/sub" + refused, nullptr},
        {{"-d", "-o", "nobody", "user/rootlink/etc"}, "refusing user/rootlink/etc: user/rootlink" + refused, nullptr},
        {{"-F", "-o", "nobody", "user/app.pid"}, "user/app.pid has more than one link; it is left as it is\n", nullptr},
        {{"-d", "-o", "nobody", "varrun/app"}, "", "run/app"},
        {{"-f", "-o", "nobody", "varrun/../run/./file"}, "", "run/file"},
        {{"-d", "no/such"}, "cannot reach no: No such file or directory (os error 2)\n", nullptr},
    };
    for (const auto& [args, err, changed] : cases) {
        SCOPED_TRACE(args.back());
        TempDir dir;
        dir.write("sensitive/etc/keep", "root's\n");
        ASSERT_EQ(chown(dir.mkdir("user").c_str(), 65534, 65534), 0);
        ASSERT_EQ(lchown(dir.symlink("../sensitive", "user/sub").c_str(), 65534, 65534), 0);
        dir.symlink("../sensitive", "user/rootlink");
        dir.symlink(dir.mkdir("run"), "varrun");
        ASSERT_EQ(link(dir.write("secret", "root's\n").c_str(), (dir / "user/app.pid").c_str()), 0);
        cli::RunOptions options;
        options.cwd = dir.path();
        std::vector<std::string> argv{"veskoinit", "--vesko-checkpath"};
        argv.insert(argv.end(), args.begin(), args.end());
        expect(cli::run(VESKOINIT_BINARY, argv, options), "", err.empty() ? "" : "vesko-run: checkpath: " + err, !err.empty());
        auto owner = [&](const std::string& path) {
            struct stat info {};
            return stat((dir / path).c_str(), &info) == 0 ? info.st_uid : ~0u;
        };
        EXPECT_EQ(owner("sensitive/etc") + owner("secret"), 0u);
        EXPECT_EQ(changed != nullptr ? owner(changed) : 65534u, 65534u);
        EXPECT_EQ(std::filesystem::status(dir / "sensitive/etc").permissions(), std::filesystem::perms(0755));
        EXPECT_EQ(cli::read_file(dir / "sensitive/etc/keep") + cli::read_file(dir / "secret"), "root's\nroot's\n");
    }
}

// A program that forks and writes its own pid file: start waits for it, within start_timeout.
TEST_F(Prelude, ForkingCommandsAndTimeouts) {
    for (const Shell& shell : shells()) {
        SCOPED_TRACE(shell.title);
        Service service(shell, "");
        std::string forker = service.dir().write(
            "forker", "#!/bin/sh\n(sleep 1; sleep 30 & echo $! > \"$1\") >/dev/null 2>&1 &\n", 0755);
        std::string silent = service.dir().write("silent", "#!/bin/sh\nexit 0\n", 0755);
        std::string stubborn = service.dir().write("stubborn", "#!/bin/sh\ntrap '' TERM\nwhile :; do sleep 1; done\n", 0755);
        std::string own = service.path("state/own.pid");
        service.dir().write("svc/web", "pidfile=" + own + "\ncommand=" + forker + "\ncommand_args=" + own + "\n");
        expect(service.run("start", {{"VESKO_START_TIMEOUT", "5"}}), "", "", 0);
        expect(service.run("stop"), "", "", 0);

        service.dir().write("svc/web", "command=" + silent + "\n");
        expect(service.run("start", {{"VESKO_START_TIMEOUT", "1"}}), "", "", 1);

        service.dir().write("svc/web", "command=" + stubborn + "\ncommand_background=yes\n");
        expect(service.run("start"), "", "", 0);
        std::string pid = cli::read_file(service.pidfile());
        expect(service.run("stop", {{"VESKO_STOP_TIMEOUT", "1"}}), "", " x web did not stop within 1s\n", 1);
        EXPECT_TRUE(std::filesystem::exists(service.pidfile()));
        kill(std::stoi(pid), SIGKILL);
    }
}

TEST(VeskoRun, CommandLineAndPassThrough) {
    TempDir dir;
    std::string script = dir.write("svc/web.sh", "frob() { echo \"$RC_SVCNAME $RC_CMD $RC_RUNLEVEL\"; return 3; }\n"
                                                 "die() { kill -9 $$; }\nconf() { printf '[%s]\\n' \"$VESKO_CONF_DIR\"; }\n");
    const std::string usage = "vesko-run: usage: vesko-run SERVICE_SCRIPT ACTION\n";
    // An init script with an LSB header runs as a program, the action its argument (through
    // /bin/sh when it is not executable); its metadata comes from the header.
    const std::string init_script = "#!/bin/sh\n### BEGIN INIT INFO\n# Provides: ssh\n# Required-Start: $time\n"
                                    "# Short-Description: secure shell\n### END INIT INFO\n"
                                    "case $1 in start) echo \"start of $0 $RC_SVCNAME\";; *) echo \"Usage: $0 start\"; exit 3;; esac\n";
    std::string lsb = dir.write("svc/ssh", init_script, 0755), plain = dir.write("svc/plain", init_script);
    struct Case {
        std::vector<std::string> args;
        std::map<std::string, std::optional<std::string>> env;
        std::string out, err;
        int status;
    };
    const Case cases[] = {
        {{}, {}, "", usage, 2},
        {{script}, {}, "", usage, 2},
        {{script, "a", "b"}, {}, "", "vesko-run: only one action may be run at a time\n", 2},
        {{"", "start"}, {}, "", "vesko-run: service filename must be valid UTF-8\n", 2},
        {{"/", "start"}, {}, "", "vesko-run: service filename must be valid UTF-8\n", 2},
        {{"x/..", "start"}, {}, "", "vesko-run: service filename must be valid UTF-8\n", 2},
        {{dir / "\xff", "start"}, {}, "", "vesko-run: service filename must be valid UTF-8\n", 2},
        {{script, "frob"}, {{"RC_RUNLEVEL", std::nullopt}}, "web.sh frob default\n", "", 3},
        {{script + "/", "frob"}, {{"RC_RUNLEVEL", "single"}}, "", "", 2},  // not a directory: the shell's own
        {{script, "die"}, {}, "", "", 1},
        {{script, "conf"}, {{"VESKO_CONF_DIR", ""}}, "[]\n", "", 0},
        {{script, "conf"}, {{"VESKO_CONF_DIR", std::nullopt}}, "[/etc/veskoinit/conf.d]\n", "", 0},
        {{script, "Frob me"}, {}, "", " x web.sh does not support action Frob me\n", 2},
        {{lsb, "metadata"}, {}, "description:secure shell\nprovide:ssh\nuse:time\nuse:hwclock\nuse:ntp\nuse:ntpsec\n"
                                "use:chrony\nuse:openntpd\n", "", 0},
        {{lsb, "start"}, {}, "start of " + lsb + " \n", "", 0},
        {{lsb, "frob"}, {}, "Usage: " + lsb + " start\n", "", 3},
        {{plain, "start"}, {}, "start of " + plain + " \n", "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "(none)" : c.args.back());
        cli::RunOptions options;
        options.env = c.env;
        Outcome got = cli::run_as("vesko-run", c.args, options);
        if (c.args.size() == 2 && c.args[0] == script + "/") {
            EXPECT_NE(got.status, 0);  // what the dot command does with it is the shell's
            continue;
        }
        expect(got, c.out, c.err, c.status);
        // The same through the init personality's --vesko-run.
        std::vector<std::string> through{"--vesko-run"};
        through.insert(through.end(), c.args.begin(), c.args.end());
        expect(cli::run_as("veskoinit", through, options), c.out, c.err, c.status);
    }
}

}  // namespace
