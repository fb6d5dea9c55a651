#include "tests/support/fault_server.h"

#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <stdexcept>

namespace kd::test {
namespace {

constexpr int kStepMs = 10;  // how quickly a worker notices that the server stops

bool ready(int fd, short events) {
    pollfd wait{fd, events, 0};
    return poll(&wait, 1, kStepMs) > 0;
}

sockaddr_in loopback(std::uint16_t port) {
    return {.sin_family = AF_INET, .sin_port = htons(port), .sin_addr = {htonl(INADDR_LOOPBACK)}};
}

int listenOnLoopback(int backlog, std::uint16_t& port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    auto* raw = reinterpret_cast<sockaddr*>(&address);
    if (bind(fd, raw, length) != 0 || listen(fd, backlog) != 0 ||
        getsockname(fd, raw, &length) != 0)
        throw std::runtime_error("cannot listen on loopback");
    port = ntohs(address.sin_port);
    return fd;
}

std::string okHeader(std::size_t length) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
}

const char* const kNotFound = "HTTP/1.1 404 X\r\n\r\n";

}  // namespace

Script& Script::trickle(std::string_view bytes, int pauseMs, std::size_t pieceBytes) {
    for (std::size_t at = 0; at < bytes.size(); at += pieceBytes)
        steps.push_back(Step{std::string(bytes.substr(at, pieceBytes)), pauseMs});
    return *this;
}

std::string reply(std::string_view statusLine, const std::vector<std::string>& headers,
                  std::string_view body) {
    std::string out = std::string(statusLine) + "\r\n";
    for (const std::string& line : headers) out += line + "\r\n";
    return out + "\r\n" + std::string(body);
}

std::string okReply(std::string_view body) { return okHeader(body.size()) + std::string(body); }

FaultServer::FaultServer(std::string root) : root_(std::move(root)) {
    listenFd_ = listenOnLoopback(64, port_);
    acceptor_ = std::thread([this] {
        while (!stop_) {
            const int fd = ready(listenFd_, POLLIN)
                               ? accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)
                               : -1;
            std::lock_guard<std::mutex> lock(mutex_);
            if (fd != -1)
                workers_.emplace_back([this, fd] {
                    serve(fd);
                    close(fd);
                });
        }
    });
}

FaultServer::FaultServer(Script everyRequest) : FaultServer(std::string()) {
    everyRequest_ = std::move(everyRequest);
    scripted_ = true;
}

FaultServer::~FaultServer() {
    stop_ = true;
    acceptor_.join();
    for (std::thread& worker : workers_) worker.join();  // the acceptor adds no more
    close(listenFd_);
}

void FaultServer::addFault(const std::string& path, int times, MakeScript make) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_[path].emplace_back(std::move(make), times);
}

void FaultServer::answerStatus(const std::string& path, int status, int times) {
    const std::string line = "HTTP/1.1 " + std::to_string(status) + " X";
    play(path, Script().send(reply(line, {"Content-Length: 0"}, "")), times);
}

void FaultServer::play(const std::string& path, Script script, int times) {
    addFault(path, times, [script](const std::string&, bool) { return script; });
}

void FaultServer::delay(const std::string& path, int ms, int times) {
    addFault(path, times, [ms](const std::string& file, bool found) {
        return Script().pause(ms).send(found ? okReply(file) : kNotFound);
    });
}

void FaultServer::stallAfter(const std::string& path, std::size_t bodyBytes, int times) {
    addFault(path, times, [bodyBytes](const std::string& file, bool) {
        return Script().send(okHeader(file.size()) + file.substr(0, bodyBytes)).hang();
    });
}

std::vector<FaultServer::Request> FaultServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::size_t FaultServer::count(const std::string& path) const {
    const std::vector<Request> all = requests();
    return std::count_if(all.begin(), all.end(), [&](const Request& r) { return r.path == path; });
}

void FaultServer::serve(int fd) {
    std::string request;
    char piece[4096];
    while (request.find("\r\n\r\n") == std::string::npos && everyRequest_.readRequest) {
        if (stop_) return;
        if (!ready(fd, POLLIN)) continue;
        const ssize_t got = recv(fd, piece, sizeof piece, 0);
        if (got <= 0 && !(got < 0 && errno == EAGAIN)) return;
        request.append(piece, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    }
    const std::size_t pathAt = request.find(' ') + 1;
    const std::string path = request.substr(pathAt, request.find(' ', pathAt) - pathAt);
    std::ifstream in(root_ + path, std::ios::binary);
    const bool found = !root_.empty() && path.find("..") == std::string::npos && in;
    const std::string file = found ? std::string(std::istreambuf_iterator<char>(in), {}) : "";
    Script script = scripted_ ? everyRequest_ : Script().send(found ? okReply(file) : kNotFound);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!request.empty()) requests_.push_back({path, request});
        auto& faults = faults_[path];
        auto fault =
            std::find_if(faults.begin(), faults.end(), [](auto& f) { return f.second > 0; });
        if (fault != faults.end()) script = (--fault->second, fault->first(file, found));
    }
    for (const Script::Step& step : script.steps) {
        for (std::string_view left = step.bytes; !left.empty() && !stop_; ready(fd, POLLOUT)) {
            const ssize_t sent = send(fd, left.data(), left.size(), MSG_NOSIGNAL);
            if (sent < 0 && errno != EAGAIN) return;
            left.remove_prefix(static_cast<std::size_t>(std::max<ssize_t>(sent, 0)));
        }
        const auto until =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(step.pauseMs);
        while (!stop_ && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(step.pauseMs, kStepMs)));
        if (stop_) return;
    }
    const linger abort{1, 0};  // close with a reset instead of a FIN
    if (script.end == Script::End::Reset) setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, 8);
    char scratch[4096];
    while (script.end == Script::End::Hang && !stop_)
        if (ready(fd, POLLIN) && recv(fd, scratch, sizeof scratch, 0) <= 0) return;
}

// With a backlog of 0 the queue holds one connection; the kernel then drops further SYNs.
FullListener::FullListener() : fds{listenOnLoopback(0, port)} {
    const sockaddr_in address = loopback(port);
    while (fds.size() < 9) {
        pollfd entry{socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0), POLLOUT, 0};
        fds.push_back(entry.fd);
        connect(entry.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        if (poll(&entry, 1, 200) == 0) return;  // this one is left waiting: the queue is full
    }
    throw std::runtime_error("cannot fill an accept queue");
}

FullListener::~FullListener() {
    for (int fd : fds) close(fd);
}

}  // namespace kd::test
