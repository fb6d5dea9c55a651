#include "tests/support/xvfb.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace kd::test {

namespace fs = std::filesystem;

Xvfb::Xvfb(int width, int height) {
    std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    // Display numbers spread by process id, so parallel tests rarely try the same one.
    for (int attempt = 0; attempt < 20 && pid_ < 0; ++attempt) {
        int number = 200 + (getpid() * 7 + attempt * 13) % 700;
        std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
        if (fs::exists("/tmp/.X" + std::to_string(number) + "-lock") || fs::exists(socket)) continue;
        std::string display = ":" + std::to_string(number);
        pid_t pid = fork();
        if (pid == 0) {
            freopen("/dev/null", "w", stdout);
            freopen("/dev/null", "w", stderr);
            execlp("Xvfb", "Xvfb", display.c_str(), "-screen", "0", screen.c_str(), "-nolisten",
                   "tcp", (char*)nullptr);
            _exit(127);
        }
        if (pid < 0) break;
        for (int waited = 0; waited < 5000; waited += 20) {
            if (fs::exists(socket)) {
                pid_ = pid;
                display_ = display;
                return;
            }
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) break;  // lost a race for the number
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

Xvfb::~Xvfb() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
}

}  // namespace kd::test
