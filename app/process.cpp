#include "app/process.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "app/process_internal.h"

namespace kd {
namespace {

constexpr int kExecFailedStatus = 127;
constexpr int kForkFailedStatus = 126;  // the intermediate child could not fork the program
std::string folderOpener = "/usr/bin/xdg-open";

}  // namespace

void setFolderOpenerForTesting(const std::string& path) { folderOpener = path; }

bool startProcess(const std::string& program, const std::vector<std::string>& arguments,
                  const std::string& workingDir, std::string& errorText) {
    // Everything the children need is built before the first fork: the launcher has a worker
    // thread, and allocating in a forked copy of a threaded process can deadlock on a heap lock
    // held by that thread. The children call only async-signal-safe functions.
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const char* path = program.c_str();
    const char* folder = workingDir.c_str();

    pid_t pid = fork();
    if (pid < 0) {
        errorText = "could not start the game (fork failed)";
        return false;
    }
    if (pid == 0) {
        // The intermediate child: a new session, then a grandchild that init adopts once this
        // child exits, so the launcher never has to wait for the program.
        setsid();
        const pid_t grandchild = fork();
        if (grandchild != 0) _exit(grandchild < 0 ? kForkFailedStatus : 0);
        if (chdir(folder) != 0) _exit(kExecFailedStatus);
        execv(path, argv.data());
        _exit(kExecFailedStatus);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    // Without this, a refused second fork would pass for a started program.
    if (WIFEXITED(status) && WEXITSTATUS(status) == kForkFailedStatus) {
        errorText = "could not start the game (fork failed)";
        return false;
    }
    return true;
}

bool openFolder(const std::string& folder, std::string& error) {
    // Checked here because a program that does not run fails only in the detached child.
    if (access(folderOpener.c_str(), X_OK) != 0) {
        error = "cannot open the game folder: " + folderOpener + " cannot be run";
        return false;
    }
    if (startProcess(folderOpener, {folder}, folder, error)) return true;
    error = "cannot open the game folder (fork failed)";
    return false;
}

}  // namespace kd
