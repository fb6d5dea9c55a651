#include "tests/support/child_process.h"

#include <cstdio>

namespace kd::test {

std::string runShell(const std::string& command, int* exitStatus) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[4096];
    for (std::size_t got; pipe && (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        output.append(buffer, got);
    const int status = pipe ? pclose(pipe) : -1;
    if (exitStatus) *exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return output;
}

}  // namespace kd::test
