// A program started by a test, with its output in a file, waited for with a time limit and
// killed if it is still running when the object goes away. Inline, so that a benchmark can use it
// with only the server it needs.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kd::test {

class ChildProcess {
public:
    // argv[0] is the program's path. env entries ("NAME=value") are added to the test's own
    // environment, replacing any of the same name; stdout and stderr go to outputPath.
    ChildProcess(const std::vector<std::string>& argv, const std::string& workingDir,
                 const std::vector<std::string>& env, const std::string& outputPath) {
        // Everything is built before the fork: the child of a threaded test only execs.
        std::vector<char*> args, environment;
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        for (char** e = environ; *e; ++e)
            if (std::none_of(env.begin(), env.end(), [&](const std::string& entry) {
                    return std::string_view(*e).starts_with(entry.substr(0, entry.find('=') + 1));
                }))
                environment.push_back(*e);
        for (const std::string& entry : env)
            environment.push_back(const_cast<char*>(entry.c_str()));
        args.push_back(nullptr);
        environment.push_back(nullptr);
        pid_ = fork();
        if (pid_ != 0) return;
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // a crashed test runs no destructors
        const int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int nothing = open("/dev/null", O_RDONLY);
        if (out < 0 || nothing < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0 ||
            dup2(nothing, 0) < 0 || chdir(workingDir.c_str()) != 0)
            _exit(126);
        execve(args[0], args.data(), environment.data());
        _exit(127);
    }
    ~ChildProcess() {
        kill(SIGKILL);
        if (pid_ > 0 && status_ < 0) waitpid(pid_, nullptr, 0);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // The exit status, 128 + signal when killed by one, or -1 when still running after timeoutMs.
    int wait(int timeoutMs) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (int status = 0; pid_ > 0 && status_ < 0;) {
            if (waitpid(pid_, &status, WNOHANG) == pid_)
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            else if (std::chrono::steady_clock::now() >= deadline)
                break;
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return status_;
    }
    void kill(int signal) {
        if (pid_ > 0 && status_ < 0) ::kill(pid_, signal);
    }

private:
    pid_t pid_ = -1;
    int status_ = -1;
};

// Runs a shell command and returns what it printed on stdout; exitStatus gets its status.
std::string runShell(const std::string& command, int* exitStatus = nullptr);

}  // namespace kd::test
