// Self-update. A release names the launcher executable that belongs to
// it; a launcher whose own file differs downloads that one as an ordinary object, renames it onto
// its own name (the previous file stays beside it as ".old" until the next start removes it) and
// starts the new copy with its own arguments plus "--updated", which keeps the new copy from trying
// again.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "release/manifest.h"
#include "update/job.h"

namespace kd::launcher {

// Faults a test process may ask the self-update for. Two of its failures have only one real cause:
// another program touching the launcher's folder at an exact moment (the own path vanishing
// between the check's hash and the download; the new file refusing to move into place right after
// the running one was moved aside). No test can time that.
struct SelfUpdateFaults {
    bool ownPathLost = false;   // the own path cannot be found when the self-update starts
    bool placingFails = false;  // renaming the new launcher onto the running one's name fails
};

// Starts program with these arguments in workingDir, detached; false with errorText otherwise.
using StartProcessFn =
    std::function<bool(const std::string& program, const std::vector<std::string>& arguments,
                       const std::string& workingDir, std::string& errorText)>;

struct SelfUpdateSetup {
    std::string launcherFile;  // the running launcher's executable
    StartProcessFn startProcess;
    std::vector<std::string> restartArgs;  // without "--updated"
    SelfUpdateFaults faults;
};

// True when a new launcher was put in place and started: the state is then Restarting and the job
// ends. Failures are logged and the check goes on with the launcher that runs.
bool replaceLauncherIfOutdated(const JobPlace& place, const Entry& wanted,
                               const SelfUpdateSetup& setup, JobReport& report);

}  // namespace kd::launcher
