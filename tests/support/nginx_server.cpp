#include "tests/support/nginx_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace kd::test {

namespace fs = std::filesystem;

namespace {

constexpr const char* kNginxPath = "/usr/sbin/nginx";
constexpr int kStartTimeoutMs = 10000;
constexpr int kStopTimeoutMs = 5000;
constexpr int kPollStepMs = 10;
constexpr int kPortAttempts = 5;

std::uint16_t freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    std::uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

bool accepts(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

std::string readWhole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// True when the process has ended (and is reaped).
bool waitEnded(pid_t pid, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollStepMs));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

}  // namespace

NginxServer::NginxServer(std::string root, std::string testingKey)
    : root_(fs::absolute(root).string()), testingKey_(std::move(testingKey)) {
    std::string pattern = (fs::temp_directory_path() / "veilstone-nginx-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return;
    prefix_ = pattern;
    std::error_code ec;
    for (const char* folder : {"conf", "logs", "temp"})
        fs::create_directories(prefix_ + "/" + folder, ec);
}

NginxServer::~NginxServer() {
    stop();
    std::error_code ec;
    if (!prefix_.empty()) fs::remove_all(prefix_, ec);
}

std::string NginxServer::url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

void NginxServer::writeConfig() const {
    std::ofstream conf(prefix_ + "/conf/nginx.conf", std::ios::trunc);
    conf << "daemon off;\n"
            "master_process on;\n"
            "worker_processes 1;\n";
    // Workers started by root run as nobody, who may not read a test's private folders.
    if (geteuid() == 0) conf << "user root;\n";
    conf << "pid logs/nginx.pid;\n"
            "error_log logs/error.log;\n"
            "events { worker_connections 256; }\n"
            "http {\n"
            "  client_body_temp_path temp/client;\n"
            "  proxy_temp_path temp/proxy;\n"
            "  fastcgi_temp_path temp/fastcgi;\n"
            "  uwsgi_temp_path temp/uwsgi;\n"
            "  scgi_temp_path temp/scgi;\n"
            "  log_format veilstone '$status $request_method $request_uri $body_bytes_sent "
            "$http_x_veilstone_key';\n"
            "  access_log logs/access.log veilstone;\n"
            "  default_type application/octet-stream;\n"
            "  sendfile on;\n"
            "  server {\n"
         << "    listen 127.0.0.1:" << port_ << ";\n"
         << "    root \"" << root_ << "\";\n";
    // `if` compares exactly; a map on the header would ignore letter case.
    if (testingKey_.empty())
        conf << "    location /testing/ { return 403; }\n";
    else
        conf << "    location /testing/ { if ($http_x_veilstone_key != \"" << testingKey_
             << "\") { return 403; } }\n";
    conf << "  }\n}\n";
}

bool NginxServer::launch() {
    const std::string errorLogPath = prefix_ + "/logs/error.log";
    std::vector<std::string> argv = {kNginxPath,        "-p", prefix_ + "/",   "-c",
                                     "conf/nginx.conf", "-e", "logs/error.log"};
    std::vector<char*> args;
    for (std::string& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    const std::string stderrPath = prefix_ + "/logs/stderr.log";

    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        // nginx must not outlive a test that crashes.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        const int out = open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
        }
        const int nothing = open("/dev/null", O_RDONLY);
        if (nothing >= 0) dup2(nothing, 0);
        execv(args[0], args.data());
        _exit(127);
    }
    pid_ = pid;

    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (accepts(port_)) return true;
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollStepMs));
    }
    stop();
    return false;
}

bool NginxServer::start() {
    if (running()) return true;
    if (prefix_.empty()) return false;
    const bool keepPort = port_ != 0;
    for (int attempt = 0; attempt < kPortAttempts; ++attempt) {
        // Another test may take a free port between the probe and nginx's bind: try another.
        if (!keepPort) port_ = freePort();
        writeConfig();
        if (launch()) return true;
        if (keepPort || errorLog().find("Address already in use") == std::string::npos) break;
    }
    return false;
}

void NginxServer::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    if (!waitEnded(pid_, kStopTimeoutMs)) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
}

std::vector<std::string> NginxServer::accessLog() const {
    std::vector<std::string> lines;
    std::istringstream in(readWhole(prefix_ + "/logs/access.log"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::size_t NginxServer::countRequests(const std::string& prefix) const {
    std::size_t count = 0;
    for (const std::string& line : accessLog()) {
        // status method uri ...
        const std::size_t method = line.find(' ');
        const std::size_t uri = method == std::string::npos ? method : line.find(' ', method + 1);
        if (uri != std::string::npos && line.compare(uri + 1, prefix.size(), prefix) == 0) ++count;
    }
    return count;
}

std::string NginxServer::errorLog() const {
    return readWhole(prefix_ + "/logs/error.log") + readWhole(prefix_ + "/logs/stderr.log");
}

}  // namespace kd::test
