// The Updater itself: its status record, the one-job-at-a-time worker, channels and the update
// check (installed state, news, manifest, the key fall-back and the offline fall-back).
#include "update/updater.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <exception>
#include <new>
#include <system_error>
#include <utility>

#include "base/base.h"
#include "log/log.h"
#include "net/http.h"
#include "release/crypto.h"
#include "update/release_check.h"
#include "update/updater_internal.h"

namespace kd::launcher {

namespace fs = std::filesystem;

namespace {

constexpr const char* kNewsName = "news.txt";
constexpr const char* kManifestPrefix = "manifest-";
constexpr const char* kTestingFolder = "testing/";
constexpr const char* kKeyHeader = "X-Veilstone-Key: ";
constexpr int kStatusForbidden = 403;
constexpr std::size_t kSizeTextBytes = 32;
constexpr std::uint64_t kKiB = 1024;
constexpr std::uint64_t kMiB = kKiB * 1024;
constexpr std::uint64_t kGiB = kMiB * 1024;

constexpr const char* kLookingMessage = "Looking for updates";
constexpr const char* kOfflineMessage = "Offline: playing what is installed";
constexpr const char* kKeyRefusedMessage = "Playtester key not accepted; showing Live";
constexpr const char* kFolderTakenMessage =
    "another Veilstone launcher is already using this folder";

std::string manifestName() { return std::string(kManifestPrefix) + platformName() + ".txt"; }

}  // namespace

std::string sizeText(std::uint64_t bytes) {
    char text[kSizeTextBytes];
    if (bytes >= kGiB)
        snprintf(text, sizeof text, "%.1f GB", double(bytes) / double(kGiB));
    else if (bytes >= kMiB)
        snprintf(text, sizeof text, "%.1f MB", double(bytes) / double(kMiB));
    else if (bytes < kKiB)
        snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
    else
        snprintf(text, sizeof text, "%.0f KB", double(bytes) / double(kKiB));
    return text;
}

std::string joinUrl(const std::string& base, const std::string& path) {
    if (!base.empty() && base.back() == '/') return base + path;
    return base + "/" + path;
}

double downloadProgress(std::uint64_t received, std::uint64_t packedSize, std::uint64_t done,
                        std::uint64_t total) {
    if (total == 0) return -1.0;
    return (double(std::min(received, packedSize)) + double(done)) / double(total);
}

Updater::Updater(UpdaterSetup setup)
    : installDir_(std::move(setup.installDir)),
      serverUrl_(std::move(setup.serverUrl)),
      releaseKey_(setup.releaseKey),
      launcherFile_(setup.launcherFile.empty() ? ownExecutablePath() : std::move(setup.launcherFile)),
      startProcess_(std::move(setup.startProcess)),
      faults_(setup.faults),
      connections_(setup.connections) {
    news_ = loadNewsCache(Channel::Live);
    if (setup.lockFolder) {
        // On the folder itself, so that no file name is taken from the game or the player.
        lockRefused_ =
            folderLock_.lock(installDir_, setup.lockWaitMs) != FileLock::Result::Locked;
        if (lockRefused_) fail(kFolderTakenMessage);
    }
}

Updater::Updater(fs::path installDir, std::string serverUrl, const ReleaseKey& releaseKey)
    : Updater(UpdaterSetup{.installDir = std::move(installDir),
                           .serverUrl = std::move(serverUrl),
                           .releaseKey = releaseKey}) {}

Updater::~Updater() {
    stopping_.exchange(true);
    if (worker_.joinable()) worker_.join();
}

void Updater::fail(const std::string& error) {
    logError("launcher: %s", error.c_str());
    setStatus(UpdaterState::Failed, error, -1.0);
}

void Updater::setRestartArgs(std::vector<std::string> args) {
    std::lock_guard<std::mutex> lock(mutex_);
    restartArgs_ = std::move(args);
}

void Updater::setStatusListener(StatusListener listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    listener_ = std::move(listener);
}

void Updater::setChannel(Channel channel, std::string testerKey) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!testerKey.empty()) {
        channel_ = channel;
        testerKey_ = std::move(testerKey);
        shownChannel_ = channel_;
        if (keyState_ == KeyState::None) keyState_ = KeyState::Unchecked;
    } else {
        channel_ = Channel::Live;
        testerKey_.clear();
        shownChannel_ = channel_;
        keyState_ = KeyState::None;
    }
    manifestFresh_ = false;
    news_ = loadNewsCache(channel_);
}

