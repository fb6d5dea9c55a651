#include "tests/support/fault_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kd::test {
namespace {

constexpr int kStepMs = 10;  // how quickly a worker notices that the server stops
constexpr int kTrickleStepMs = 50;
constexpr std::size_t kMaxRequestBytes = 65536;

bool readable(int fd) {
    pollfd wait{fd, POLLIN, 0};
    return poll(&wait, 1, kStepMs) > 0;
}

int listenOnLoopback(int backlog, std::uint16_t& port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, backlog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

std::string headerValue(const std::string& request, const std::string& lowerName) {
    std::istringstream lines(request);
    std::string line;
    std::getline(lines, line);  // the request line
    while (std::getline(lines, line)) {
        const std::size_t colon = line.find(':');
        std::string name = line.substr(0, colon);
        for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        if (colon == std::string::npos || name != lowerName) continue;
        const std::size_t start = line.find_first_not_of(' ', colon + 1);
        const std::size_t end = line.back() == '\r' ? line.size() - 1 : line.size();
        return start >= end ? "" : line.substr(start, end - start);
    }
    return "-";
}

Script fileReply(const std::string& body, bool found) {
    return Script().send(found ? reply("HTTP/1.1 200 OK", {"Content-Length: " +
                                       std::to_string(body.size()), "Connection: close"}, body)
                               : reply("HTTP/1.1 404 Not Found", {"Content-Length: 0"}, ""));
}

std::string okHeader(std::size_t length) {
    return reply("HTTP/1.1 200 OK", {"Content-Length: " + std::to_string(length)}, "");
}

}  // namespace

Script& Script::trickle(std::string_view bytes, int pauseMs) {
    for (char c : bytes) steps.push_back(Step{std::string(1, c), pauseMs});
    return *this;
}

std::string reply(std::string_view statusLine, const std::vector<std::string>& headers,
                  std::string_view body) {
    std::string out = std::string(statusLine) + "\r\n";
    for (const std::string& line : headers) out += line + "\r\n";
    return out + "\r\n" + std::string(body);
}

std::string okReply(std::string_view body) {
    return reply("HTTP/1.1 200 OK", {"Content-Length: " + std::to_string(body.size())}, body);
}

FaultServer::FaultServer(std::string root) : root_(std::move(root)) {
    listenFd_ = listenOnLoopback(64, port_);
    if (listenFd_ == -1) return;
    acceptor_ = std::thread([this] {
        while (!stop_) {
            if (!readable(listenFd_)) continue;
            const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd < 0) continue;
            std::lock_guard<std::mutex> lock(mutex_);
            workers_.emplace_back([this, fd] {
                serve(fd);
                close(fd);
            });
        }
    });
}

FaultServer::FaultServer(Script everyRequest) : FaultServer(std::string()) {
    readRequests_ = everyRequest.readRequest;
    everyRequest_ = [script = std::move(everyRequest)](const std::string&, bool) { return script; };
}

FaultServer::~FaultServer() {
    stop_ = true;
    if (acceptor_.joinable()) acceptor_.join();
    for (std::thread& worker : workers_) worker.join();  // the acceptor adds no more
    if (listenFd_ != -1) close(listenFd_);
}

std::string FaultServer::url(std::string_view path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

void FaultServer::addFault(const std::string& path, int times, MakeScript make) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_[path].push_back(Fault{std::move(make), times});
}

void FaultServer::answerStatus(const std::string& path, int status, int times) {
    addFault(path, times, [status](const std::string&, bool) {
        return Script().send(reply("HTTP/1.1 " + std::to_string(status) + " X",
                                   {"Content-Length: 0"}, ""));
    });
}

void FaultServer::delay(const std::string& path, int ms, int times) {
    addFault(path, times, [ms](const std::string& body, bool found) {
        Script script = fileReply(body, found);
        script.steps.insert(script.steps.begin(), Script::Step{"", ms});
        return script;
    });
}

