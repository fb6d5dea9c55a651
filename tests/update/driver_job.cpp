#include "tests/update/driver_job.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

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
        "[--channel live|testing] [--key KEY] [--no-self-update]\n",
        stderr);
    return kExitUsage;
}

}  // namespace

int runUpdaterDriver(int argc, char** argv) {
    if (argc < 5) return usage();
    const std::string dir = argv[1], url = argv[2], keyHex = argv[3], job = argv[4];
    std::string channel = "live", testerKey;
    bool allowSelfUpdate = true;
    for (int i = 5; i < argc; ++i) {
        if (std::strcmp(argv[i], "--channel") == 0 && i + 1 < argc)
            channel = argv[++i];
        else if (std::strcmp(argv[i], "--key") == 0 && i + 1 < argc)
            testerKey = argv[++i];
        else if (std::strcmp(argv[i], "--no-self-update") == 0)
            allowSelfUpdate = false;
        else
            return usage();
    }
    Updater::ReleaseKey key{};
    if ((job != "check" && job != "install" && job != "verify") ||
        (channel != "live" && channel != "testing") || !hexDecode(keyHex, key.data(), key.size()))
        return usage();

    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    Updater updater(dir, url, key);
    updater.setStatusListener([](const UpdaterStatus& s) {
        printf("status %u %.4f %s\n", s.state, s.progress, s.message.c_str());
        fflush(stdout);
    });
    updater.setChannel(channel == "testing" ? 1 : 0, testerKey);
    if (job == "check")
        updater.check(allowSelfUpdate);
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
