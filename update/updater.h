// The update engine. One background job at a time (an update check, or an install, update or
// verify of the game) runs on a worker thread of its own, while the screen reads a small status
// record every frame. The server is trusted for nothing: manifests and news must carry the release
// key's signature and every downloaded object must unpack to the size and hash the manifest names.
// The game lives in installDir/"game"; downloads go through installDir/".staging", so an install
// cut off during its downloads resumes later without fetching again what it already had.
// A check may also replace the launcher's own executable with the one the release names and start
// the new copy; the state is then Restarting and the owner should exit.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/base.h"
#include "release/manifest.h"
#include "update/self_update.h"
#include "update/status.h"

namespace kd::launcher {

struct InstalledRecord;

struct UpdaterSetup {
    std::filesystem::path installDir;  // the launcher folder; the game goes to installDir/"game"
    std::string serverUrl;
    // More servers that hold the same files, tried in order when the one before does not answer.
    std::vector<std::string> mirrors;
    std::array<std::uint8_t, 32> releaseKey{};
    int connections = 8;          // objects fetched at once
    std::string launcherFile;     // the running launcher's executable; empty: /proc/self/exe
    StartProcessFn startProcess;  // how a replaced launcher is restarted; empty: it is not replaced
    // Take an advisory lock on installDir for the Updater's life, waiting up to lockWaitMs for a
    // previous holder (a launcher that has just restarted its replacement). Without the lock
    // every job fails and nothing is changed.
    bool lockFolder = false;
    int lockWaitMs = 0;
    SelfUpdateFaults faults;
};

class Updater {
public:
    using ReleaseKey = std::array<std::uint8_t, 32>;
    // Receives every status change a job makes (state, message and progress set together), on the
    // job's thread. Byte and scan progress in between are only seen through status().
    using StatusListener = std::function<void(const UpdaterStatus&)>;

    // Loads the cached Live news; does not touch the network.
    explicit Updater(UpdaterSetup setup);
    // No folder lock, the launcher found through /proc/self/exe, and no self-update.
    Updater(std::filesystem::path installDir, std::string serverUrl, const ReleaseKey& releaseKey);
    // Aborts a running transfer and waits for the job to end.
    ~Updater();
    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    // The launcher's own arguments (without "--updated"), for restarting after a self-update.
    void setRestartArgs(std::vector<std::string> args);
    // Set before the first job.
    void setStatusListener(StatusListener listener);

    // Channel 1 (Testing) needs a key; without one the channel is Live. Reloads the cached news of
    // the channel and forgets the manifest in memory, so follow it with check(false).
    void setChannel(Channel channel, std::string testerKey);

    // Start a job and return at once; dropped while another job runs. Only the first check of a
    // launcher run may self-update.
    void check(bool allowSelfUpdate);
    void update(bool verify);

    UpdaterStatus status() const;
    bool busy() const { return busy_.load(); }
    std::filesystem::path gameDir() const { return installDir_ / "game"; }

private:
    friend class JobReporter;

    enum class JobKind { Check, Install, Verify };
    void launch(JobKind kind, bool allowSelfUpdate);
    void run(JobKind kind, bool allowSelfUpdate);
    // The check's network half. False when the job ends here.
    bool fetchRelease(JobKind kind, bool allowSelfUpdate, const InstalledRecord& installed);
    void onManifestFailure(const std::string& error, JobKind kind, bool allowSelfUpdate);
    JobPlace place() const;
    void fail(const std::string& error);

    void setStatus(UpdaterState state, std::string message, double progress);
    void setProgress(double progress);
    UpdaterStatus snapshotLocked() const;

    const std::filesystem::path installDir_;
    const std::string serverUrl_;
    const std::vector<std::string> mirrors_;
    const ReleaseKey releaseKey_;
    const std::string launcherFile_;
    const StartProcessFn startProcess_;
    const SelfUpdateFaults faults_;
    const int connections_;
    FileLock folderLock_;  // held for the Updater's life
    bool lockRefused_ = false;

    // Guards every field from here to gameInstalled_; held only for short copies (and while
    // setChannel reads the small news cache).
    mutable std::mutex mutex_;
    std::vector<std::string> restartArgs_;
    StatusListener listener_;
    Channel channel_ = Channel::Live;
    std::string testerKey_;
    UpdaterState state_ = UpdaterState::Checking;
    Channel shownChannel_ = Channel::Live;
    KeyState keyState_ = KeyState::None;
    std::string message_;
    double progress_ = -1.0;
    std::uint64_t downloadBytes_ = 0;
    std::string installedVersion_;
    std::string latestVersion_;
    std::string news_;
    bool gameInstalled_ = false;

    std::thread worker_;
    std::atomic<bool> busy_{false};
    std::atomic<bool> stopping_{false};
    std::atomic<bool> manifestFresh_{
        false};  // latest_ is a checked manifest of the current channel

    // Job thread only: at most one job exists at a time.
    std::shared_ptr<Servers> jobServers_;  // the servers' turns for the job that runs
    Manifest latest_;
    std::string latestText_;                 // the signed manifest text exactly as downloaded
    Channel latestChannel_ = Channel::Live;  // the channel latestText_ was asked for
};

}  // namespace kd::launcher
