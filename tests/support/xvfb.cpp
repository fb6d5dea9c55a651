#include "tests/support/xvfb.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace kd::test {

namespace {

constexpr int kStartTimeoutMs = 10000;
constexpr int kSettleUs = 100000;
constexpr int kAttempts = 5;

// Starts one server; on success sets pid and display.
bool startServer(const std::string& screen, pid_t& serverPid, std::string& display) {
    // -displayfd lets the server pick a free display itself and tell us which, so tests running
    // in parallel never race for the same number.
    int fds[2];
    if (pipe(fds) != 0) return false;
    std::string fd = std::to_string(fds[1]);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        freopen("/dev/null", "w", stdout);
        freopen("/dev/null", "w", stderr);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(),
               "-nolisten", "tcp", (char*)nullptr);
        _exit(127);
    }
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return false;
    }
    std::string number;
    pollfd readable{fds[0], POLLIN, 0};
    while (poll(&readable, 1, kStartTimeoutMs) == 1) {
        char c;
        if (read(fds[0], &c, 1) != 1 || c == '\n') break;
        number += c;
    }
    close(fds[0]);
    // A server that exits while another starts on its number can take the newcomer's socket
    // path with it; a moment later a client would find no server. Check before trusting it.
    usleep(kSettleUs);
    std::string probe = "xdpyinfo -display :" + number + " >/dev/null 2>&1";
    if (number.empty() || system(probe.c_str()) != 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return false;
    }
    serverPid = pid;
    display = ":" + number;
    return true;
}

}  // namespace

Xvfb::Xvfb(int width, int height) {
    std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    for (int attempt = 0; attempt < kAttempts && pid_ < 0; ++attempt)
        startServer(screen, pid_, display_);
}

Xvfb::~Xvfb() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
}

}  // namespace kd::test
