// A program started by a test, with its output in a file, waited for with a time limit and
// killed if it is still running when the object goes away.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace kd::test {

class ChildProcess {
public:
    // argv[0] is the program's path. env entries ("NAME=value") are added to the test's own
    // environment; output (stdout and stderr) goes to outputPath.
    ChildProcess(const std::vector<std::string>& argv, const std::string& workingDir,
                 const std::vector<std::string>& env, const std::string& outputPath);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // The exit status, 128 + signal when killed by one, or -1 when still running after timeoutMs.
    int wait(int timeoutMs);
    void kill(int signal);

private:
    pid_t pid_ = -1;
    int status_ = -1;
};

// Runs a shell command and returns what it printed on stdout; exitStatus gets its status.
std::string runShell(const std::string& command, int* exitStatus = nullptr);

}  // namespace kd::test
