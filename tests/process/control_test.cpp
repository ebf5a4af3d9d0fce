// The control channel, both ends in this process: answers up to the limit arrive whole
// (beyond the system's usual send buffer, which only root, as process 1 is, may exceed), a
// longer one is refused in one line; with the listen queue full a client waits its time.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
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
    sockaddr_un address{AF_UNIX, {}};
    path.copy(address.sun_path, path.size());
    std::vector<vesko::Fd> queued;  // until the queue is full: nobody is served now
    do queued.emplace_back(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    while (queued.size() < 64 && ::connect(queued.back().get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
    auto answer = control::ask(path, "status\n");
    EXPECT_EQ(answer ? "" : answer.error(), "cannot ask process 1 at " + path + ": no answer within 5 seconds");
    std::filesystem::remove_all(dir);
}
