#include "tests/support/nginx_server.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace kd::test {

namespace fs = std::filesystem;

namespace {

// A port nothing listens on now; another program may still take it before nginx does.
std::uint16_t freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{.sin_family = AF_INET, .sin_addr = {htonl(INADDR_LOOPBACK)}};
    socklen_t length = sizeof address;
    auto* raw = reinterpret_cast<sockaddr*>(&address);
    const bool bound = bind(fd, raw, length) == 0 && getsockname(fd, raw, &length) == 0;
    close(fd);
    return bound ? ntohs(address.sin_port) : 0;
}

bool run(const std::string& command) { return system(command.c_str()) == 0; }

}  // namespace

// Elliptic-curve keys: quick to make, and the handshake's signature is cheap too.
constexpr const char* kNewKey =
    "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";

TestCa::TestCa(std::string folder) : folder_(std::move(folder)) {
    root_ = {folder_ + "/root.crt", folder_ + "/root.key"};
    fs::create_directories(folder_);
    ok_ = run(std::string(kNewKey) + " -x509 -days 30 -subj /CN=veilstone-test-root -keyout " +
              root_.key + " -out " + root_.certificate + " 2>>" + folder_ + "/openssl.log");
}

TlsFiles TestCa::issue(const std::string& name, const std::string& altNames, int days) {
    const std::string base = folder_ + "/" + name, log = " 2>>" + folder_ + "/openssl.log";
    writeText(base + ".ext", "subjectAltName=" + altNames + "\n");
    // -days below zero puts the end of the validity before its start, which is now.
    if (!ok_ ||
        !run(std::string(kNewKey) + " -subj /CN=" + name + " -keyout " + base + ".key -out " +
             base + ".csr" + log) ||
        !run("openssl x509 -req -in " + base + ".csr -CA " + root_.certificate + " -CAkey " +
             root_.key + " -set_serial " + std::to_string(std::rand()) + " -days " +
             std::to_string(days) + " -extfile " + base + ".ext -out " + base + ".crt" + log))
        return {};
    return {base + ".crt", base + ".key"};
}

NginxServer::NginxServer(std::string root, std::string testingKey)
    : root_(fs::absolute(root).string()), testingKey_(std::move(testingKey)) {
    for (const char* folder : {"conf", "logs", "temp", "cache"})
        if (!prefix_.path().empty()) fs::create_directories(prefix_ / folder);
}

NginxServer::~NginxServer() { stop(); }

std::string NginxServer::url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

std::string NginxServer::secureUrl(const std::string& host) const {
    return "https://" + host + ":" + std::to_string(tlsPort_) + "/";
}

void NginxServer::redirect(const std::string& path, int status, const std::string& location) {
    redirects_ += "    location = " + path + " { return " + std::to_string(status) + " \"" +
                  location + "\"; }\n";
}

bool NginxServer::start() {
    if (process_) return true;
    if (prefix_.path().empty()) return false;
    const bool keepPort = port_ != 0;
    std::string origin = cacheOrigin_;
    if (!origin.empty() && origin.back() == '/') origin.pop_back();
    const auto cached = [&](const std::string& where, const std::string& valid) {
        return "    location " + where + " { proxy_pass " + origin +
               "; proxy_cache veilstone; proxy_cache_valid 200 " + valid + "; }\n";
    };
    // The testing folder is passed on, key and all, on every request.
    const std::string serving =
        origin.empty()
            ? (testingKey_.empty() ? "    location /testing/ { return 403; }\n"
                                   // `if` compares exactly; a map would ignore letter case.
                                   : "    location /testing/ { if ($http_x_veilstone_key != \"" +
                                         testingKey_ + "\") { return 403; } }\n")
            : cached("^~ /objects/", "30d") + "    location ^~ /testing/ { proxy_pass " + origin +
                  "; }\n" + cached("/", std::to_string(textSeconds_) + "s");
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (!keepPort) port_ = freePort();
        if (!keepPort && !tls_.certificate.empty()) tlsPort_ = freePort();
        // One process, so that nothing of it outlives a test that crashed.
        std::ofstream(prefix_ / "conf/nginx.conf", std::ios::trunc)
            << "daemon off;\nmaster_process off;\npid logs/nginx.pid;\n"
               "error_log stderr;\nevents { worker_connections 256; }\n"
               "http {\n  client_body_temp_path temp/client;\n  proxy_temp_path temp/proxy;\n"
               "  fastcgi_temp_path temp/fastcgi;\n  uwsgi_temp_path temp/uwsgi;\n"
               "  scgi_temp_path temp/scgi;\n  proxy_cache_path cache keys_zone=veilstone:1m;\n"
               "  log_format veilstone '$status $request_method $request_uri $body_bytes_sent "
               "$http_x_veilstone_key';\n"
               "  access_log logs/access.log veilstone;\n"
               "  log_format connection '$pid $connection';\n"
               "  access_log logs/connections.log connection;\n"
               "  default_type application/octet-stream;\n  sendfile on;\n  server {\n"
            << "    listen 127.0.0.1:" << port_ << ";\n    root \"" << root_
            << "\";\n    absolute_redirect off;\n"
            << redirects_
            << (tls_.certificate.empty()
                    ? ""
                    : "    listen 127.0.0.1:" + std::to_string(tlsPort_) +
                          " ssl;\n    ssl_protocols TLSv1.2 TLSv1.3;\n    ssl_certificate \"" +
                          tls_.certificate + "\";\n    ssl_certificate_key \"" + tls_.key + "\";\n")
            << serving << "  }\n}\n";
        const std::string pidFile = prefix_ / "logs/nginx.pid";
        fs::remove(pidFile);
        process_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/usr/sbin/nginx", "-p", prefix_ / "", "-c", "conf/nginx.conf",
                                     "-e", "stderr"},
            prefix_.path(), std::vector<std::string>{}, prefix_ / "logs/error.log");
        // The pid file is written once the port is bound and listening.
        for (int waited = 0; waited < 10000 && process_->wait(10) < 0; waited += 10)
            if (fs::exists(pidFile)) return true;
        process_.reset();
        // Another program may have taken the free port meanwhile: try another.
        if (keepPort || errorLog().find("Address already in use") == std::string::npos) break;
    }
    return false;
}

void NginxServer::stop() {
    if (!process_) return;
    process_->kill(SIGTERM);
    process_->wait(5000);
    process_.reset();
}

std::vector<std::string> NginxServer::accessLog() const {
    std::vector<std::string> lines;
    std::istringstream in(readText(prefix_ / "logs/access.log"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::size_t NginxServer::countRequests(const std::string& prefix) const {
    std::size_t count = 0;
    for (const std::string& line : accessLog()) {
        // status method uri ...
        const std::size_t uri = line.find(' ', line.find(' ') + 1);
        if (uri != std::string::npos && line.compare(uri + 1, prefix.size(), prefix) == 0) ++count;
    }
    return count;
}

std::size_t NginxServer::connections() const {
    std::istringstream in(readText(prefix_ / "logs/connections.log"));
    std::set<std::string> seen;
    for (std::string line; std::getline(in, line);) seen.insert(line);
    return seen.size();
}

std::string NginxServer::errorLog() const { return readText(prefix_ / "logs/error.log"); }

}  // namespace kd::test
