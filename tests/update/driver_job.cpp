#include "tests/update/driver_job.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/options.h"
#include "app/process.h"
#include "release/crypto.h"
#include "update/updater.h"

namespace kd::test {

int runUpdaterDriver(int argc, char** argv) {
    using launcher::Updater;
    const std::vector<std::string> args(argv + 1, argv + argc);
    Updater::ReleaseKey key{};
    const std::string job = args.size() < 4 ? "" : args[3];
    if ((job != "check" && job != "install" && job != "verify") ||
        !hexDecode(args[2], key.data(), key.size())) {
        fputs("usage: updater_driver DIR SERVER_URL KEYHEX check|install|verify [OPTION]...\n",
              stderr);
        return 2;
    }
    const auto faultAt = std::find(args.begin(), args.end(), "--fault");
    const std::string fault = faultAt < args.end() - 1 ? faultAt[1] : "";
    const auto connectionsAt = std::find(args.begin(), args.end(), "--connections");
    const int connections =
        connectionsAt < args.end() - 1 ? std::atoi(connectionsAt[1].c_str()) : 8;
    // Self-update and the restart's arguments follow the launcher's own command line.
    const LaunchOptions options = readCommandLine(args, args[1]);
    std::error_code ec;
    std::filesystem::create_directories(args[0], ec);
    const bool updated = std::count(args.begin(), args.end(), "--updated") > 0;
    // A restarted copy waits for the one that started it to let go of the folder.
    Updater updater(
        {.installDir = args[0],
         .serverUrl = args[1],
         .releaseKey = key,
         .connections = connections,
         .startProcess = startProcess,
         .lockFolder = true,
         .lockWaitMs = updated ? 5000 : 0,
         .faults = {.ownPathLost = fault == "own-path", .placingFails = fault == "placing"}});
    updater.setRestartArgs(options.restartArgs);
    updater.setStatusListener([](const launcher::UpdaterStatus& s) {
        printf("status %u %.4f %s\n", static_cast<unsigned>(s.state), s.progress,
               s.message.c_str());
        fflush(stdout);
    });
    if (job == "check")
        updater.check(options.allowSelfUpdate);
    else
        updater.update(job == "verify");
    while (updater.busy()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const launcher::UpdaterStatus s = updater.status();
    // The process's own peak, before the last line, which tests read: a parent's wait4 also
    // counts what it shared with the child between fork and exec (for a benchmark, its big file).
    std::ifstream memory("/proc/self/status");
    for (std::string line; std::getline(memory, line);)
        if (line.starts_with("VmHWM:")) printf("peak %s\n", line.c_str() + 6);
    printf("final state=%u message=%s\n", static_cast<unsigned>(s.state), s.message.c_str());
    fflush(stdout);
    return s.state == launcher::UpdaterState::Failed ? 1 : 0;
}

}  // namespace kd::test
