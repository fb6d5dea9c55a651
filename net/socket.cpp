#include "net/socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace kd {
namespace {

constexpr std::size_t kRecvStepBytes = 16384;

// Waits for the non-blocking connect to finish. An interrupted poll resumes with what is left of
// the time-out instead of failing the connection.
bool awaitConnect(int fd, int timeoutMs, std::string& error) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd entry{fd, POLLOUT, 0};
        int ready = poll(&entry, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
        if (ready == 0) {
            error = "timed out";
            return false;
        }
        if (ready < 0) {
            if (errno == EINTR) continue;
            error = netErrorText(errno);
            return false;
        }
        int pendingError = 0;
        socklen_t size = sizeof pendingError;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pendingError, &size) != 0) pendingError = errno;
        if (pendingError == 0) return true;
        error = netErrorText(pendingError);
        return false;
    }
}

}  // namespace

int tcpConnect(const std::string& host, std::uint16_t port, int timeoutMs, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr) {
        if (found != nullptr) freeaddrinfo(found);
        error = "cannot resolve " + host;
        return -1;
    }

    // Only the first address is tried: a host whose first address is dead fails after one
    // time-out rather than several.
    const addrinfo* address = found;
    // Close-on-exec: the game started from the launcher must not inherit a download's connection.
    int fd = socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol);
    if (fd < 0) {
        freeaddrinfo(found);
        error = "cannot create socket";
        return -1;
    }
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);

    bool connected = connect(fd, address->ai_addr, address->ai_addrlen) == 0;
    if (!connected) {
        if (errno == EINPROGRESS)
            connected = awaitConnect(fd, timeoutMs, error);
        else
            error = netErrorText(errno);
    }
    freeaddrinfo(found);
    if (!connected) {
        closeSocket(fd);
        return -1;
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

bool sendPending(int socket, std::vector<std::uint8_t>& pending) {
    if (socket == -1) return false;
    std::size_t sent = 0;
    while (sent < pending.size()) {
        // MSG_NOSIGNAL: a peer that went away must give an error, not SIGPIPE.
        ssize_t n = send(socket, pending.data() + sent, pending.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) break;
        pending.clear();
        return false;
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(sent));
    return true;
}

bool queueSend(int socket, std::vector<std::uint8_t>& pending, const void* bytes,
               std::size_t length) {
    const auto* begin = static_cast<const std::uint8_t*>(bytes);
    pending.insert(pending.end(), begin, begin + length);
    return sendPending(socket, pending);
}

void waitReadable(std::span<const int> sockets, int timeoutMs) {
    std::vector<pollfd> entries;
    for (int fd : sockets)
        if (fd != -1) entries.push_back(pollfd{fd, POLLIN, 0});
    poll(entries.data(), entries.size(), timeoutMs);
}

bool isReadable(int socket) {
    pollfd entry{socket, POLLIN, 0};
    return poll(&entry, 1, 0) != 0;
}

bool recvSome(int socket, std::vector<std::uint8_t>& buffer, std::size_t limit, int* failure) {
    if (failure != nullptr) *failure = 0;
    if (socket == -1) return false;
    std::uint8_t area[kRecvStepBytes];
    while (buffer.size() < limit) {
        const std::size_t want = std::min(limit - buffer.size(), kRecvStepBytes);
        ssize_t n = recv(socket, area, want, 0);
        if (n == 0) return false;
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return true;
            if (failure != nullptr) *failure = errno;
            return false;
        }
        const auto got = static_cast<std::size_t>(n);
        appendBounded(buffer, area, got, limit);
        if (got < want) break;
    }
    return true;
}

void appendBounded(std::vector<std::uint8_t>& buffer, const std::uint8_t* data, std::size_t length,
                   std::size_t limit) {
    if (buffer.capacity() - buffer.size() < length) {
        const std::size_t grown = std::max(buffer.size() + length, buffer.capacity() * 2);
        buffer.reserve(std::min(grown, std::max(limit, buffer.size() + length)));
    }
    buffer.insert(buffer.end(), data, data + length);
}

void closeSocket(int& socket) {
    if (socket != -1) close(socket);
    socket = -1;
}

std::string netErrorText(int error) {
    // strerror may share one buffer between threads; downloads run on worker threads.
    char text[256];
    return strerror_r(error, text, sizeof text);
}

}  // namespace kd
