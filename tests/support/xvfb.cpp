#include "tests/support/xvfb.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

namespace kd::test {

namespace {

constexpr int kStartTimeoutMs = 10000;
constexpr int kAttempts = 8;
constexpr int kFirstDisplay = 1000;
constexpr int kDisplayRange = 30000;

// Display numbers are drawn at random from a wide range, so tests running in parallel rarely try
// the same one; a server whose number is taken exits at once and another number is tried.
bool startServer(const std::string& screen, int number, pid_t& serverPid, std::string& display) {
    std::string name = ":" + std::to_string(number);
    std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
    if (std::filesystem::exists("/tmp/.X" + std::to_string(number) + "-lock") ||
        std::filesystem::exists(socket))
        return false;
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive a test that crashed
        freopen("/dev/null", "w", stdout);
        freopen("/dev/null", "w", stderr);
        // -noreset: by default the server resets when its last client leaves, and a client that
        // connects during the reset is refused (a launcher started right after another ended).
        execlp("Xvfb", "Xvfb", name.c_str(), "-screen", "0", screen.c_str(), "-nolisten", "tcp",
               "-noreset", (char*)nullptr);
        _exit(127);
    }
    if (pid < 0) return false;
    std::string probe = "xdpyinfo -display " + name + " >/dev/null 2>&1";
    for (int waited = 0; waited < kStartTimeoutMs; waited += 50) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) return false;  // the number was taken
        if (std::filesystem::exists(socket) && system(probe.c_str()) == 0) {
            serverPid = pid;
            display = name;
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return false;
}

}  // namespace

Xvfb::Xvfb(int width, int height) {
    std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    std::mt19937 random(std::random_device{}() ^ unsigned(getpid()));
    for (int attempt = 0; attempt < kAttempts && pid_ < 0; ++attempt) {
        int number = kFirstDisplay + int(random() % kDisplayRange);
        startServer(screen, number, pid_, display_);
    }
}

Xvfb::~Xvfb() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
}

}  // namespace kd::test
