// The control channel between a client and a server of this process: answers of every size
// up to the limit arrive whole, and a longer one is refused in one line.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <future>

#include "control.hpp"

namespace {

TEST(ControlChannel, LongAnswersArriveWholeOrAreRefused) {
    // Beyond the system's usual send buffer only root (as process 1 is) may set one.
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    char dir[] = "/tmp/vesko-control-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/control";
    auto server = control::Server::listen(path);
    ASSERT_TRUE(server) << server.error().display();
    const struct {
        size_t size;
        int status;
        std::string text;
    } cases[] = {
        {10, 0, ""},
        {600000, 0, ""},
        {control::kMaxAnswer, 1, "veskoctl: the answer (1048578 bytes) is too long to send; name fewer services\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        auto asked = std::async(std::launch::async, [&] { return control::ask(path, "status\n"); });
        while (asked.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
            std::vector<pollfd> fds;
            server->add_descriptors(fds);
            ASSERT_GE(::poll(fds.data(), fds.size(), 100), 0);
            server->serve(fds.data(), [&](const control::Request&) { return control::Answer{0, std::string(c.size, 'x')}; });
        }
        auto answer = asked.get();
        ASSERT_TRUE(answer) << answer.error();
        EXPECT_EQ(answer->status, c.status);
        EXPECT_EQ(answer->text, c.status == 0 ? std::string(c.size, 'x') : c.text);
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
