// The Supervisor with real children. The test process marks itself a child subreaper, so
// orphans come back to it as they would to process 1.
#include "supervisor.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/close_range.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "process_support.hpp"
#include "spawn.hpp"

namespace {

namespace fs = std::filesystem;
using service::RestartPolicy;
using supervisor::Supervisor;

// Replaces process ids in the progress lines by N, so that whole logs compare exactly.
std::string without_pids(const std::string& text) {
    std::string out;
    size_t at = 0;
    while (at < text.size()) {
        size_t pid = std::string::npos;
        for (const char* marker : {"pid ", "adopted child "}) {
            size_t found = text.find(marker, at);
            if (found != std::string::npos && (pid == std::string::npos || found < pid)) {
                pid = found + std::char_traits<char>::length(marker);
            }
        }
        if (pid == std::string::npos) break;
        size_t end = text.find_first_not_of("0123456789", pid);
        out.append(text, at, pid - at);
        if (end != pid) out += 'N';
        at = end == std::string::npos ? text.size() : end;
    }
    if (at < text.size()) out.append(text, at);
    return out;
}

class SupervisorTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        // Start from the dispositions process 1 has: everything default but SIGPIPE.
        for (int sig = 1; sig < 32; ++sig) {
            if (sig != SIGKILL && sig != SIGSTOP) signal(sig, SIG_DFL);
        }
        signal(SIGPIPE, SIG_IGN);
        syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC);
    }

    void SetUp() override {
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        char pattern[] = "/tmp/vesko-supervisor-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }

    void TearDown() override {
        process::kill_children();
        fs::remove_all(dir_);
    }

    void add(const std::string& name, std::vector<std::string> command,
             RestartPolicy restart = RestartPolicy::Never) {
        service::Service s;
        s.name = name;
        s.command = std::move(command);
        s.restart = restart;
        s.origin = dir_ + "/" + name + ".toml";
        catalog_.services[name] = s;
        catalog_.start_order.push_back(name);
    }

    // Reaps until the captured output holds LINES lines.
    testing::AssertionResult reap_until_lines(Supervisor& supervisor, size_t lines) {
        bool ok = process::eventually(
            [&] {
                std::string text = err_.text();
                return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) >= lines;
            },
            5000, [&] {
                auto reaped = supervisor.reap_exited();
                ASSERT_TRUE(reaped.ok());
                orphans_ += *reaped;
            });
        if (ok) return testing::AssertionSuccess();
        return testing::AssertionFailure() << "only got:\n" << err_.text();
    }

    std::string script(const std::string& name, const std::string& body) {
        std::string path = dir_ + "/" + name;
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        fs::permissions(path, fs::perms(0755));
        return path;
    }

    std::string dir_;
    size_t orphans_ = 0;  // the adopted children that reap_until_lines has reaped
    service::Catalog catalog_;
    process::CapturedStderr err_;
};

