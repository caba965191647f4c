#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "Indexing/idxport/Sockets.h"

namespace {
class SockRecv : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0); }
    void TearDown() override {
        close(fds[0]);
        if (fds[1] >= 0) close(fds[1]);
    }
    void say(const std::string& text) { ASSERT_EQ(send(fds[1], text.data(), text.size(), 0), ssize_t(text.size())); }
    uint64_t mine() const { return uint64_t(fds[0]); }

    int fds[2] = {-1, -1};
    char buffer[16] = {};
};
}  // namespace

TEST_F(SockRecv, TimesOutOnASilentSocketReassemblesSplitDataAndStopsWhenThePeerCloses) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(sockRecv(mine(), buffer, 4, 0, 2), -2);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1900));
    for (unsigned timeout : {5u, 0u}) {
        std::thread sender([this] {
            say("abc");
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            say("defg");
        });
        EXPECT_EQ(sockRecv(mine(), buffer, 7, 0, timeout), 7) << "timeout " << timeout;
        EXPECT_EQ(std::string(buffer, 7), "abcdefg");
        sender.join();
    }
    say("xy");
    close(fds[1]);
    fds[1] = -1;
    EXPECT_EQ(sockRecv(mine(), buffer, 10, 0, 2), 2);
    EXPECT_EQ(std::string(buffer, 2), "xy");
    EXPECT_EQ(sockRecv(mine(), buffer, 10, 0, 0), 0);
}

TEST_F(SockRecv, BadSocketsFail) {
    say("data");
    // A number beyond the descriptor range must not be taken for the small one in its low bits.
    EXPECT_EQ(sockRecv((uint64_t(1) << 32) + mine(), buffer, 4, 0, 0), -1);
    EXPECT_EQ(sockRecv(~uint64_t(0), buffer, 4, 0, 1), -1);
    EXPECT_EQ(sockRecv(mine(), buffer, 4, 0, 1), 4) << "the data is still there";
}