std::string Updater::loadNewsCache(Channel channel) const {
    const char* name = channel == Channel::Testing ? kNewsCacheTesting : kNewsCacheLive;
    std::string text, body;
    if (readWholeFile(installDir_ / name, text, kMaxSignedTextBytes) != 0) return {};
    if (!verifySignedText(text, releaseKey_.data(), body)) return {};
    return body;
}

void Updater::check(bool allowSelfUpdate) {
    if (busy_.exchange(true)) return;
    launch([this, allowSelfUpdate] { run(true, false, false, allowSelfUpdate); });
}

void Updater::update(bool verify) {
    if (busy_.exchange(true)) return;
    const bool fetch = verify || !manifestFresh_.load();
    launch([this, fetch, verify] { run(fetch, true, verify, false); });
}

void Updater::launch(std::function<void()> job) {
    if (worker_.joinable()) worker_.join();
    if (lockRefused_) {
        // Another launcher owns the folder: touch nothing, say so again.
        fail(kFolderTakenMessage);
        busy_ = false;
        return;
    }
    try {
        worker_ = std::thread([this, job = std::move(job)] {
            try {
                job();
            } catch (const std::bad_alloc&) {
                logError("launcher: a job ran out of memory");
                setStatus(UpdaterState::Failed, "not enough memory for this update", -1.0);
            } catch (const std::exception& e) {
                logError("launcher: a job stopped: %s", e.what());
                setStatus(UpdaterState::Failed, "the update stopped on an internal error", -1.0);
            } catch (...) {
                logError("launcher: a job stopped on an unknown exception");
                setStatus(UpdaterState::Failed, "the update stopped on an internal error", -1.0);
            }
            busy_ = false;
        });
    } catch (const std::system_error& e) {
        logError("launcher: cannot start a job: %s", e.what());
        setStatus(UpdaterState::Failed, "cannot start the update", -1.0);
        busy_ = false;
    }
}

UpdaterStatus Updater::status() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return snapshotLocked();
}

UpdaterStatus Updater::snapshotLocked() const {
    UpdaterStatus s;
    s.state = state_;
    s.shownChannel = shownChannel_;
    s.keyState = keyState_;
    s.message = message_;
    s.progress = progress_;
    s.downloadBytes = downloadBytes_;
    s.busy = busy_.load();
    s.installedVersion = installedVersion_;
    s.latestVersion = latestVersion_;
    s.news = news_;
    s.gameInstalled = gameInstalled_;
    return s;
}

void Updater::setStatus(UpdaterState state, std::string message, double progress) {
    StatusListener listener;
    UpdaterStatus copy;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        state_ = state;
        message_ = std::move(message);
        progress_ = progress;
        if (listener_) {
            listener = listener_;
            copy = snapshotLocked();
        }
    }
    if (listener) listener(copy);
}

void Updater::setProgress(double progress) {
    std::lock_guard<std::mutex> lock(mutex_);
    progress_ = progress;
}

bool Updater::readInstalled(Manifest& installed) const {
    std::string text, body, error;
    return readWholeFile(gameDir() / kInstalledName, text, kMaxSignedTextBytes) == 0 &&
           verifySignedText(text, releaseKey_.data(), body) &&
           parseManifest(body, installed, error);
}

void Updater::run(bool fetch, bool install, bool verify, bool allowSelfUpdate) {
    Manifest installed;
    const bool installedValid = readInstalled(installed);
    {
        std::error_code ec;
        const bool executable = fs::exists(fs::symlink_status(gameDir() / productName(), ec));
        std::lock_guard<std::mutex> lock(mutex_);
        installedVersion_ = installedValid ? installed.version : std::string();
        gameInstalled_ = installedValid && executable;
    }
    bool manifestReady = manifestFresh_.load();
    if (fetch) {
        if (!fetchRelease(install, verify, allowSelfUpdate)) return;
        manifestReady = manifestFresh_.load();
    }
    planAndInstall(installed, installedValid, install, verify, manifestReady);
}

