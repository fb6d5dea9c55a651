#include "tests/support/xvfb.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

namespace kd::test {

Xvfb::Xvfb(int width, int height) {
    int fds[2];
    if (pipe(fds) != 0) return;
    std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive a test that crashed
        close(fds[0]);
        freopen("/dev/null", "w", stdout);
        freopen("/dev/null", "w", stderr);
        // -displayfd: the server picks a free display itself, so parallel tests never collide.
        // -noreset: by default it resets when its last client leaves, and refuses a client that
        // connects meanwhile (a launcher started right after another ended).
        execlp("Xvfb", "Xvfb", "-displayfd", std::to_string(fds[1]).c_str(), "-screen", "0",
               screen.c_str(), "-nolisten", "tcp", "-noreset", (char*)nullptr);
        _exit(127);
    }
    close(fds[1]);
    // The number is written once the server accepts connections.
    std::string number;
    pollfd ready{fds[0], POLLIN, 0};
    char c;
    while (pid_ > 0 && poll(&ready, 1, 20000) == 1 && read(fds[0], &c, 1) == 1 && c != '\n')
        number += c;
    close(fds[0]);
    if (!number.empty()) display_ = ":" + number;
}

Xvfb::~Xvfb() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
}

}  // namespace kd::test
