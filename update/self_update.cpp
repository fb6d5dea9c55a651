#include "update/self_update.h"

#include <unistd.h>

#include <string>
#include <system_error>
#include <vector>

#include "base/base.h"
#include "log/log.h"
#include "release/crypto.h"
#include "update/download.h"

namespace kd::launcher {

namespace fs = std::filesystem;

namespace {

constexpr const char* kNewSuffix = ".new";
constexpr const char* kOldSuffix = ".old";
constexpr const char* kUpdatedArgument = "--updated";
constexpr const char* kUpdatingMessage = "Updating the launcher";
constexpr const char* kRestartingMessage = "Restarting the launcher";

bool selfUpdate(const JobPlace& place, const Entry& launcher, const SelfUpdateSetup& setup,
                JobReport& report, std::string& error) {
    const std::string exe = setup.faults.ownPathLost ? std::string() : setup.launcherFile;
    if (exe.empty()) {
        error = "cannot find the launcher's own file";
        return false;
    }
    report.status(UpdaterState::Working, kUpdatingMessage, 0.0);

    const fs::path current = exe;
    const fs::path fresh = exe + kNewSuffix;
    const fs::path old = exe + kOldSuffix;
    std::error_code ec;
    const auto progress = [&report, &launcher](std::uint64_t received) {
        report.progress(downloadProgress(received, launcher.packedSize, 0, launcher.packedSize));
    };
    if (!fetchObjectFile(*place.servers, launcher, fresh, progress, place.cancel, error,
                         "cannot write beside the launcher"))
        return false;
    makeExecutable(fresh);
    // The new launcher is the only copy that will be left runnable; a power cut right after the
    // swap must not leave an empty file under the launcher's name.
    if (flushToDisk(fresh) != 0) {
        fs::remove(fresh, ec);
        error = "cannot write beside the launcher";
        return false;
    }

    fs::remove(old, ec);
    // A second name for the old file keeps the launcher's own name taken until one rename puts
    // the new file there: a kill or a power cut never finds that name empty. Where links cannot
    // be made, the old file is moved aside first.
    const bool linked = ::link(current.c_str(), old.c_str()) == 0;
    if (!linked) fs::rename(current, old, ec);
    if (!linked && ec) {
        fs::remove(fresh, ec);
        error = "cannot move the old launcher aside";
        return false;
    }
    if (setup.faults.placingFails)
        ec = std::make_error_code(std::errc::permission_denied);
    else
        fs::rename(fresh, current, ec);
    if (ec) {
        if (linked)
            fs::remove(old, ec);
        else
            fs::rename(old, current, ec);
        // Then the launcher's name is taken by something else and its only copy is the old one:
        // nothing more can be done from here, but whoever repairs it must know where it is.
        if (!linked && ec) launcherLog.error("the previous launcher is left at %s", old.c_str());
        error = "cannot put the new launcher in place";
        return false;
    }

    std::vector<std::string> arguments = setup.restartArgs;
    arguments.push_back(kUpdatedArgument);
    // From here the new launcher is in place; if it cannot be started, the next start uses it.
    if (!setup.startProcess(exe, arguments, place.installDir.string(), error)) return false;

    launcherLog.info("replaced itself with %s; restarting", launcher.hash.c_str());
    report.status(UpdaterState::Restarting, kRestartingMessage, -1.0);
    return true;
}

}  // namespace

bool replaceLauncherIfOutdated(const JobPlace& place, const Entry& wanted,
                               const SelfUpdateSetup& setup, JobReport& report) {
    // Without a way to restart, a replaced launcher would keep running the old code.
    if (wanted.hash.empty() || !setup.startProcess) return false;
    // An own file that cannot be read cannot be compared: leave it alone.
    const std::string own = hashFile(setup.launcherFile);
    if (own.empty() || own == wanted.hash) return false;
    std::string error;
    if (selfUpdate(place, wanted, setup, report, error)) return true;
    launcherLog.warn("self-update failed: %s", error.c_str());
    return false;
}

}  // namespace kd::launcher