// The check's network half. False when the job ends here.
bool Updater::fetchRelease(bool install, bool verify, bool allowSelfUpdate) {
    setStatus(UpdaterState::Checking, kLookingMessage, -1.0);

    std::string body, error;
    if (fetchSigned(kNewsName, body, error)) {
        std::lock_guard<std::mutex> lock(mutex_);
        news_ = std::move(body);
    } else {
        logWarn("launcher: news: %s", error.c_str());
    }

    manifestFresh_ = false;
    Manifest fresh;
    if (!fetchSigned(manifestName(), body, error) || !parseManifest(body, fresh, error)) {
        onManifestFailure(error, install, verify, allowSelfUpdate);
        return false;
    }
    if (fresh.platform != platformName()) {
        fail("the server offered a build for " + fresh.platform);
        return false;
    }
    const std::string channelWord = latestChannel_ == Channel::Testing ? "testing" : "live";
    SerialRecord serials = readSerials(installDir_);
    const std::string refusal = judgeRelease(fresh, channelWord, serials[channelWord]);
    if (!refusal.empty()) {
        refuseRelease(refusal);
        return false;
    }
    if (fresh.serial > serials[channelWord]) {
        serials[channelWord] = fresh.serial;
        if (!writeSerials(installDir_, serials))
            logWarn("launcher: cannot record the release serial in %s", installDir_.c_str());
    }

    latest_ = std::move(fresh);
    std::string installedVersion;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // A channel change while the manifest was on its way makes it the wrong one to install:
        // setChannel has cleared the flag, and it stays cleared.
        if (channel_ == latestChannel_) manifestFresh_ = true;
        latestVersion_ = latest_.version;
        installedVersion = installedVersion_;
    }
    logInfo("launcher: latest %s, installed %s", latest_.version.c_str(),
            installedVersion.empty() ? "nothing" : installedVersion.c_str());

    if (allowSelfUpdate && replaceLauncherIfOutdated()) return false;
    return true;
}

void Updater::onManifestFailure(const std::string& error, bool install, bool verify,
                                bool allowSelfUpdate) {
    logWarn("launcher: %s", error.c_str());
    const UpdaterStatus before = status();
    if (before.keyState == KeyState::Refused && before.shownChannel == Channel::Testing) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            channel_ = Channel::Live;
            shownChannel_ = channel_;
        }
        logWarn("launcher: playtester key refused; following Live");
        run(true, install, verify, allowSelfUpdate);
        const UpdaterStatus after = status();
        const bool settled = after.state == UpdaterState::UpToDate ||
                             after.state == UpdaterState::ReadyToInstall ||
                             after.state == UpdaterState::ReadyToUpdate;
        setStatus(static_cast<UpdaterState>(after.state),
                  settled ? std::string(kKeyRefusedMessage) : after.message, -1.0);
        return;
    }
    if (before.gameInstalled)
        setStatus(UpdaterState::Offline, kOfflineMessage, -1.0);
    else
        setStatus(UpdaterState::Failed, error, -1.0);
}

void Updater::refuseRelease(const std::string& error) {
    // What is installed stays playable, as when the server cannot be reached.
    if (status().gameInstalled) {
        logWarn("launcher: %s", error.c_str());
        setStatus(UpdaterState::Offline, error, -1.0);
    } else {
        fail(error);
    }
}

bool Updater::fetchSigned(const std::string& name, std::string& body, std::string& error) {
    Channel channel = Channel::Live;
    std::string key;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        channel = channel_;
        key = testerKey_;
    }
    const bool testing = channel == Channel::Testing;
    std::vector<std::string> headers;
    if (testing) headers.push_back(kKeyHeader + key);
    const std::string url = joinUrl(serverUrl_, (testing ? kTestingFolder : "") + name);

    std::vector<std::uint8_t> bytes;
    int status = 0;
    const bool got =
        httpGet(url, bytes, kMaxSignedTextBytes, {}, &stopping_, error, headers, &status);
    if (testing && (got || status == kStatusForbidden)) {
        if (!got) error = "playtester key not accepted";
        std::lock_guard<std::mutex> lock(mutex_);
        // The answer is about the key that was sent; a key the user has replaced meanwhile keeps
        // its own state.
        if (testerKey_ == key) keyState_ = got ? KeyState::Accepted : KeyState::Refused;
    }
    if (!got) return false;

    const std::string text(bytes.begin(), bytes.end());
    bytes = {};
    if (!verifySignedText(text, releaseKey_.data(), body)) {
        error = name + " is not signed by the Veilstone release key";
        return false;
    }
    if (name == kNewsName)
        (void)writeFileAtomic(installDir_ / (testing ? kNewsCacheTesting : kNewsCacheLive), text);
    if (name.size() > std::string(kManifestPrefix).size() && name.starts_with(kManifestPrefix)) {
        latestText_ = text;
        latestChannel_ = channel;
    }
    return true;
}

}  // namespace kd::launcher
