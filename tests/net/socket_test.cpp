#include "net/socket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "tests/net/test_server.h"

namespace kd {
namespace {

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A connected pair of stream sockets, the near end non-blocking like every socket tcpConnect makes.
struct SocketPair {
    int near = -1;
    int far = -1;
    SocketPair() {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        near = fds[0];
        far = fds[1];
        fcntl(near, F_SETFL, fcntl(near, F_GETFL, 0) | O_NONBLOCK);
    }
    ~SocketPair() {
        closeSocket(near);
        closeSocket(far);
    }
};

std::vector<std::uint8_t> pattern(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    return bytes;
}

TEST(TcpConnect, GivesNonBlockingCloseOnExecSocketWithoutNagle) {
    test::TestServer server(test::Script().hang());
    std::string error;
    int fd = tcpConnect("127.0.0.1", server.port(), 1000, error);
    ASSERT_NE(fd, -1) << error;
    EXPECT_TRUE(fcntl(fd, F_GETFL, 0) & O_NONBLOCK);
    EXPECT_TRUE(fcntl(fd, F_GETFD, 0) & FD_CLOEXEC);
    int noDelay = 0;
    socklen_t size = sizeof noDelay;
    ASSERT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, &size), 0);
    EXPECT_EQ(noDelay, 1);
    closeSocket(fd);
}

TEST(TcpConnect, ClosedPortGivesSystemText) {
    const std::uint16_t port = test::closedLoopbackPort();
    ASSERT_NE(port, 0);
    std::string error;
    EXPECT_EQ(tcpConnect("127.0.0.1", port, 1000, error), -1);
    EXPECT_EQ(error, netErrorText(ECONNREFUSED));
}

TEST(TcpConnect, NamesWithoutIpv4AddressDoNotResolve) {
    for (const char* host : {"nonexistent.invalid", "::1"}) {
        std::string error;
        EXPECT_EQ(tcpConnect(host, 80, 1000, error), -1) << host;
        EXPECT_EQ(error, std::string("cannot resolve ") + host);
    }
}

TEST(TcpConnect, UnansweredConnectTimesOut) {
    test::FullListener listener;
    std::string error;
    const auto start = Clock::now();
    EXPECT_EQ(tcpConnect("127.0.0.1", listener.port(), 300, error), -1);
    const long long elapsed = msSince(start);
    EXPECT_EQ(error, "timed out");
    EXPECT_GE(elapsed, 290);
    EXPECT_LT(elapsed, 1500);
}

TEST(TcpConnect, NoFreeDescriptorCannotCreateSocket) {
    // Use up every descriptor under a lowered limit; name resolution of a numeric address needs
    // none, so the socket call is the first to fail.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    std::vector<int> filler;
    rlimit lowered = saved;
    lowered.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;) filler.push_back(fd);

    std::string error;
    const int fd = tcpConnect("127.0.0.1", 9, 1000, error);

    for (int each : filler) close(each);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(error, "cannot create socket");
}

TEST(SendPending, EmptyOutputSucceedsEvenOnDeadConnection) {
    SocketPair pair;
    closeSocket(pair.far);
    std::vector<std::uint8_t> pending;
    EXPECT_TRUE(sendPending(pair.near, pending));  // a send would have failed here
    pending = {1, 2, 3};
    EXPECT_FALSE(sendPending(pair.near, pending));  // no SIGPIPE either
    EXPECT_TRUE(pending.empty());
    EXPECT_FALSE(sendPending(-1, pending));
}

TEST(SendPending, KeepsWhatTheSocketDidNotTakeInOrder) {
    SocketPair pair;
    const std::vector<std::uint8_t> data = pattern(8 << 20);  // more than the socket buffers hold
    std::vector<std::uint8_t> pending;
    ASSERT_TRUE(queueSend(pair.near, pending, data.data(), data.size()));
    ASSERT_FALSE(pending.empty());
    ASSERT_LT(pending.size(), data.size());

    std::vector<std::uint8_t> arrived;
    std::uint8_t buffer[65536];
    while (arrived.size() < data.size()) {
        ASSERT_TRUE(sendPending(pair.near, pending));
        ssize_t n = recv(pair.far, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) arrived.insert(arrived.end(), buffer, buffer + n);
    }
    EXPECT_TRUE(pending.empty());
    EXPECT_TRUE(arrived == data);
}

