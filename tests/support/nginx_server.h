// A real nginx serving a folder on 127.0.0.1 as the update server, for end-to-end tests: its
// configuration, logs and temporary files live in a folder of its own, it listens on a free port,
// and requests under "/testing/" are refused (403) unless their "X-Veilstone-Key" header holds
// exactly the accepted key. Stopped when the object goes away.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace kd::test {

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

    std::string url() const;  // "http://127.0.0.1:PORT/"

    // One line per request served so far: status, method, request URI as sent, body bytes sent
    // and the "X-Veilstone-Key" header ("-" when absent), separated by single spaces.
    std::vector<std::string> accessLog() const;
    // The requests whose URI begins with prefix (for example "/objects/").
    std::size_t countRequests(const std::string& prefix) const;
    std::string errorLog() const;

private:
    std::string root_, testingKey_;
    TempDir prefix_;  // nginx's own folder: conf, logs, temp
    std::uint16_t port_ = 0;
    std::unique_ptr<ChildProcess> process_;
};

}  // namespace kd::test
