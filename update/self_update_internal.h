// Test seam of the self-update. Two of its failures have only one real cause: another program
// touching the launcher's folder at an exact moment (the own path vanishing between the check's
// hash and the download; the new file refusing to move into place right after the running one was
// moved aside). No test can time that, so a test process may ask for them here. The normal
// launcher never calls this.
#pragma once

namespace kd::launcher {

struct SelfUpdateFaults {
    bool ownPathLost = false;   // the own path cannot be found when the self-update starts
    bool placingFails = false;  // renaming the new launcher onto the running one's name fails
};

// Set before the first job; applies to every later self-update of this process.
void setSelfUpdateFaultsForTesting(const SelfUpdateFaults& faults);

}  // namespace kd::launcher