TEST(RecvSome, StopsAtTheLimitWithoutOvergrowing) {
    SocketPair pair;
    const std::vector<std::uint8_t> data = pattern(100000);
    std::thread writer([&] { EXPECT_EQ(send(pair.far, data.data(), data.size(), 0), 100000); });
    constexpr std::size_t kLimit = 70000;
    std::vector<std::uint8_t> buffer;
    const auto start = Clock::now();
    while (buffer.size() < kLimit && msSince(start) < 5000) {
        const int sockets[] = {pair.near};
        waitReadable(sockets, 50);
        ASSERT_TRUE(recvSome(pair.near, buffer, kLimit));
    }
    writer.join();
    ASSERT_EQ(buffer.size(), kLimit);
    // Growth stops at the limit: the memory held stays within what the caller allowed.
    EXPECT_LE(buffer.capacity(), kLimit);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), data.begin()));

    // At the limit nothing is read, and the rest is still there for a larger limit.
    EXPECT_TRUE(recvSome(pair.near, buffer, kLimit));
    EXPECT_EQ(buffer.size(), kLimit);
    EXPECT_TRUE(recvSome(pair.near, buffer, kLimit + 10));
    EXPECT_EQ(buffer.size(), kLimit + 10);
    EXPECT_EQ(buffer[kLimit + 9], data[kLimit + 9]);
}

TEST(RecvSome, PeerCloseKeepsTheBytesBefore) {
    SocketPair pair;
    ASSERT_EQ(send(pair.far, "abc", 3, 0), 3);
    std::vector<std::uint8_t> buffer;
    int failure = -1;
    EXPECT_TRUE(recvSome(pair.near, buffer, 100, &failure));
    EXPECT_EQ(failure, 0);
    EXPECT_TRUE(recvSome(pair.near, buffer, 100));  // open, nothing new
    closeSocket(pair.far);
    EXPECT_FALSE(recvSome(pair.near, buffer, 100, &failure));
    EXPECT_EQ(failure, 0);  // an orderly close
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), "abc");
    EXPECT_FALSE(recvSome(-1, buffer, 100));
}

TEST(RecvSome, ResetIsReportedAsFailure) {
    test::TestServer server(test::Script().send("xy").pause(100).reset());
    std::string error;
    int fd = tcpConnect("127.0.0.1", server.port(), 1000, error);
    ASSERT_NE(fd, -1) << error;
    std::vector<std::uint8_t> pending;
    queueSend(fd, pending, "GET / HTTP/1.1\r\n\r\n", 18);
    std::vector<std::uint8_t> buffer;
    int failure = 0;
    const auto start = Clock::now();
    while (recvSome(fd, buffer, 100, &failure) && msSince(start) < 2000) waitReadable({&fd, 1}, 50);
    EXPECT_EQ(failure, ECONNRESET);
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), "xy");
    closeSocket(fd);
}

TEST(WaitReadable, ReturnsWhenDataArrivesAndSkipsMissingSockets) {
    SocketPair pair;
    ASSERT_EQ(send(pair.far, "x", 1, 0), 1);
    const int sockets[] = {-1, pair.near};
    auto start = Clock::now();
    waitReadable(sockets, 5000);
    EXPECT_LT(msSince(start), 1000);

    const int none[] = {-1};
    start = Clock::now();
    waitReadable(none, 150);
    EXPECT_GE(msSince(start), 140);
}

TEST(CloseSocket, SecondCloseLeavesAReusedDescriptorAlone) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int number = fd;
    closeSocket(fd);
    EXPECT_EQ(fd, -1);
    int reused = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(reused, number);  // the lowest free number comes back
    closeSocket(fd);
    EXPECT_NE(fcntl(reused, F_GETFD), -1);
    closeSocket(reused);
}

}  // namespace
}  // namespace kd
