#include "tests/support/xvfb.h"

#include <poll.h>

namespace kd::test {

Xvfb::Xvfb(int width, int height) {
    int fds[2];
    if (pipe(fds) != 0) return;
    // -displayfd: the server picks a free display itself, so parallel tests never collide.
    // -noreset: by default it resets when its last client leaves, and refuses a client that
    // connects meanwhile (a launcher started right after another ended).
    server_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/bin/Xvfb", "-displayfd", std::to_string(fds[1]), "-screen",
                                 "0", std::to_string(width) + "x" + std::to_string(height) + "x24",
                                 "-nolisten", "tcp", "-noreset"},
        "/", std::vector<std::string>{}, "/dev/null");
    close(fds[1]);
    // The number is written once the server accepts connections.
    pollfd ready{fds[0], POLLIN, 0};
    char c;
    std::string number;
    while (poll(&ready, 1, 20000) == 1 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (!number.empty()) display_ = ":" + number;
}

Xvfb::~Xvfb() {
    if (!server_) return;
    server_->kill(SIGTERM);
    server_->wait(10000);
}

}  // namespace kd::test
