#include "tests/net/test_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace kd::test {
namespace {

constexpr int kPollSliceMs = 10;  // how quickly a worker notices that the server stops

void setNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) | O_NONBLOCK); }

std::uint16_t boundPort(int fd) {
    sockaddr_in address{};
    socklen_t size = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    return ntohs(address.sin_port);
}

int listenOn(const char* host, std::uint16_t port, int backlog) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, host, &address.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, backlog) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

Script& Script::send(std::string bytes) {
    steps.push_back(Step{std::move(bytes), 0});
    return *this;
}

Script& Script::pause(int ms) {
    steps.push_back(Step{"", ms});
    return *this;
}

Script& Script::trickle(std::string_view bytes, int pauseMs) {
    for (char c : bytes) steps.push_back(Step{std::string(1, c), pauseMs});
    return *this;
}

Script& Script::close() {
    end = End::Close;
    return *this;
}

Script& Script::reset() {
    end = End::Reset;
    return *this;
}

Script& Script::hang() {
    end = End::Hang;
    return *this;
}

Script& Script::ignoreRequest() {
    readRequest = false;
    return *this;
}

std::string reply(std::string_view statusLine, const std::vector<std::string>& headers,
                  std::string_view body) {
    std::string text(statusLine);
    text += "\r\n";
    for (const std::string& line : headers) text += line + "\r\n";
    text += "\r\n";
    text += body;
    return text;
}

std::string okReply(std::string_view body) {
    return reply("HTTP/1.1 200 OK", {"Content-Length: " + std::to_string(body.size())}, body);
}

TestServer::TestServer(Script script, const char* address, std::uint16_t port)
    : script_(std::move(script)), address_(address) {
    listenFd_ = listenOn(address, port, 16);
    if (listenFd_ == -1) return;
    port_ = boundPort(listenFd_);
    setNonBlocking(listenFd_);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

TestServer::~TestServer() {
    stop_ = true;
    if (acceptor_.joinable()) acceptor_.join();
    // The acceptor has ended, so workers_ no longer grows.
    for (std::thread& worker : workers_) worker.join();
    if (listenFd_ != -1) ::close(listenFd_);
}

std::string TestServer::url(std::string_view path) const {
    return "http://" + address_ + ":" + std::to_string(port_) + std::string(path);
}

std::vector<std::string> TestServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void TestServer::acceptLoop() {
    while (!stop_) {
        pollfd entry{listenFd_, POLLIN, 0};
        if (poll(&entry, 1, kPollSliceMs) <= 0) continue;
        int fd = accept(listenFd_, nullptr, nullptr);
        if (fd < 0) continue;
        setNonBlocking(fd);
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.emplace_back();
        const std::size_t index = requests_.size() - 1;
        workers_.emplace_back([this, fd, index] { serve(fd, index); });
    }
}

void TestServer::serve(int fd, std::size_t index) {
    if (script_.readRequest) {
        std::string request;
        char buffer[4096];
        while (!stop_ && request.find("\r\n\r\n") == std::string::npos) {
            pollfd entry{fd, POLLIN, 0};
            if (poll(&entry, 1, kPollSliceMs) <= 0) continue;
            ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            request.append(buffer, static_cast<std::size_t>(n));
            std::lock_guard<std::mutex> lock(mutex_);
            requests_[index] = request;
        }
    }

    bool alive = true;
    for (const Script::Step& step : script_.steps) {
        if (!step.bytes.empty() && !sendAll(fd, step.bytes)) {
            alive = false;
            break;
        }
        sleepMs(step.pauseMs);
    }

    if (alive && script_.end == Script::End::Hang) {
        // Hold the connection until the client closes it or the test ends.
        char sink[4096];
        while (!stop_) {
            pollfd entry{fd, POLLIN, 0};
            if (poll(&entry, 1, kPollSliceMs) <= 0) continue;
            if (recv(fd, sink, sizeof sink, 0) <= 0) break;
        }
    }
    if (script_.end == Script::End::Reset) {
        linger hard{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    ::close(fd);
}

bool TestServer::sendAll(int fd, std::string_view bytes) {
    while (!bytes.empty() && !stop_) {
        ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
        pollfd entry{fd, POLLOUT, 0};
        poll(&entry, 1, kPollSliceMs);
    }
    return bytes.empty();
}

void TestServer::sleepMs(int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stop_ && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, kPollSliceMs)));
}

FullListener::FullListener() {
    // With a backlog of 0 the queue holds one connection; the kernel then drops further SYNs.
    listenFd_ = listenOn("127.0.0.1", 0, 0);
    if (listenFd_ == -1) throw std::runtime_error("cannot listen");
    port_ = boundPort(listenFd_);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port_);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int attempt = 0; attempt < 8; ++attempt) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        setNonBlocking(fd);
        fillers_.push_back(fd);
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        pollfd entry{fd, POLLOUT, 0};
        if (poll(&entry, 1, 200) == 0) return;  // this one is left waiting: the queue is full
    }
    throw std::runtime_error("the accept queue never filled");
}

FullListener::~FullListener() {
    for (int fd : fillers_) close(fd);
    close(listenFd_);
}

std::uint16_t closedLoopbackPort() {
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bool bound = bind(probe, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
                 getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size) == 0;
    close(probe);  // bound, never listened: nothing accepts on that port now
    return bound ? ntohs(address.sin_port) : 0;
}

}  // namespace kd::test
