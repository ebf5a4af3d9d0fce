// veskoctl, run through a link named after it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "cli_support.hpp"

namespace {

namespace fs = std::filesystem;
using cli::TempDir;

const std::string kUsage = "usage: veskoctl logs [-f|--follow]\n";
const std::string kCommands =
    kUsage + "       veskoctl status [NAME...]\n       veskoctl start|stop|restart NAME...\n       veskoctl reload [NAME...]\n"
             "       veskoctl help\n";

cli::RunOptions log_at(const std::string& path) {
    cli::RunOptions options;
    options.env["VESKO_LOG_PATH"] = path;
    return options;
}

TEST(Veskoctl, CommandLine) {
    TempDir dir;
    std::string log = dir.write("veskoinit.log", "boot\n");
    struct Case {
        std::vector<std::string> args;
        std::string out, err;
        int status;
    };
    const std::string unknown = "veskoctl: unknown command or option\n" + kUsage;
    const Case cases[] = {
        {{}, "", "veskoctl: a command is required\n" + kUsage, 2},
        {{"help"}, kCommands, "", 0},
        {{"--help"}, kCommands, "", 0},
        {{"-h"}, kCommands, "", 0},
        // Nothing answers at the socket on a host whose process 1 is not veskoinit.
        {{"status"}, "", "veskoctl: process 1 is not veskoinit, or it is shutting down (nothing answers at "
                         "/run/veskoinit/control)\n", 1},
        {{"reload"}, "", "veskoctl: process 1 is not veskoinit, or it is shutting down (nothing answers at "
                         "/run/veskoinit/control)\n", 1},
        {{"help", "logs"}, "", unknown, 2},
        {{"logs", "-f", "-f"}, "", unknown, 2},
        {{"logs", "--follow", "x"}, "", unknown, 2},
        {{"-f", "logs"}, "", unknown, 2},
        {{"logs", "-x"}, "", unknown, 2},
        {{"logs", "-F"}, "", unknown, 2},
        {{"Logs"}, "", unknown, 2},
        {{"logs", "\xFF"}, "", unknown, 2},
        {{"--vesko-run", "script", "start"}, "", unknown, 2},  // veskoctl wins over --vesko-run
        {{"logs"}, "boot\n", "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0]);
        cli::Outcome got = cli::run_as("veskoctl", c.args, log_at(log));
        EXPECT_EQ(got.out, c.out);
        EXPECT_EQ(got.err, c.err);
        EXPECT_EQ(got.status, c.status);
    }
}

TEST(Veskoctl, ShowsTheLogOrFailsWithOneLine) {
    TempDir dir;
    std::string bytes("a\0b\xFF\n", 5);
    std::string log = dir.write("binary.log", bytes);
    std::string empty = dir.write("empty.log", "");
    struct Case {
        std::string path, stdout_file, out, err;
        int status;
    };
    const Case cases[] = {
        {log, "", bytes, "", 0},
        {empty, "", "", "", 0},
        {dir / "missing.log", "", "",
         "veskoctl: cannot open " + dir / "missing.log" + ": No such file or directory (os error 2)\n", 1},
        {"", "", "", "veskoctl: cannot open : No such file or directory (os error 2)\n", 1},
        {dir.path(), "", "", "veskoctl: cannot read log: Is a directory (os error 21)\n", 1},
        {log, "/dev/full", "",
         "veskoctl: cannot write log output: No space left on device (os error 28)\n", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        cli::RunOptions options = log_at(c.path);
        options.stdout_file = c.stdout_file;
        cli::Outcome got = cli::run_as("veskoctl", {"logs"}, options);
        EXPECT_EQ(got.out, c.out);
        EXPECT_EQ(got.err, c.err);
        EXPECT_EQ(got.status, c.status);
    }
    // Following a missing log fails at once, the same way.
    cli::Outcome got = cli::run_as("veskoctl", {"logs", "--follow"}, log_at(dir / "missing.log"));
    EXPECT_EQ(got.status, 1);
    EXPECT_EQ(got.err, "veskoctl: cannot open " + dir / "missing.log" +
                           ": No such file or directory (os error 2)\n");
}

void append(const std::string& path, const std::string& text) {
    FILE* file = fopen(path.c_str(), "a");
    ASSERT_NE(file, nullptr);
    fputs(text.c_str(), file);
    fclose(file);
}

TEST(Veskoctl, FollowsAppendsTruncationAndReplacement) {
    TempDir dir;
    std::string log = dir.write("veskoinit.log", "first\n");
    TempDir links;
    std::string veskoctl = cli::personality_link(links, "veskoctl");
    cli::Background follower(veskoctl, {veskoctl, "logs", "-f"}, log_at(log));
    ASSERT_TRUE(follower.wait_for_output("first\n"));

    append(log, "second\n");
    ASSERT_TRUE(follower.wait_for_output("first\nsecond\n"));

    fs::resize_file(log, 0);  // truncated, then written anew from the start
    append(log, "3\n");
    ASSERT_TRUE(follower.wait_for_output("second\n3\n")) << follower.out();

    fs::rename(log, dir / "rotated.log");
    append(dir / "rotated.log", "lost\n");  // appended to the old file after the move
    follower.collect_for(100);
    dir.write("veskoinit.log", "fourth\n");
    ASSERT_TRUE(follower.wait_for_output("fourth\n")) << follower.out();

    fs::remove(log);  // while the path is missing, it waits without a word
    follower.collect_for(700);
    dir.write("veskoinit.log", "fifth\n");
    ASSERT_TRUE(follower.wait_for_output("fifth\n")) << follower.out();

    EXPECT_EQ(follower.err(), "");
    // Each piece of output appears once, in order.
    std::string out = follower.out();
    for (const char* piece : {"first\n", "second\n", "3\n", "fourth\n", "fifth\n"}) {
        EXPECT_EQ(out.find(piece), out.rfind(piece)) << piece;
    }
    EXPECT_LT(out.find("3\n"), out.find("fourth\n"));
    EXPECT_EQ(kill(follower.pid(), 0), 0);  // still following
}

}  // namespace
