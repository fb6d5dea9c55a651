// An HTTP server inside the test process, for the faults a real server will not produce on demand.
// It serves the files of a folder like the real server (200 with Content-Length, 404 when
// missing) and, for chosen paths, answers with another status, waits, stalls or closes part way
// through the body, trickles it, or plays a script of raw bytes, pauses and an ending.
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
        std::string bytes;  // sent whole, unless empty
        int pauseMs = 0;    // then waited
    };
    Script& send(std::string bytes) { return steps.push_back({std::move(bytes), 0}), *this; }
    Script& pause(int ms) { return steps.push_back({"", ms}), *this; }
    // One byte at a time with a pause after each.
    Script& trickle(std::string_view bytes, int pauseMs);
    Script& close() { return end = End::Close, *this; }
    Script& reset() { return end = End::Reset, *this; }
    Script& hang() { return end = End::Hang, *this; }
    Script& ignoreRequest() { return readRequest = false, *this; }  // neither read nor record it

    std::vector<Step> steps;
    End end = End::Close;
    bool readRequest = true;
};

// A whole reply: status line, the given header lines, the blank line and body.
std::string reply(std::string_view statusLine, const std::vector<std::string>& headers,
                  std::string_view body);
// A 200 reply with a matching Content-Length.
std::string okReply(std::string_view body);

class FaultServer {
public:
    explicit FaultServer(std::string root);  // "" serves no files
    explicit FaultServer(Script everyRequest);  // for every path without a fault of its own
    ~FaultServer();
    FaultServer(const FaultServer&) = delete;
    FaultServer& operator=(const FaultServer&) = delete;

    bool listening() const { return listenFd_ != -1; }
    std::uint16_t port() const { return port_; }
    std::string url(std::string_view path = "/") const;  // "http://127.0.0.1:PORT" + path

    // Paths as requested, for example "/testing/news.txt". A fault applies to the next `times`
    // requests for its path; of several on one path, the first one set that has times left.
    void answerStatus(const std::string& path, int status, int times = INT_MAX);
    void delay(const std::string& path, int ms, int times = INT_MAX);
    // The header and the first bodyBytes of the body, then silence until the client leaves.
    void stallAfter(const std::string& path, std::size_t bodyBytes, int times = INT_MAX);
    // The header and the first bodyBytes of the body, then an orderly close.
    void closeAfter(const std::string& path, std::size_t bodyBytes, int times = INT_MAX);
    // The body at about bytesPerSecond, a piece every 50 ms.
    void trickle(const std::string& path, std::size_t bytesPerSecond, int times = INT_MAX);
    void play(const std::string& path, Script script, int times = INT_MAX);

    // One entry per request read: its path, its "X-Veilstone-Key" value ("-" when absent) and
    // its bytes as received.
    struct Request {
        std::string path;
        std::string key;
        std::string raw;
    };
    std::vector<Request> requests() const;
    std::size_t count(const std::string& path) const;

private:
    using MakeScript = std::function<Script(const std::string& body, bool found)>;
    struct Fault {
        MakeScript make;
        int times;
    };
    void addFault(const std::string& path, int times, MakeScript make);
    void serve(int fd);
    void play(int fd, const Script& script);
    bool sleepUnlessStopped(int ms);

    std::string root_;
    MakeScript everyRequest_;
    bool readRequests_ = true;
    int listenFd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;  // guards faults_, requests_, workers_
    std::map<std::string, std::vector<Fault>> faults_;
    std::vector<Request> requests_;
    std::vector<std::thread> workers_;
    std::thread acceptor_;
};

// A listening socket with a full accept queue, so that a connect to it runs into its time-out.
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

// A loopback port that was free a moment ago and on which nothing listens.
std::uint16_t closedLoopbackPort();

}  // namespace kd::test
