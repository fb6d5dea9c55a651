// The Updater itself: its status record, the one-job-at-a-time worker and channels, and the job
// that runs the stages in order: the installed record, the server's news and manifest (with the
// key fall-back and the offline fall-back), the release check, self-update, plan and install.
#include "update/updater.h"

#include <exception>
#include <new>
#include <system_error>
#include <utility>

#include "base/base.h"
#include "log/log.h"
#include "update/install.h"
#include "update/job.h"
#include "update/release_check.h"
#include "update/self_update.h"
#include "update/server.h"
#include "update/state.h"

namespace kd::launcher {

namespace fs = std::filesystem;

namespace {

constexpr const char* kLookingMessage = "Looking for updates";
constexpr const char* kOfflineMessage = "Offline: playing what is installed";
constexpr const char* kKeyRefusedMessage = "Playtester key not accepted; showing Live";
constexpr const char* kFolderTakenMessage =
    "another Veilstone launcher is already using this folder";

}  // namespace

// The Updater's side of JobReport: every report of a stage lands in the status record.
class JobReporter final : public JobReport {
public:
    explicit JobReporter(Updater& updater) : updater_(updater) {}
    using JobReport::fail;
    void status(UpdaterState state, std::string message, double progress) override {
        updater_.setStatus(state, std::move(message), progress);
    }
    void progress(double share) override { updater_.setProgress(share); }
    void fail(const std::string& error, UpdaterState state) override {
        if (state == UpdaterState::Failed)
            launcherLog.error("%s", error.c_str());
        else
            launcherLog.warn("%s", error.c_str());
        updater_.setStatus(state, error, -1.0);
    }
    void planned(std::uint64_t downloadBytes) override {
        std::lock_guard<std::mutex> lock(updater_.mutex_);
        updater_.downloadBytes_ = downloadBytes;
    }
    void installed(const std::string& version) override {
        std::lock_guard<std::mutex> lock(updater_.mutex_);
        updater_.installedVersion_ = version;
        updater_.gameInstalled_ = !version.empty();
    }

private:
    Updater& updater_;
};

Updater::Updater(UpdaterSetup setup)
    : installDir_(std::move(setup.installDir)),
      serverUrl_(std::move(setup.serverUrl)),
      mirrors_(std::move(setup.mirrors)),
      releaseKey_(setup.releaseKey),
      launcherFile_(setup.launcherFile.empty() ? ownExecutablePath()
                                               : std::move(setup.launcherFile)),
      startProcess_(std::move(setup.startProcess)),
      faults_(setup.faults),
      connections_(setup.connections) {
    news_ = loadNewsCache(installDir_, Channel::Live, releaseKey_);
    if (setup.lockFolder) {
        // On the folder itself, so that no file name is taken from the game or the player.
        lockRefused_ = folderLock_.lock(installDir_, setup.lockWaitMs) != FileLock::Result::Locked;
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

void Updater::fail(const std::string& error) { JobReporter(*this).fail(error); }

JobPlace Updater::place() const {
    return JobPlace{.installDir = installDir_,
                    .servers = jobServers_,
                    .releaseKey = releaseKey_,
                    .cancel = &stopping_,
                    .connections = connections_};
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
    news_ = loadNewsCache(installDir_, channel_, releaseKey_);
}

void Updater::check(bool allowSelfUpdate) { launch(JobKind::Check, allowSelfUpdate); }

void Updater::update(bool verify) { launch(verify ? JobKind::Verify : JobKind::Install, false); }

void Updater::launch(JobKind kind, bool allowSelfUpdate) {
    if (busy_.exchange(true)) return;
    if (worker_.joinable()) worker_.join();
    if (lockRefused_) {
        // Another launcher owns the folder: touch nothing, say so again.
        fail(kFolderTakenMessage);
        busy_ = false;
        return;
    }
    try {
        worker_ = std::thread([this, kind, allowSelfUpdate] {
            try {
                run(kind, allowSelfUpdate);
            } catch (const std::bad_alloc&) {
                fail("not enough memory for this update");
            } catch (const std::exception& e) {
                launcherLog.error("the update stopped on an internal error: %s", e.what());
                setStatus(UpdaterState::Failed, "the update stopped on an internal error", -1.0);
            } catch (...) {
                fail("the update stopped on an internal error");
            }
            busy_ = false;
        });
    } catch (const std::system_error& e) {
        launcherLog.error("cannot start the update: %s", e.what());
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

void Updater::run(JobKind kind, bool allowSelfUpdate) {
    std::vector<std::string> servers = {serverUrl_};
    servers.insert(servers.end(), mirrors_.begin(), mirrors_.end());
    jobServers_ = std::make_shared<Servers>(std::move(servers));
    const InstalledRecord installed = readInstalled(gameDir(), releaseKey_);
    {
        std::error_code ec;
        const bool executable = fs::exists(fs::symlink_status(gameDir() / productName(), ec));
        std::lock_guard<std::mutex> lock(mutex_);
        installedVersion_ = installed.valid ? installed.manifest.version : std::string();
        gameInstalled_ = installed.valid && executable;
    }
    // An install right after a check uses the manifest that check accepted.
    const bool fetch = kind != JobKind::Install || !manifestFresh_.load();
    if (fetch && !fetchRelease(kind, allowSelfUpdate, installed)) return;
    if (!manifestFresh_.load()) {
        fail("no release to install");
        return;
    }
    JobReporter report(*this);
    planAndInstall(place(),
                   InstallRequest{.latest = latest_,
                                  .latestText = latestText_,
                                  .installed = installed,
                                  .install = kind != JobKind::Check,
                                  .verify = kind == JobKind::Verify},
                   report);
}

bool Updater::fetchRelease(JobKind kind, bool allowSelfUpdate, const InstalledRecord& installed) {
    setStatus(UpdaterState::Checking, kLookingMessage, -1.0);
    const JobPlace where = place();
    JobReporter report(*this);
    // The channel and key are read afresh for each request: a change from the screen in between
    // is seen by the next one.
    const auto fetch = [&](const std::string& name, SignedFetch& got, Channel& channel,
                           std::string& error) {
        std::string key;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            channel = channel_;
            key = testerKey_;
        }
        const bool ok = fetchSigned(where, channel, key, name, got, error);
        if (got.key != KeyState::None) {
            std::lock_guard<std::mutex> lock(mutex_);
            // The answer is about the key that was sent; a key the user has replaced meanwhile
            // keeps its own state.
            if (testerKey_ == key) keyState_ = got.key;
        }
        return ok;
    };

    SignedFetch news, manifest;
    Channel channel = Channel::Live;
    std::string error;
    if (fetch(kNewsName, news, channel, error)) {
        saveNewsCache(installDir_, channel, news.text);
        std::lock_guard<std::mutex> lock(mutex_);
        news_ = std::move(news.body);
    } else {
        launcherLog.warn("news: %s", error.c_str());
    }

    manifestFresh_ = false;
    Manifest fresh;
    if (!fetch(manifestName(), manifest, channel, error)) {
        onManifestFailure(error, kind, allowSelfUpdate);
        return false;
    }
    latestText_ = std::move(manifest.text);
    latestChannel_ = channel;
    if (!parseManifest(manifest.body, fresh, error)) {
        onManifestFailure(error, kind, allowSelfUpdate);
        return false;
    }
    if (fresh.platform != platformName()) {
        fail("the server offered a build for " + fresh.platform);
        return false;
    }
    const std::string refusal =
        acceptRelease(installDir_, fresh, latestText_, channelWord(latestChannel_), installed);
    if (!refusal.empty()) {
        // What is installed stays playable, as when the server cannot be reached.
        report.fail(refusal, status().gameInstalled ? UpdaterState::Offline : UpdaterState::Failed);
        return false;
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
    launcherLog.info("latest %s, installed %s", latest_.version.c_str(),
                     installedVersion.empty() ? "nothing" : installedVersion.c_str());

    if (!allowSelfUpdate) return true;
    SelfUpdateSetup self{
        .launcherFile = launcherFile_, .startProcess = startProcess_, .faults = faults_};
    {
        std::lock_guard<std::mutex> lock(mutex_);
        self.restartArgs = restartArgs_;
    }
    return !replaceLauncherIfOutdated(where, latest_.launcher, self, report);
}

void Updater::onManifestFailure(const std::string& error, JobKind kind, bool allowSelfUpdate) {
    const UpdaterStatus before = status();
    if (before.keyState == KeyState::Refused && before.shownChannel == Channel::Testing) {
        launcherLog.warn("%s", error.c_str());
        {
            std::lock_guard<std::mutex> lock(mutex_);
            channel_ = Channel::Live;
            shownChannel_ = channel_;
        }
        launcherLog.warn("playtester key refused; following Live");
        run(kind, allowSelfUpdate);
        const UpdaterStatus after = status();
        const bool settled = after.state == UpdaterState::UpToDate ||
                             after.state == UpdaterState::ReadyToInstall ||
                             after.state == UpdaterState::ReadyToUpdate;
        setStatus(after.state, settled ? std::string(kKeyRefusedMessage) : after.message, -1.0);
        return;
    }
    if (before.gameInstalled) {
        launcherLog.warn("%s", error.c_str());
        setStatus(UpdaterState::Offline, kOfflineMessage, -1.0);
    } else {
        fail(error);
    }
}

}  // namespace kd::launcher
