#include "tests/update/driver_job.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "app/options.h"
#include "app/process.h"
#include "release/crypto.h"
#include "update/updater.h"

namespace kd::test {

namespace {

using kd::launcher::Updater;
using kd::launcher::UpdaterState;
using kd::launcher::UpdaterStatus;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kPollMs = 5;

int usage() {
    fputs(
        "usage: updater_driver DIR SERVER_URL KEYHEX check|install|verify "
        "[--channel live|testing] [--key KEY] [--no-self-update] [--updated] "
        "[--fault own-path|placing] [--output-folder FOLDER]\n",
        stderr);
    return kExitUsage;
}

}  // namespace

int runUpdaterDriver(int argc, char** argv) {
    if (argc < 5) return usage();
    const std::vector<std::string> args(argv + 1, argv + argc);
    const std::string dir = args[0], url = args[1], keyHex = args[2], job = args[3];
    std::string channel = "live", testerKey, fault, outputFolder;
    for (std::size_t i = 4; i < args.size(); ++i) {
        const bool hasValue = i + 1 < args.size();
        if (args[i] == "--channel" && hasValue)
            channel = args[++i];
        else if (args[i] == "--key" && hasValue)
            testerKey = args[++i];
        else if (args[i] == "--fault" && hasValue)
            fault = args[++i];
        else if (args[i] == "--output-folder" && hasValue)
            outputFolder = args[++i];
        else if (args[i] != "--no-self-update" && args[i] != "--updated")
            return usage();
    }
    Updater::ReleaseKey key{};
    if ((job != "check" && job != "install" && job != "verify") ||
        (channel != "live" && channel != "testing") ||
        (!fault.empty() && fault != "own-path" && fault != "placing") ||
        !hexDecode(keyHex, key.data(), key.size()))
        return usage();
    // Self-update and the restart's arguments follow the launcher's own command line.
    const LaunchOptions options = readCommandLine(args, url);

    // A restarted copy shares the console with the copy that started it; a file per process keeps
    // their lines apart.
    if (!outputFolder.empty()) {
        const std::string path = outputFolder + "/" + std::to_string(getpid()) + ".out";
        if (!freopen(path.c_str(), "w", stdout) || dup2(fileno(stdout), STDERR_FILENO) < 0)
            return kExitUsage;
    }

    std::error_code ec;
    printf("start %d [%s]", static_cast<int>(getpid()), std::filesystem::current_path(ec).c_str());
    for (const std::string& arg : args) printf(" [%s]", arg.c_str());
    printf("\n");
    fflush(stdout);

    std::filesystem::create_directories(dir, ec);
    const bool updated = std::find(args.begin(), args.end(), "--updated") != args.end();
    // As the launcher: the folder is locked, and a restarted copy waits for the old one to let go.
    Updater updater(
        {.installDir = dir,
         .serverUrl = url,
         .releaseKey = key,
         .startProcess = kd::startProcess,
         .lockFolder = true,
         .lockWaitMs = updated ? 5000 : 0,
         .faults = {.ownPathLost = fault == "own-path", .placingFails = fault == "placing"}});
    updater.setRestartArgs(options.restartArgs);
    updater.setStatusListener([](const UpdaterStatus& s) {
        printf("status %u %.4f %s\n", s.state, s.progress, s.message.c_str());
        fflush(stdout);
    });
    updater.setChannel(channel == "testing" ? 1 : 0, testerKey);
    if (job == "check")
        updater.check(options.allowSelfUpdate);
    else
        updater.update(job == "verify");
    while (updater.busy()) std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));

    const UpdaterStatus s = updater.status();
    printf(
        "final state=%u progress=%.4f channel=%u key=%u installed=%s latest=%s download=%llu "
        "game=%d message=%s\n",
        s.state, s.progress, s.shownChannel, s.keyState, s.installedVersion.c_str(),
        s.latestVersion.c_str(), static_cast<unsigned long long>(s.downloadBytes),
        s.gameInstalled ? 1 : 0, s.message.c_str());
    fflush(stdout);
    return s.state == static_cast<std::uint32_t>(UpdaterState::Failed) ? kExitFailed : 0;
}

}  // namespace kd::test