TEST_F(SupervisorTest, RestartPolicies) {
    const std::string marker = dir_ + "/ran";
    // The first run does FIRST; later runs do LATER.
    auto twice = [&](const std::string& first, const std::string& later) {
        return "[ -e " + marker + " ] && " + later + "; touch " + marker + "; " + first;
    };
    struct Case {
        const char* title;
        RestartPolicy policy;
        std::string body;
        size_t lines;
        std::string expected;
        service::Settings settings = {};
    };
    service::Settings exit_3_succeeds, before_fails, after_fails;
    exit_3_succeeds.success_exit_codes = {3};
    before_fails.before_start = {{"/bin/sh", "-c", "exit 0"}, {"/bin/sh", "-c", "exit 2"}};
    after_fails.after_start = {{"/bin/sh", "-c", "exit 4"}};
    const Case cases[] = {
        {"never, clean exit", RestartPolicy::Never, "exit 0", 2,
         "veskoinit: started service s as pid N\nveskoinit: service s exited (exited with status 0)\n"},
        {"never, failure", RestartPolicy::Never, "exit 3", 2,
         "veskoinit: started service s as pid N\nveskoinit: service s exited (exited with status 3)\n"},
        {"on-failure, clean exit", RestartPolicy::OnFailure, "exit 0", 2,
         "veskoinit: started service s as pid N\nveskoinit: service s exited (exited with status 0)\n"},
        {"on-failure, failure then clean exit", RestartPolicy::OnFailure, twice("exit 3", "exit 0"), 5,
         "veskoinit: started service s as pid N\n"
         "veskoinit: service s exited (exited with status 3)\n"
         "veskoinit: restarting service s after exited with status 3\n"
         "veskoinit: started service s as pid N\n"
         "veskoinit: service s exited (exited with status 0)\n"},
        {"always, clean exit", RestartPolicy::Always, twice("exit 0", "exec sleep 30"), 4,
         "veskoinit: started service s as pid N\n"
         "veskoinit: service s exited (exited with status 0)\n"
         "veskoinit: restarting service s after clean exit\n"
         "veskoinit: started service s as pid N\n"},
        {"always, failure", RestartPolicy::Always, twice("exit 9", "exec sleep 30"), 4,
         "veskoinit: started service s as pid N\n"
         "veskoinit: service s exited (exited with status 9)\n"
         "veskoinit: restarting service s after exited with status 9\n"
         "veskoinit: started service s as pid N\n"},
        {"on-failure, a status that counts as success", RestartPolicy::OnFailure, "exit 3", 2,
         "veskoinit: started service s as pid N\nveskoinit: service s exited (exited with status 3)\n", exit_3_succeeds},
        {"a command before the start fails", RestartPolicy::Always, "exec sleep 30", 2,
         "veskoinit: before-start command of service s exited with status 2\n"
         "veskoinit: warning: service s failed to start: its before-start command exited with status 2\n",
         before_fails},
        {"a command after the start fails", RestartPolicy::Always, "exec sleep 30", 5,
         "veskoinit: started service s as pid N\n"
         "veskoinit: after-start command of service s exited with status 4\n"
         "veskoinit: warning: service s failed to start: its after-start command exited with status 4\n"
         "veskoinit: stopping service s: its start failed\n"
         "veskoinit: service s exited (killed by signal 15)\n",
         after_fails},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        fs::remove(marker);
        catalog_ = {};
        add("s", {script("s.sh", c.body)}, c.policy);
        catalog_.services["s"].settings = c.settings;
        process::CapturedStderr err;
        Supervisor supervisor = Supervisor::start_all(catalog_);
        auto lines = [&] {
            std::string text = err.text();
            return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
        };
        ASSERT_TRUE(process::eventually([&] { return lines() >= c.lines; }, 5000,
                                        [&] { ASSERT_TRUE(supervisor.reap_exited().ok()); }));
        usleep(100000);  // nothing more comes
        ASSERT_TRUE(supervisor.reap_exited().ok());
        EXPECT_EQ(without_pids(err.text()), c.expected);
        ASSERT_TRUE(supervisor.stop_all().ok());
    }
}

TEST_F(SupervisorTest, OnFailureRestartsAServiceKilledBySignal9) {
    add("sleeper", {"/bin/sleep", "30"}, RestartPolicy::OnFailure);
    Supervisor supervisor = Supervisor::start_all(catalog_);
    ASSERT_EQ(supervisor.running().size(), 1u);
    pid_t first = supervisor.running().begin()->first;
    ASSERT_EQ(kill(first, SIGKILL), 0);
    ASSERT_TRUE(reap_until_lines(supervisor, 4));
    ASSERT_EQ(supervisor.running().size(), 1u);
    pid_t second = supervisor.running().begin()->first;
    EXPECT_NE(first, second);
    EXPECT_EQ(err_.text(),
              "veskoinit: started service sleeper as pid " + std::to_string(first) + "\n" +
                  "veskoinit: service sleeper exited (killed by signal 9)\n" +
                  "veskoinit: restarting service sleeper after killed by signal 9\n" +
                  "veskoinit: started service sleeper as pid " + std::to_string(second) + "\n");
    ASSERT_TRUE(supervisor.stop_all().ok());
    EXPECT_TRUE(supervisor.running().empty());
}

