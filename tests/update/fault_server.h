// An update server inside the test process, for the faults nginx will not produce on demand. It
// serves the files of a folder like the real server (200 with Content-Length, 404 when missing)
// and, for chosen paths, answers with another status, waits before answering, or sends the header
// and part of the body and then stays silent until the client leaves.
#pragma once

#include <atomic>
#include <climits>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kd::test {

class FaultServer {
public:
    explicit FaultServer(std::string root);
    ~FaultServer();
    FaultServer(const FaultServer&) = delete;
    FaultServer& operator=(const FaultServer&) = delete;

    bool listening() const { return listenFd_ != -1; }
    std::string url() const;  // "http://127.0.0.1:PORT/"

    // Paths as requested, for example "/testing/news.txt". Each fault applies to the next `times`
    // requests for that path.
    void answerStatus(const std::string& path, int status, int times = INT_MAX);
    void delay(const std::string& path, int ms, int times = INT_MAX);
    void stallAfter(const std::string& path, std::size_t bodyBytes, int times = INT_MAX);

    // One entry per request: its path and the "X-Veilstone-Key" value ("-" when absent).
    struct Request {
        std::string path;
        std::string key;
    };
    std::vector<Request> requests() const;
    std::size_t count(const std::string& path) const;

private:
    struct Faults {
        int status = 0;
        int statusTimes = 0;
        int delayMs = 0;
        int delayTimes = 0;
        std::size_t stallBytes = 0;
        int stallTimes = 0;
    };

    void acceptLoop();
    void serve(int fd);
    bool sleepUnlessStopped(int ms);
    void waitForClientToLeave(int fd);

    std::string root_;
    int listenFd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;  // guards faults_, requests_, workers_
    std::map<std::string, Faults> faults_;
    std::vector<Request> requests_;
    std::vector<std::thread> workers_;
    std::thread acceptor_;
};

}  // namespace kd::test
