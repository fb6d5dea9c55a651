// Inside the update engine: what every stage of a job is given. The Updater runs the stages (check
// the server, replace the launcher, plan, fetch, put in place, record) one after another on its
// job thread; each stage takes where it works and reports through JobReport, and knows nothing of
// the Updater itself.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "release/manifest.h"
#include "update/status.h"

namespace kd::launcher {

// Signed texts (manifests and news) are read up to this size, from the server and from disk.
constexpr std::uint64_t kMaxSignedTextBytes = 4194304;

// The update server and its mirrors, in the order they are tried. Objects are named by their
// content, so any of them may serve any object; signatures and serials make a stale one harmless.
// A server that does not answer (no connection, a 5xx) gives its turn to the next for the rest of
// the job. Shared by the job's download threads.
class Servers {
public:
    explicit Servers(std::vector<std::string> urls);
    std::size_t count() const { return urls_.size(); }
    const std::string& url(std::size_t i) const { return urls_[i % urls_.size()]; }
    // The one to try first now.
    std::size_t first() const { return first_.load(); }
    // i did not answer: unless that was already seen, the one after it goes first from now on.
    void failed(std::size_t i);

private:
    std::vector<std::string> urls_;
    std::atomic<std::size_t> first_{0};
};

// A failed request's status: none (no reply) or a 5xx, after which the next server is asked.
constexpr bool serverDidNotAnswer(int status) { return status == 0 || status >= 500; }
// A failed request's status when no reply came or the body was arriving: the transfer was cut
// off rather than refused.
constexpr bool transferCutOff(int status) { return status == 0 || status == 200 || status == 206; }

// Where a job works; the same for all of its stages.
struct JobPlace {
    std::filesystem::path installDir;
    std::shared_ptr<Servers> servers;
    std::array<std::uint8_t, 32> releaseKey{};
    const std::atomic<bool>* cancel = nullptr;  // set once the owner goes away
    int connections = 8;

    std::filesystem::path gameDir() const { return installDir / "game"; }
    std::filesystem::path staging() const { return installDir / kStagingName; }
};

// How a stage tells the Updater what it is doing, on the job's thread.
class JobReport {
public:
    virtual ~JobReport() = default;
    // State, message and progress change together.
    virtual void status(UpdaterState state, std::string message, double progress) = 0;
    virtual void progress(double share) = 0;
    // Ends the job showing error in state, and logs it once: as an error when the job failed, as a
    // warning when what is installed stays playable (Offline) or the job can be taken up again.
    virtual void fail(const std::string& error, UpdaterState state) = 0;
    void fail(const std::string& error) { fail(error, UpdaterState::Failed); }
    // Packed bytes the current plan still needs to download.
    virtual void planned(std::uint64_t downloadBytes) = 0;
    // The game folder holds this release whole now; empty: no release whole any more.
    virtual void installed(const std::string& version) = 0;
};

// The player's sentence for a write under where that failed with error: a full disk and a place
// the launcher may not write to are told apart from other failures.
std::string cannotWrite(const std::filesystem::path& where, int error);

// Progress of a job whose planned downloads total `total` packed bytes, `done` of them finished
// before this object, `received` of this one so far; -1 when there is nothing to measure. A
// server that sends more than announced does not push the bar past this object's share.
double downloadProgress(std::uint64_t received, std::uint64_t packedSize, std::uint64_t done,
                        std::uint64_t total);

}  // namespace kd::launcher