TEST_F(SupervisorTest, RestartOfARemovedProgramFailsWithSpawn) {
    std::string program = dir_ + "/prog";
    fs::copy_file("/bin/true", program);
    add("gone", {program}, RestartPolicy::Always);
    Supervisor supervisor = Supervisor::start_all(catalog_);
    fs::remove(program);
    std::optional<supervisor::Error> failure;
    ASSERT_TRUE(process::eventually([&] { return failure.has_value(); }, 5000, [&] {
        auto reaped = supervisor.reap_exited();
        if (!reaped) failure = reaped.error();
    }));
    EXPECT_EQ(supervisor::display(*failure), "cannot start service \"gone\" using \"" + program +
                                      "\": No such file or directory (os error 2)");
    EXPECT_EQ(without_pids(err_.text()),
              "veskoinit: started service gone as pid N\n"
              "veskoinit: service gone exited (exited with status 0)\n"
              "veskoinit: restarting service gone after clean exit\n");
    EXPECT_TRUE(supervisor.running().empty());
}

TEST_F(SupervisorTest, StartFailuresAreSynchronousAndPassOverTheFailingService) {
    std::string not_executable = dir_ + "/plain";
    std::ofstream(not_executable) << "#!/bin/sh\n";
    std::string not_loadable = dir_ + "/garbage";
    std::ofstream(not_loadable) << "\x7f" "ELF this is no program";
    fs::permissions(not_loadable, fs::perms(0755));
    struct Case {
        std::string program, error;
    };
    const Case cases[] = {
        {dir_ + "/missing", "No such file or directory (os error 2)"},
        {not_executable, "Permission denied (os error 13)"},
        {not_loadable, "Exec format error (os error 8)"},
        {dir_, "Permission denied (os error 13)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.program);
        catalog_ = {};
        add("first", {"/bin/sleep", "30"});
        add("broken", {c.program, "arg"});
        add("needs-it", {"/bin/sleep", "30"});
        catalog_.services["needs-it"].requires_ = {"broken"};
        add("later", {"/bin/sleep", "30"});
        process::CapturedStderr err;
        Supervisor supervisor = Supervisor::start_all(catalog_);
        // The others start; what requires the broken one is passed over with it.
        const std::string why = "cannot start service \"broken\" using \"" + c.program + "\": " + c.error;
        EXPECT_EQ(without_pids(err.text()),
                  "veskoinit: started service first as pid N\n"
                  "veskoinit: warning: passing over service broken: " + why + "\n"
                  "veskoinit: warning: passing over service needs-it: service \"needs-it\" requires \"broken\", "
                  "which was passed over\n"
                  "veskoinit: started service later as pid N\n");
        EXPECT_EQ(supervisor.records().at("broken").why, why);
        EXPECT_EQ(supervisor.records().at("needs-it").state, supervisor::State::Failed);
        EXPECT_EQ(supervisor.running().size(), 2u);
        ASSERT_TRUE(supervisor.stop_all().ok());
    }
}

TEST_F(SupervisorTest, OrphansAreReapedAndReported) {
    Supervisor supervisor(catalog_);
    std::string pid_file = dir_ + "/orphan.pid";
    auto parent = vesko::spawn(
        {"/bin/sh", "-c", "sh -c 'sleep 0.2; exit 2' & echo $! > " + pid_file + "; exit 0"});
    ASSERT_TRUE(parent.ok());
    ASSERT_TRUE(reap_until_lines(supervisor, 2));
    pid_t orphan = std::stoi(process::slurp(pid_file));
    EXPECT_EQ(err_.text(), "veskoinit: reaped adopted child " + std::to_string(*parent) +
                               " (exited with status 0)\n" + "veskoinit: reaped adopted child " +
                               std::to_string(orphan) + " (exited with status 2)\n");
    EXPECT_EQ(orphans_, 2u);
}

TEST_F(SupervisorTest, StopAllStopsInReverseStartOrderAndReapsOrphansMeanwhile) {
    add("a", {"/bin/sleep", "30"});
    add("b", {"/bin/sh", "-c", "trap 'sleep 0.3; exit 5' TERM; sleep 30 & wait"});
    add("c", {"/bin/sleep", "30"});
    Supervisor supervisor = Supervisor::start_all(catalog_);
    usleep(200000);  // let b's shell install its trap
    ASSERT_TRUE(supervisor.stop_all().ok());
    EXPECT_TRUE(supervisor.running().empty());
    // b's shell leaves its sleep behind; it is reaped when it ends, as an orphan.
    std::string text = without_pids(err_.text());
    EXPECT_EQ(text,
              "veskoinit: started service a as pid N\n"
              "veskoinit: started service b as pid N\n"
              "veskoinit: started service c as pid N\n"
              "veskoinit: stopped service c (killed by signal 15)\n"
              "veskoinit: stopped service b (exited with status 5)\n"
              "veskoinit: stopped service a (killed by signal 15)\n");
}

TEST_F(SupervisorTest, StopAllReapsOrphansDuringShutdown) {
    add("a", {"/bin/sh", "-c", "trap 'sleep 0.3; exit 0' TERM; while :; do sleep 0.05; done"});
    Supervisor supervisor = Supervisor::start_all(catalog_);
    auto orphan_parent = vesko::spawn({"/bin/sh", "-c", "sleep 0.1 & exit 0"});
    ASSERT_TRUE(orphan_parent.ok());
    usleep(50000);
    ASSERT_TRUE(supervisor.stop_all().ok());
    std::string text = without_pids(err_.text());
    EXPECT_NE(text.find("veskoinit: reaped adopted child N during shutdown (exited with status 0)\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("veskoinit: stopped service a (exited with status 0)\n"), std::string::npos)
        << text;
}

TEST_F(SupervisorTest, AServiceThatIgnoresSigtermIsKilledAfterTenSeconds) {
    add("stubborn", {"/bin/sh", "-c", "trap '' TERM; exec /bin/sleep 60"});
    Supervisor supervisor = Supervisor::start_all(catalog_);
    usleep(100000);
    auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(supervisor.stop_all().ok());
    auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_GE(waited, std::chrono::seconds(10));
    EXPECT_EQ(without_pids(err_.text()),
              "veskoinit: started service stubborn as pid N\n"
              "veskoinit: service stubborn did not stop within 10 seconds; sending SIGKILL\n"
              "veskoinit: stopped service stubborn (killed by signal 9)\n");
}

TEST_F(SupervisorTest, AZombieAtStopTimeIsReportedWithItsRealStatus) {
    add("z", {"/bin/sh", "-c", "exit 4"});
    Supervisor supervisor = Supervisor::start_all(catalog_);
    pid_t pid = supervisor.running().begin()->first;
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, pid, &info, WEXITED | WNOWAIT), 0);  // ended, not reaped
    ASSERT_TRUE(supervisor.stop_all().ok());
    EXPECT_EQ(without_pids(err_.text()),
              "veskoinit: started service z as pid N\n"
              "veskoinit: stopped service z (exited with status 4)\n");
}

TEST_F(SupervisorTest, StopAllWithNothingRunningSendsNothing) {
    add("a", {"/bin/true"});
    Supervisor supervisor(catalog_);
    ASSERT_TRUE(supervisor.stop_all().ok());
    EXPECT_EQ(err_.text(), "");
    auto reaped = supervisor.reap_exited();  // no children at all
    EXPECT_TRUE(reaped.ok());
}

std::string status_field(const std::string& status, const std::string& field) {
    std::istringstream lines(status);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(field + ":", 0) == 0) return line.substr(line.find_first_not_of(" \t", field.size() + 1));
    }
    return "?";
}

