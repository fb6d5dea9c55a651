// An HTTP server inside the test process, for the faults a real server will not produce on demand.
// It serves the files of a folder like the real server (200 with Content-Length, 404 when
// missing) and, for chosen paths, answers with another status, waits, stalls part way through the
// body, or plays a script of raw bytes, pauses and an ending.
#pragma once

#include <atomic>
#include <climits>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kd::test {

// Raw server bytes for one connection, sent after the request was read.
struct Script {
    enum class End { Close, Reset, Hang };  // Hang: stay open until the client leaves
    struct Step {
        std::string bytes;  // sent whole, then pauseMs waited
        int pauseMs = 0;
    };
    Script& send(std::string bytes) { return steps.push_back({std::move(bytes), 0}), *this; }
    Script& pause(int ms) { return steps.push_back({"", ms}), *this; }
    // pieceBytes at a time with a pause after each.
    Script& trickle(std::string_view bytes, int pauseMs, std::size_t pieceBytes = 1);
    Script& close() { return end = End::Close, *this; }
    Script& reset() { return end = End::Reset, *this; }
    Script& hang() { return end = End::Hang, *this; }
    Script& ignoreRequest() { return readRequest = false, *this; }  // neither read nor record it

    std::vector<Step> steps;
    End end = End::Close;
    bool readRequest = true;
};

// A whole reply: status line, header lines, the blank line and body.
std::string reply(std::string_view statusLine, const std::vector<std::string>& headers,
                  std::string_view body);
std::string okReply(std::string_view body);  // 200 with a matching Content-Length

class FaultServer {
public:
    explicit FaultServer(std::string root);     // "" serves no files
    explicit FaultServer(Script everyRequest);  // played for every path without a fault
    ~FaultServer();

    std::uint16_t port() const { return port_; }
    std::string url(std::string_view path = "/") const {
        return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
    }

    // Paths as requested, for example "/testing/news.txt". A fault applies to the next `times`
    // requests for its path; of several on one path, the first one set that has times left.
    void answerStatus(const std::string& path, int status, int times = INT_MAX);
    void play(const std::string& path, Script script, int times = INT_MAX);
    void delay(const std::string& path, int ms, int times = INT_MAX);
    // The header and the first bodyBytes of the file, then silence until the client leaves.
    void stallAfter(const std::string& path, std::size_t bodyBytes, int times = INT_MAX);

    struct Request {  // per request read: its path and its bytes
        std::string path, raw;
    };
    std::vector<Request> requests() const;
    std::size_t count(const std::string& path) const;

private:
    using MakeScript = std::function<Script(const std::string& file, bool found)>;
    void addFault(const std::string& path, int times, MakeScript make);
    void serve(int fd);

    std::string root_;
    Script everyRequest_;
    bool scripted_ = false;
    int listenFd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;  // guards faults_, requests_, workers_
    std::map<std::string, std::vector<std::pair<MakeScript, int>>> faults_;  // with times left
    std::vector<Request> requests_;
    std::vector<std::thread> workers_;
    std::thread acceptor_;
};

// Listens on a loopback port with a full accept queue, so that a connect to it times out.
struct FullListener {
    FullListener();
    ~FullListener();
    std::uint16_t port = 0;
    std::vector<int> fds;  // the listener, then the connections that fill its queue
};

}  // namespace kd::test
