// The control channel, both ends in this process: answers up to the limit arrive whole
// (beyond the system's usual send buffer, which only root, as process 1 is, may exceed), a
// longer one is refused in one line.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>

#include "control.hpp"

TEST(ControlChannel, LongAnswersArriveWholeOrAreRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    char dir[] = "/tmp/vesko-control-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/control";
    auto server = control::Server::listen(path);
    ASSERT_TRUE(server) << server.error().display();
    for (size_t size : {size_t{10}, size_t{600000}, control::kMaxAnswer}) {
        auto asked = std::async(std::launch::async, [&] { return control::ask(path, "status\n"); });
        while (asked.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
            std::vector<pollfd> fds;
            server->add_descriptors(fds);
            ASSERT_GE(::poll(fds.data(), fds.size(), 100), 0);
            server->serve(fds.data(), [&](const control::Request&) { return control::Answer{0, std::string(size, 'x')}; });
        }
        auto answer = asked.get();
        ASSERT_TRUE(answer) << answer.error();
        bool fits = size < control::kMaxAnswer;
        EXPECT_EQ(answer->status, fits ? 0 : 1);
        EXPECT_EQ(answer->text, fits ? std::string(size, 'x')
                                     : "veskoctl: the answer (1048578 bytes) is too long to send; name fewer services\n");
    }
    std::filesystem::remove_all(dir);
}

// With every client place taken and the listen queue full, a client waits for room within
// its time instead of failing: here until the test closes the clients that hold the places.
TEST(ControlChannel, AClientWaitsWhileTheQueueIsFull) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    char dir[] = "/tmp/vesko-control-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/control";
    auto server = control::Server::listen(path);
    ASSERT_TRUE(server) << server.error().display();
    auto serve = [&] {
        std::vector<pollfd> fds;
        server->add_descriptors(fds);
        ASSERT_GE(::poll(fds.data(), fds.size(), 100), 0);
        server->serve(fds.data(), [](const control::Request&) { return control::Answer{0, "ok\n"}; });
    };
    sockaddr_un address{AF_UNIX, {}};
    path.copy(address.sun_path, path.size());
    std::vector<vesko::Fd> holders;
    bool full = false;
    for (size_t i = 0; i < 64 && !full; ++i) {
        holders.emplace_back(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        full = ::connect(holders.back().get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 && errno == EAGAIN;
        if (i + 1 == control::kMaxClients) serve();  // every place taken
    }
    ASSERT_TRUE(full);
    auto asked = std::async(std::launch::async, [&] { return control::ask(path, "status\n"); });
    // Until the asking thread waits in connect (or has given up).
    auto connecting = [] {
        for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
            std::ifstream in(task.path() / "syscall");
            long number = -1;
            if (in >> number && number == SYS_connect) return true;
        }
        return false;
    };
    while (!connecting() && asked.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
    }
    holders.clear();
    while (asked.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) serve();
    auto answer = asked.get();
    ASSERT_TRUE(answer) << answer.error();
    EXPECT_EQ(answer->text, "ok\n");
    std::filesystem::remove_all(dir);
}