void FaultServer::stallAfter(const std::string& path, std::size_t bodyBytes, int times) {
    addFault(path, times, [bodyBytes](const std::string& body, bool) {
        return Script().send(okHeader(body.size()) + body.substr(0, bodyBytes)).hang();
    });
}

void FaultServer::closeAfter(const std::string& path, std::size_t bodyBytes, int times) {
    addFault(path, times, [bodyBytes](const std::string& body, bool) {
        return Script().send(okHeader(body.size()) + body.substr(0, bodyBytes)).close();
    });
}

void FaultServer::trickle(const std::string& path, std::size_t bytesPerSecond, int times) {
    addFault(path, times, [bytesPerSecond](const std::string& body, bool) {
        const std::size_t piece = std::max<std::size_t>(1, bytesPerSecond * kTrickleStepMs / 1000);
        Script script = Script().send(okHeader(body.size()));
        for (std::size_t at = 0; at < body.size(); at += piece)
            script.steps.push_back({body.substr(at, piece), kTrickleStepMs});
        return script.hang();
    });
}

void FaultServer::play(const std::string& path, Script script, int times) {
    addFault(path, times, [script](const std::string&, bool) { return script; });
}

std::vector<FaultServer::Request> FaultServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::size_t FaultServer::count(const std::string& path) const {
    std::size_t n = 0;
    for (const Request& request : requests()) n += request.path == path;
    return n;
}

void FaultServer::serve(int fd) {
    if (!readRequests_) return play(fd, everyRequest_("", false));
    std::string request;
    char piece[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < kMaxRequestBytes) {
        if (stop_) return;
        if (!readable(fd)) continue;
        const ssize_t got = recv(fd, piece, sizeof piece, 0);
        if (got <= 0) return;
        request.append(piece, static_cast<std::size_t>(got));
    }
    std::istringstream line(request);
    std::string method, path;
    line >> method >> path;

    MakeScript make = everyRequest_;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back({path, headerValue(request, "x-veilstone-key"), request});
        for (Fault& fault : faults_[path]) {
            if (fault.times <= 0) continue;
            --fault.times;
            make = fault.make;
            break;
        }
    }
    std::string body;
    std::ifstream file(root_ + path, std::ios::binary);
    const bool found = !root_.empty() && path.find("..") == std::string::npos && file;
    if (found) body.assign(std::istreambuf_iterator<char>(file), {});
    play(fd, make ? make(body, found) : fileReply(body, found));
}

void FaultServer::play(int fd, const Script& script) {
    for (const Script::Step& step : script.steps) {
        for (std::string_view left = step.bytes; !left.empty();) {
            if (stop_) return;
            const ssize_t sent = send(fd, left.data(), left.size(), MSG_NOSIGNAL);
            if (sent > 0) {
                left.remove_prefix(static_cast<std::size_t>(sent));
                continue;
            }
            if (sent < 0 && errno != EAGAIN && errno != EINTR) return;
            pollfd wait{fd, POLLOUT, 0};
            poll(&wait, 1, kStepMs);
        }
        if (!sleepUnlessStopped(step.pauseMs)) return;
    }
    if (script.end == Script::End::Reset) {
        const linger abort{1, 0};  // close with a reset instead of a FIN
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    } else if (script.end == Script::End::Hang) {
        char scratch[4096];
        while (!stop_)
            if (readable(fd) && recv(fd, scratch, sizeof scratch, 0) <= 0) return;
    }
}

bool FaultServer::sleepUnlessStopped(int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stop_ && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, kStepMs)));
    return !stop_;
}

FullListener::FullListener() {
    // With a backlog of 0 the queue holds one connection; the kernel then drops further SYNs.
    listenFd_ = listenOnLoopback(0, port_);
    if (listenFd_ == -1) throw std::runtime_error("cannot listen");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port_);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int attempt = 0; attempt < 8; ++attempt) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
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
    std::uint16_t port = 0;
    const int probe = listenOnLoopback(1, port);
    if (probe != -1) close(probe);  // nothing listens on that port once it is closed
    return probe == -1 ? 0 : port;
}

}  // namespace kd::test
