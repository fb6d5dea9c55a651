#include "tests/update/fault_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <fstream>
#include <sstream>

namespace kd::test {

namespace {

constexpr int kStepMs = 20;
constexpr std::size_t kMaxRequestBytes = 65536;

bool sendAll(int fd, const char* bytes, std::size_t length) {
    while (length > 0) {
        const ssize_t sent = send(fd, bytes, length, MSG_NOSIGNAL);
        if (sent <= 0) return false;
        bytes += sent;
        length -= static_cast<std::size_t>(sent);
    }
    return true;
}

std::string headerValue(const std::string& request, const std::string& lowerName) {
    std::istringstream lines(request);
    std::string line;
    std::getline(lines, line);  // request line
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string name = line.substr(0, colon);
        for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        if (name != lowerName) continue;
        std::size_t start = colon + 1;
        while (start < line.size() && line[start] == ' ') ++start;
        return line.substr(start);
    }
    return "-";
}

}  // namespace

FaultServer::FaultServer(std::string root) : root_(std::move(root)) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 64) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        return;
    }
    listenFd_ = fd;
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

FaultServer::~FaultServer() {
    stop_ = true;
    if (acceptor_.joinable()) acceptor_.join();
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        workers.swap(workers_);
    }
    for (std::thread& worker : workers) worker.join();
    if (listenFd_ != -1) close(listenFd_);
}

std::string FaultServer::url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

void FaultServer::answerStatus(const std::string& path, int status, int times) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_[path].status = status;
    faults_[path].statusTimes = times;
}

void FaultServer::delay(const std::string& path, int ms, int times) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_[path].delayMs = ms;
    faults_[path].delayTimes = times;
}

void FaultServer::stallAfter(const std::string& path, std::size_t bodyBytes, int times) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_[path].stallBytes = bodyBytes;
    faults_[path].stallTimes = times;
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

void FaultServer::acceptLoop() {
    while (!stop_) {
        pollfd wait{listenFd_, POLLIN, 0};
        if (poll(&wait, 1, kStepMs) <= 0) continue;
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        workers_.emplace_back([this, fd] {
            serve(fd);
            close(fd);
        });
    }
}

bool FaultServer::sleepUnlessStopped(int ms) {
    for (int slept = 0; slept < ms && !stop_; slept += kStepMs)
        std::this_thread::sleep_for(std::chrono::milliseconds(kStepMs));
    return !stop_;
}

void FaultServer::waitForClientToLeave(int fd) {
    char scratch[4096];
    while (!stop_) {
        pollfd wait{fd, POLLIN, 0};
        if (poll(&wait, 1, kStepMs) <= 0) continue;
        if (recv(fd, scratch, sizeof scratch, 0) <= 0) return;
    }
}

void FaultServer::serve(int fd) {
    std::string request;
    char piece[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < kMaxRequestBytes) {
        pollfd wait{fd, POLLIN, 0};
        if (stop_) return;
        if (poll(&wait, 1, kStepMs) <= 0) continue;
        const ssize_t got = recv(fd, piece, sizeof piece, 0);
        if (got <= 0) return;
        request.append(piece, static_cast<std::size_t>(got));
    }
    std::istringstream line(request);
    std::string method, path;
    line >> method >> path;

    Faults faults;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back({path, headerValue(request, "x-veilstone-key")});
        auto found = faults_.find(path);
        if (found != faults_.end()) {
            Faults& f = found->second;
            if (f.statusTimes > 0) {
                --f.statusTimes;
                faults.status = f.status;
            }
            if (f.delayTimes > 0) {
                --f.delayTimes;
                faults.delayMs = f.delayMs;
            }
            if (f.stallTimes > 0) {
                --f.stallTimes;
                faults.stallTimes = 1;
                faults.stallBytes = f.stallBytes;
            }
        }
    }
    if (faults.delayMs > 0 && !sleepUnlessStopped(faults.delayMs)) return;

    std::string body;
    int status = faults.status;
    if (status == 0) {
        std::ifstream file(root_ + path, std::ios::binary);
        if (path.find("..") != std::string::npos || !file) {
            status = 404;
        } else {
            std::stringstream content;
            content << file.rdbuf();
            body = content.str();
            status = 200;
        }
    }
    const std::string header = "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Length: " +
                               std::to_string(status == 200 ? body.size() : 0) +
                               "\r\nConnection: close\r\n\r\n";
    if (!sendAll(fd, header.data(), header.size())) return;
    if (status != 200) return;
    if (faults.stallTimes > 0) {
        sendAll(fd, body.data(), std::min(faults.stallBytes, body.size()));
        waitForClientToLeave(fd);
        return;
    }
    sendAll(fd, body.data(), body.size());
}

}  // namespace kd::test