// Before Linux 5.11 close_range refuses CLOSE_RANGE_CLOEXEC (EINVAL): a stray descriptor must
// stay out of the child all the same. The refusal is made with a seccomp filter, in a process
// of the test's own that starts the child and reports whether the child saw the descriptor.
TEST_F(SupervisorTest, AStrayDescriptorStaysOutWhereCloseRangeCannotMarkIt) {
    pid_t tester = fork();
    ASSERT_GE(tester, 0);
    if (tester == 0) {
        sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_close_range, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EINVAL),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0 ||
            syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) == 0) {
            _exit(3);
        }
        int stray = open("/dev/null", O_RDONLY);
        auto child = vesko::spawn({"/bin/sh", "-c", "[ ! -e /proc/$$/fd/" + std::to_string(stray) + " ]"});
        int status = 0;
        _exit(child && waitpid(*child, &status, 0) == *child && WIFEXITED(status) ? WEXITSTATUS(status) : 4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(tester, &status, 0), tester);
    EXPECT_EQ(status, 0) << "1: the child had the descriptor; 3: no filter; 4: no child";
}

TEST_F(SupervisorTest, AChildStartsCleanWithProcessOnesStreamsInASessionOfItsOwn) {
    // Block what process 1 blocks; SIGPIPE is ignored already.
    sigset_t blocked, previous;
    sigemptyset(&blocked);
    for (int sig : {SIGCHLD, SIGINT, SIGTERM, SIGPWR, SIGUSR1}) sigaddset(&blocked, sig);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &previous), 0);
    setenv("VESKO_TEST_MARK", "kept", 1);
    // A descriptor someone left open without close-on-exec must not reach the service either.
    int stray = open("/dev/null", O_RDONLY);
    add("view", {"/bin/sleep", "30"});
    Supervisor supervisor = Supervisor::start_all(catalog_);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    close(stray);
    pid_t pid = supervisor.running().begin()->first;
    std::string proc = "/proc/" + std::to_string(pid);

    auto fds = [&] {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(proc + "/fd")) names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    };
    // The parent resumes as soon as the child lets go of the shared memory, a moment before
    // the kernel has finished the exec; then the dynamic loader opens and closes libraries.
    // Look once sleep is asleep.
    ASSERT_TRUE(process::eventually(
        [&] {
            return process::slurp(proc + "/comm") == "sleep\n" &&
                   status_field(process::slurp(proc + "/status"), "State").rfind("S", 0) == 0;
        },
        2000))
        << "the service never settled in sleep";
    EXPECT_EQ(fds(), (std::vector<std::string>{"0", "1", "2"}));
    std::string status = process::slurp(proc + "/status");
    EXPECT_EQ(status_field(status, "SigBlk"), "0000000000000000");
    EXPECT_EQ(status_field(status, "SigIgn"), "0000000000000000");
    EXPECT_EQ(fs::read_symlink(proc + "/fd/2"), fs::read_symlink("/proc/self/fd/2"));
    EXPECT_EQ(fs::read_symlink(proc + "/cwd"), fs::current_path());

    std::string environ = process::slurp(proc + "/environ");
    EXPECT_NE(environ.find(std::string("VESKO_TEST_MARK=kept\0", 21)), std::string::npos);

    std::istringstream stat(process::slurp(proc + "/stat").substr(process::slurp(proc + "/stat").rfind(')') + 2));
    std::string state;
    long ppid, pgrp, session;
    stat >> state >> ppid >> pgrp >> session;
    EXPECT_EQ(ppid, getpid());
    EXPECT_EQ(pgrp, pid);
    EXPECT_EQ(session, pid);
    ASSERT_TRUE(supervisor.stop_all().ok());
}

}  // namespace

