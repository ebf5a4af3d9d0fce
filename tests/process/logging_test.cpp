// The log setup replaces the standard streams, so each case runs it in a child process.
#include "logging.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "fd.hpp"
#include "process_support.hpp"
#include "spawn.hpp"

namespace {

namespace fs = std::filesystem;

struct Setup {
    std::optional<std::string> log_path;  // VESKO_LOG_PATH, nullopt for unset
    std::string cwd;
};

// Runs logging::initialize in a child with umask 0, then writes "err" to standard error,
// "out" to standard output and lets a started program write "child". Returns "ok PATH" or
// "error TEXT".
std::string initialize_in_child(const Setup& setup) {
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return "pipe failed";
    pid_t pid = fork();
    if (pid == 0) {
        close(report[0]);
        umask(0);
        if (setup.log_path) {
            setenv("VESKO_LOG_PATH", setup.log_path->c_str(), 1);
        } else {
            unsetenv("VESKO_LOG_PATH");
        }
        if (!setup.cwd.empty() && chdir(setup.cwd.c_str()) != 0) _exit(2);
        auto path = logging::initialize();
        std::string line = path ? "ok " + *path : "error " + logging::display(path.error());
        (void)vesko::write_all(report[1], line);
        if (path) {
            vesko::print_err("err\n");
            vesko::print_out("out\n");
            auto child = vesko::spawn({"/bin/sh", "-c", "echo child; echo child-err >&2"});
            if (child) waitpid(*child, nullptr, 0);
        }
        _exit(0);
    }
    close(report[1]);
    auto text = vesko::read_all(report[0]);
    close(report[0]);
    waitpid(pid, nullptr, 0);
    return text ? *text : "read failed";
}

class LoggingTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vesko-logging-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string dir_;
};

const std::string kWritten = "err\nout\nchild\nchild-err\n";

TEST_F(LoggingTest, CreatesMissingDirectoriesAndTheFile) {
    std::string path = dir_ + "/var/log/deep/veskoinit.log";
    EXPECT_EQ(initialize_in_child({path, {}}), "ok " + path);
    EXPECT_EQ(process::slurp(path), kWritten);
    EXPECT_EQ(fs::status(path).permissions(), fs::perms(0644));
    EXPECT_EQ(fs::status(dir_ + "/var/log/deep").permissions(), fs::perms(0777));
}

TEST_F(LoggingTest, AppendsAndKeepsContentAndPermissions) {
    std::string path = dir_ + "/veskoinit.log";
    std::ofstream(path) << "earlier boot\n";
    fs::permissions(path, fs::perms(0600));
    EXPECT_EQ(initialize_in_child({path, {}}), "ok " + path);
    EXPECT_EQ(initialize_in_child({path, {}}), "ok " + path);
    EXPECT_EQ(process::slurp(path), "earlier boot\n" + kWritten + kWritten);
    EXPECT_EQ(fs::status(path).permissions(), fs::perms(0600));
}

TEST_F(LoggingTest, BareFileNameLandsInTheWorkingDirectoryAsGiven) {
    EXPECT_EQ(initialize_in_child({"bare.log", dir_}), "ok bare.log");
    EXPECT_EQ(process::slurp(dir_ + "/bare.log"), kWritten);
}

TEST_F(LoggingTest, Failures) {
    std::ofstream(dir_ + "/file") << "x";
    std::ofstream(dir_ + "/\xFF") << "x";
    struct Case {
        std::string path, expected;
    };
    const Case cases[] = {
        {"", "error cannot open : No such file or directory (os error 2)"},
        {dir_ + "/file/veskoinit.log", "error cannot create " + dir_ + "/file: File exists (os error 17)"},
        {dir_ + "/file/sub/veskoinit.log",
         "error cannot create " + dir_ + "/file/sub: Not a directory (os error 20)"},
        {dir_ + "/\xFF/x.log", "error cannot create " + dir_ + "/\xEF\xBF\xBD: File exists (os error 17)"},
        {dir_, "error cannot open " + dir_ + ": Is a directory (os error 21)"},
    };
    for (const Case& c : cases) EXPECT_EQ(initialize_in_child({c.path, {}}), c.expected);
}

TEST(LoggingError, Display) {
    EXPECT_EQ(logging::display(logging::Redirect{"standard output", vesko::OsError{EBADF}}),
              "cannot redirect standard output: Bad file descriptor (os error 9)");
    EXPECT_EQ(logging::display(logging::Open{"/var/log/x\xFF", vesko::OsError{EROFS}}),
              "cannot open /var/log/x\xEF\xBF\xBD: Read-only file system (os error 30)");
}

TEST(ParentPath, Rules) {
    struct Case {
        const char* path;
        std::optional<std::string> parent;
    };
    const Case cases[] = {
        {"/var/log/veskoinit.log", "/var/log"}, {"/x", "/"},  {"x", ""},    {"a/b/", "a"},
        {"a//b", "a"},                           {"/", std::nullopt}, {"", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(vesko::parent_path(c.path), c.parent) << c.path;
}

}  // namespace
