// Service files replaced while the catalog loads: a FIFO swapped in between the listing and
// the read must not be waited on, and a link must not be followed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "service.hpp"

namespace {

namespace fs = std::filesystem;

pid_t fork_or_die() {
    pid_t pid = fork();
    if (pid < 0) std::abort();
    return pid;
}

TEST(CatalogRace, EntriesSwappedDuringTheLoadAreNeitherWaitedOnNorFollowed) {
    std::string dir = (fs::temp_directory_path() / "vesko-race-XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    std::string services = dir + "/services";
    fs::create_directory(services);
    std::ofstream(services + "/a.toml") << "command = [\"/bin/a\"]\n";
    std::ofstream(services + "/x.toml") << "command = [\"/bin/x\"]\n";
    std::ofstream(dir + "/elsewhere.toml") << "command = [\"/bin/followed\"]\n";
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0644), 0);
    fs::create_symlink(dir + "/elsewhere.toml", dir + "/link");

    // Swaps x.toml with the FIFO and with the link, each time atomically, as fast as it can.
    pid_t swapper = fork_or_die();
    if (swapper == 0) {
        std::string x = services + "/x.toml";
        for (;;) {
            for (const std::string& other : {dir + "/fifo", dir + "/link"}) {
                renameat2(AT_FDCWD, x.c_str(), AT_FDCWD, other.c_str(), RENAME_EXCHANGE);
                renameat2(AT_FDCWD, x.c_str(), AT_FDCWD, other.c_str(), RENAME_EXCHANGE);
            }
        }
    }
    // The loads run in a child of their own, so that a hang ends in a kill, not a stuck test.
    pid_t loader = fork_or_die();
    if (loader == 0) {
        for (int run = 0; run < 500; ++run) {
            auto catalog = service::Catalog::load(services);
            if (!catalog) {
                fprintf(stderr, "load failed: %s\n", service::display(catalog.error()).c_str());
                _exit(1);
            }
            auto x = catalog->services.find("x");
            if (catalog->services.count("a") != 1 || (x != catalog->services.end() && x->second.command[0] != "/bin/x")) {
                fprintf(stderr, "wrong catalog in run %d\n", run);
                _exit(1);
            }
        }
        _exit(0);
    }
    int status = -1;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (waitpid(loader, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(loader, SIGKILL);
            waitpid(loader, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(swapper, SIGKILL);
    waitpid(swapper, nullptr, 0);
    fs::remove_all(dir);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the loads hung or went wrong: status " << status;
}

}  // namespace
