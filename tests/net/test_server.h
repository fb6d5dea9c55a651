// A scriptable HTTP server inside the test process, for the faults a real server will not produce
// on demand: every connection it accepts reads the request (recorded byte for byte), then plays the
// same script of byte pieces and pauses and ends with an orderly close, a reset, or by hanging on
// until the client leaves. Also a listener whose queue is full, so connecting to it times out.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kd::test {

class Script {
public:
    enum class End { Close, Reset, Hang };
    struct Step {
        std::string bytes;  // sent whole, unless empty
        int pauseMs = 0;    // then waited
    };

    Script& send(std::string bytes);
    Script& pause(int ms);
    // One byte at a time with a pause after each.
    Script& trickle(std::string_view bytes, int pauseMs);
    Script& close();
    Script& reset();
    Script& hang();
    // Accept, but neither read nor record the request.
    Script& ignoreRequest();

    std::vector<Step> steps;
    End end = End::Close;
    bool readRequest = true;
};

// A whole reply: status line, the given header lines, the blank line and body.
std::string reply(std::string_view statusLine, const std::vector<std::string>& headers,
                  std::string_view body);
// A 200 reply with a matching Content-Length.
std::string okReply(std::string_view body);

// A loopback port that was free a moment ago and on which nothing listens.
std::uint16_t closedLoopbackPort();

class TestServer {
public:
    // Listens on address:port (0: any free port); check listening() when a fixed port is asked.
    explicit TestServer(Script script, const char* address = "127.0.0.1", std::uint16_t port = 0);
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    bool listening() const { return listenFd_ != -1; }
    std::uint16_t port() const { return port_; }
    // "http://address:port" + path.
    std::string url(std::string_view path) const;
    // The request bytes of every connection so far, in the order they were accepted.
    std::vector<std::string> requests() const;

private:
    void acceptLoop();
    void serve(int fd, std::size_t index);
    bool sendAll(int fd, std::string_view bytes);
    void sleepMs(int ms);

    Script script_;
    std::string address_;
    int listenFd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;  // guards requests_ and workers_
    std::vector<std::string> requests_;
    std::vector<std::thread> workers_;
    std::thread acceptor_;
};

// A listening socket with a full accept queue: further connections stay unanswered, so a
// connect to it runs into its time-out.
class FullListener {
public:
    FullListener();
    ~FullListener();
    FullListener(const FullListener&) = delete;
    FullListener& operator=(const FullListener&) = delete;

    std::uint16_t port() const { return port_; }

private:
    int listenFd_ = -1;
    std::uint16_t port_ = 0;
    std::vector<int> fillers_;
};

}  // namespace kd::test