namespace {

// A daemon's settings reach its process: read back from /proc, and its directory made and
// given to its user. As root only (it changes user).
TEST_F(SupervisorTest, TheSettingsOfADaemonReachItsProcess) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    std::string env_file = dir_ + "/env";
    std::ofstream(env_file) << "# comment\nFROM_FILE = \"quoted \\\" value\"\nOVERRIDDEN=file\n";
    std::string runtime = "vesko-test-" + std::to_string(getpid());
    add("daemon", {"/bin/sleep", "30"});
    service::Settings& settings = catalog_.services["daemon"].settings;
    settings.user = "nobody";
    settings.groups = {"adm"};
    settings.environment = {"OVERRIDDEN=table", "PLAIN=x"};
    settings.environment_files = {env_file, "-/nonexistent/env"};
    settings.working_directory = "/tmp";
    settings.umask = 027;
    settings.limits = {{RLIMIT_NOFILE, 512, 1024}};
    settings.ambient_capabilities = uint64_t{1} << 10;
    settings.directories = {{service::DirectoryBase::Runtime, runtime, 0750}};
    Supervisor supervisor = Supervisor::start_all(catalog_);
    ASSERT_EQ(supervisor.running().size(), 1U) << err_.text();
    std::string proc = "/proc/" + std::to_string(supervisor.running().begin()->first);
    ASSERT_TRUE(process::eventually([&] { return process::slurp(proc + "/comm") == "sleep\n"; }, 2000));
    std::string status = process::slurp(proc + "/status"), limits = process::slurp(proc + "/limits");
    std::string got;
    for (const char* field : {"Uid", "Gid", "Groups", "Umask", "CapPrm", "CapAmb"}) {
        got += std::string(field) + "=" + status_field(status, field) + "\n";
    }
    std::string environ = process::slurp(proc + "/environ");
    for (const char* variable : {"USER=", "HOME=", "FROM_FILE=", "OVERRIDDEN=", "PLAIN="}) {
        size_t at = environ.find(std::string(1, '\0') + variable);
        got += at == std::string::npos ? std::string(variable) + "(unset)\n" : environ.substr(at + 1, environ.find('\0', at + 1) - at - 1) + "\n";
    }
    got += "cwd=" + fs::read_symlink(proc + "/cwd").string() + "\n";
    size_t line = limits.find("Max open files");
    got += limits.substr(line, limits.find('\n', line) - line) + "\n";
    struct stat made;
    ASSERT_EQ(stat(("/run/" + runtime).c_str(), &made), 0);
    fs::remove("/run/" + runtime);
    got += "dir=" + std::to_string(made.st_uid) + " " + std::to_string(made.st_mode & 07777);
    EXPECT_EQ(got,
              "Uid=65534\t65534\t65534\t65534\nGid=65534\t65534\t65534\t65534\nGroups=4 65534 \nUmask=0027\n"
              "CapPrm=0000000000000400\nCapAmb=0000000000000400\nUSER=nobody\nHOME=/nonexistent\n"
              "FROM_FILE=quoted \" value\nOVERRIDDEN=file\nPLAIN=x\ncwd=/tmp\n"
              "Max open files            512                  1024                 files     \n"
              "dir=65534 488");
    // A user that does not exist fails the start with one line, and nothing runs.
    settings.user = "no-such-user";
    catalog_.services["daemon"].name = "daemon";
    Supervisor failing = Supervisor::start_all(catalog_);
    EXPECT_TRUE(failing.running().empty());
    EXPECT_NE(err_.text().find("veskoinit: warning: passing over service daemon: cannot start service \"daemon\": "
                               "unknown user \"no-such-user\"\n"),
              std::string::npos);
    ASSERT_TRUE(supervisor.stop_all().ok());
}

}  // namespace

namespace {

// A restart while the service's commands before its start run: the earlier start's command
// is ended and counts no more, so one program runs.
TEST_F(SupervisorTest, ARestartDuringTheCommandsBeforeTheStartStartsOneProgram) {
    add("a", {"/bin/sleep", "30"});
    catalog_.services["a"].settings.before_start = {{"/bin/sleep", "0.3"}};
    Supervisor supervisor = Supervisor::start_all(catalog_);
    ASSERT_TRUE(supervisor.request_stop("a", true).ok());
    ASSERT_TRUE(reap_until_lines(supervisor, 1));
    // Time for the first command's sleep to have ended, had it not been killed.
    usleep(500000);
    ASSERT_TRUE(supervisor.reap_exited().ok());
    EXPECT_EQ(without_pids(err_.text()), "veskoinit: started service a as pid N\n");
    EXPECT_EQ(supervisor.running().size(), 1U);
    ASSERT_TRUE(supervisor.stop_all().ok());
}

}  // namespace
