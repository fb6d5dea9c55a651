#include "tests/support/child_process.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace kd::test {

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& workingDir,
                           const std::vector<std::string>& env, const std::string& outputPath) {
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    // The environment is built before the fork: the child of a threaded test only execs.
    std::vector<std::string> names;
    for (const std::string& entry : env) names.push_back(entry.substr(0, entry.find('=') + 1));
    std::vector<char*> environment;
    for (char** e = environ; *e; ++e) {
        bool replaced = false;
        for (const std::string& name : names) replaced = replaced || std::string(*e).rfind(name, 0) == 0;
        if (!replaced) environment.push_back(*e);
    }
    for (const std::string& entry : env) environment.push_back(const_cast<char*>(entry.c_str()));
    environment.push_back(nullptr);
    pid_ = fork();
    if (pid_ != 0) return;
    // A test that crashes runs no destructors: its programs must not outlive it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out >= 0) {
        dup2(out, 1);
        dup2(out, 2);
        close(out);
    }
    int nothing = open("/dev/null", O_RDONLY);
    if (nothing >= 0) dup2(nothing, 0);
    if (chdir(workingDir.c_str()) != 0) _exit(126);
    execve(args[0], args.data(), environment.data());
    _exit(127);
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && status_ < 0) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

int ChildProcess::wait(int timeoutMs) {
    if (pid_ <= 0 || status_ >= 0) return status_;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return status_;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < deadline);
    return -1;
}

void ChildProcess::kill(int signal) {
    if (pid_ > 0 && status_ < 0) ::kill(pid_, signal);
}

std::string runShell(const std::string& command, int* exitStatus) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        if (exitStatus) *exitStatus = -1;
        return output;
    }
    char buffer[4096];
    std::size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
    int status = pclose(pipe);
    if (exitStatus) *exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return output;
}

}  // namespace kd::test
