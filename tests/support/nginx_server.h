// A real nginx serving a folder on 127.0.0.1 as the update server, for end-to-end tests: its
// configuration, logs and temporary files live in a folder of its own, it listens on a free port
// (and on a second one with TLS when asked), and requests under "/testing/" are refused (403)
// unless their "X-Veilstone-Key" header holds exactly the accepted key. Stopped when the object
// goes away. TestCa makes the certificates for TLS with the openssl command.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace kd::test {

struct TlsFiles {  // PEM files
    std::string certificate, key;
};

// A root certificate of the test's own in folder, and leaf certificates it signs. A process trusts
// it once SSL_CERT_FILE names rootFile() (before its first TLS connection).
class TestCa {
public:
    explicit TestCa(std::string folder);
    bool ok() const { return ok_; }
    const std::string& rootFile() const { return root_.certificate; }
    // A leaf for the subjectAltName entries given; days < 0 makes one that has already expired.
    // Empty files when openssl failed.
    TlsFiles issue(const std::string& name,
                   const std::string& altNames = "DNS:localhost,IP:127.0.0.1", int days = 30);

private:
    std::string folder_;
    TlsFiles root_;
    bool ok_ = false;
};

class NginxServer {
public:
    // testingKey: the one accepted key (letters, digits and '-'); empty refuses every "/testing/"
    // request. Nothing runs until start().
    NginxServer(std::string root, std::string testingKey);
    ~NginxServer();

    // Starts nginx and waits until it accepts connections. The port chosen on the first start is
    // kept, so the same URL works after stop() and start(). On false, errorLog() tells why.
    bool start();
    void stop();

    // Before start: serve the same folder with TLS too, on a port of its own.
    void serveTls(TlsFiles files) { tls_ = std::move(files); }
    // Before start: instead of serving the folder, be a caching proxy in front of origin, as
    // docs/cdn.md tells publishers: objects kept for 30 days, manifests and news for
    // textSeconds, nothing under "/testing/" kept at all.
    void cacheFor(const std::string& origin, int textSeconds) {
        cacheOrigin_ = origin;
        textSeconds_ = textSeconds;
    }
    // Before start: answer a request for exactly path with status and this Location (relative
    // ones are sent as they are).
    void redirect(const std::string& path, int status, const std::string& location);
    // Before start: send every reply at most this fast, so that a test can stop a download part
    // way through.
    void limitRate(std::size_t bytesPerSecond) {
        redirects_ += "    limit_rate " + std::to_string(bytesPerSecond) + ";\n";
    }

    std::string url() const;                                             // "http://127.0.0.1:PORT/"
    std::string secureUrl(const std::string& host = "localhost") const;  // "https://HOST:PORT/"
    std::uint16_t port() const { return port_; }

    // One line per request served so far: status, method, request URI as sent, body bytes sent
    // and the "X-Veilstone-Key" header ("-" when absent), separated by single spaces.
    std::vector<std::string> accessLog() const;
    // How many connections have carried the requests so far.
    std::size_t connections() const;
    // The requests whose URI begins with prefix (for example "/objects/").
    std::size_t countRequests(const std::string& prefix) const;
    std::string errorLog() const;

private:
    std::string root_, testingKey_;
    TempDir prefix_;  // nginx's own folder: conf, logs, temp
    std::uint16_t port_ = 0, tlsPort_ = 0;
    TlsFiles tls_;
    std::string redirects_;  // location blocks and other server directives
    std::string cacheOrigin_;
    int textSeconds_ = 0;
    std::unique_ptr<ChildProcess> process_;
};

}  // namespace kd::test
