// The second half of a job: compare the latest manifest with the disk, report what must be
// downloaded, and for an install download into ".staging", put the files in place, remove what
// the release dropped and record the installed release.
#include <cstdint>
#include <cstdio>
#include <map>
#include <system_error>

#include "app/paths.h"
#include "log/log.h"
#include "net/http.h"
#include "release/crypto.h"
#include "release/inflate.h"
#include "update/state_files.h"
#include "update/updater.h"
#include "update/updater_internal.h"

namespace kd::launcher {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kDownloadMessageBytes = 160;
constexpr std::uint64_t kObjectSlackBytes = 1024;  // above packedSize, before a reply is refused
constexpr int kObjectAttempts = 3;

std::uint64_t addSaturating(std::uint64_t a, std::uint64_t b) {
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

// A staged object counts only when it is whole and right: staging is also where an interrupted
// install resumes from.
bool isStaged(const fs::path& object, const Entry& entry) {
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(object, ec);
    return !ec && size == entry.size && hashFile(object.string()) == entry.hash;
}

}  // namespace

bool fileIsCurrent(const fs::path& gameDir, const Entry& entry, const Manifest* installed,
                   bool deep) {
    const fs::path file = gameDir / entry.path;
    std::error_code ec;
    // file_size refuses folders and other things that are not regular files.
    const std::uintmax_t size = fs::file_size(file, ec);
    if (ec || size != entry.size) return false;
    if (deep) return hashFile(file.string()) == entry.hash;
    if (installed == nullptr) return false;
    const Entry* before = findFile(*installed, entry.path);
    return before != nullptr && before->hash == entry.hash;
}

void Updater::planAndInstall(const Manifest& installed, bool installedValid, bool install,
                             bool verify, bool manifestReady) {
    if (!manifestReady) {
        setStatus(UpdaterState::Failed, "no release to install", -1.0);
        return;
    }

    const bool deep = !installedValid || verify;
    if (deep)
        setStatus(UpdaterState::Working,
                  verify ? "Verifying files" : "Looking at what is already here", 0.0);
    plan_.clear();
    std::uint64_t total = 0;
    const fs::path game = gameDir();
    const std::size_t count = latest_.files.size();
    for (std::size_t i = 0; i < count; ++i) {
        const Entry& entry = latest_.files[i];
        if (!fileIsCurrent(game, entry, installedValid ? &installed : nullptr, deep)) {
            plan_.push_back(&entry);
            total = addSaturating(total, entry.packedSize);
        }
        if (deep) setProgress(double(i + 1) / double(count));
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        downloadBytes_ = total;
    }

    if (plan_.empty()) {
        // Without a valid record the deep scan found everything in place: record it, even in a
        // check.
        if (installedValid && !install) {
            if (installed.version == latest_.version)
                setStatus(UpdaterState::UpToDate, "Up to date", -1.0);
            else
                setStatus(UpdaterState::ReadyToUpdate, "Ready to update", -1.0);
            return;
        }
    } else if (!install) {
        setStatus(installedValid ? UpdaterState::ReadyToUpdate : UpdaterState::ReadyToInstall,
                  sizeText(total) + " to download", -1.0);
        return;
    }
    installPlan(installed, installedValid, verify, total);
}

void Updater::installPlan(const Manifest& installed, bool installedValid, bool verify,
                          std::uint64_t total) {
    const fs::path staging = installDir_ / kStagingName;
    std::error_code ec;
    fs::create_directories(staging, ec);

    std::uint64_t done = 0;
    const std::size_t count = plan_.size();
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < count; ++i) {
        const Entry& entry = *plan_[i];
        const fs::path object = staging / entry.hash;
        if (isStaged(object, entry)) {
            done = addSaturating(done, entry.packedSize);
            continue;
        }
        char message[kDownloadMessageBytes];
        snprintf(message, sizeof message, "Downloading %zu of %zu: %s", i + 1, count,
                 entry.path.c_str());
        setStatus(UpdaterState::Working, message, total == 0 ? 0.0 : double(done) / double(total));

        std::string error;
        if (!fetchObject(entry, bytes, done, total, error)) {
            setStatus(stopping_ ? UpdaterState::ReadyToUpdate : UpdaterState::Failed, error, -1.0);
            return;
        }
        if (!writeFileAtomic(object, bytes.data(), bytes.size())) {
            setStatus(UpdaterState::Failed,
                      "cannot write to " + staging.string() + " (is the disk full?)", -1.0);
            return;
        }
        done = addSaturating(done, entry.packedSize);
    }
    bytes = {};

    setStatus(UpdaterState::Working, "Putting files in place", 1.0);
    // Dropped files go first, so that a release may turn a file into a folder of the same name or
    // back: the old one would otherwise stand in the new one's way.
    if (installedValid) removeDropped(installed);
    std::string error;
    if (!putFilesInPlace(error)) {
        setStatus(UpdaterState::Failed, error, -1.0);
        return;
    }
    fs::remove_all(staging, ec);

    const fs::path game = gameDir();
    // A release without files still gets its record.
    fs::create_directories(game, ec);
    (void)writeFileAtomic(game / kInstalledName, latestText_.data(), latestText_.size());
    makeExecutable(game / productName());
    {
        std::lock_guard<std::mutex> lock(mutex_);
        installedVersion_ = latest_.version;
        gameInstalled_ = true;
        downloadBytes_ = 0;
    }
    logInfo("launcher: installed %s (%zu files replaced)", latest_.version.c_str(), count);
    plan_.clear();
    setStatus(UpdaterState::UpToDate, verify ? "Files verified" : "Up to date", -1.0);
}

void Updater::removeDropped(const Manifest& installed) {
    const fs::path game = gameDir();
    for (const Entry& entry : installed.files) {
        if (findFile(latest_, entry.path) != nullptr) continue;
        std::error_code ec;
        fs::path file = game / entry.path;
        fs::remove(file, ec);
        // Folders the release no longer fills go too; remove() leaves any that still hold
        // something.
        for (fs::path folder = file.parent_path(); folder != game && !folder.empty();
             folder = folder.parent_path()) {
            if (!fs::remove(folder, ec)) break;
        }
        logInfo("launcher: removed %s", entry.path.c_str());
    }
}

bool Updater::putFilesInPlace(std::string& error) {
    const fs::path game = gameDir();
    const fs::path staging = installDir_ / kStagingName;
    std::map<std::string, fs::path> placed;  // hash -> where that content was put this time
    for (const Entry* entry : plan_) {
        const fs::path target = game / entry->path;
        std::error_code ec;
        fs::create_directories(target.parent_path(), ec);
        if (fs::exists(fs::symlink_status(target, ec))) {
            fs::remove(target, ec);
            if (ec) {
                error = "cannot replace " + entry->path + ": close Veilstone and try again";
                return false;
            }
        }
        const auto earlier = placed.find(entry->hash);
        ec.clear();
        if (earlier != placed.end())
            fs::copy_file(earlier->second, target, ec);
        else
            fs::rename(staging / entry->hash, target, ec);
        if (ec) {
            error = "cannot put " + entry->path + " in place";
            return false;
        }
        if (earlier == placed.end()) placed.emplace(entry->hash, target);
    }
    return true;
}

bool Updater::fetchObject(const Entry& entry, std::vector<std::uint8_t>& out, std::uint64_t done,
                          std::uint64_t total, std::string& error) {
    const std::string url = joinUrl(serverUrl_, "objects/" + entry.hash);
    const std::uint64_t limit = addSaturating(entry.packedSize, kObjectSlackBytes);
    const char* hash = entry.hash.c_str();
    std::vector<std::uint8_t> packed;
    for (int attempt = 1; attempt <= kObjectAttempts; ++attempt) {
        const ProgressFn progress = [this, &entry, done, total](std::uint64_t received,
                                                                std::uint64_t) {
            setProgress(downloadProgress(received, entry.packedSize, done, total));
        };
        if (!httpGet(url, packed, limit, progress, &stopping_, error)) {
            if (stopping_) return false;
            logWarn("launcher: object %s, attempt %d: %s", hash, attempt, error.c_str());
            continue;
        }
        const bool inflated = inflateZlib(packed.data(), packed.size(), entry.size, out);
        packed = {};
        if (!inflated) {
            error = "a download arrived damaged";
            logWarn("launcher: object %s did not decompress (attempt %d)", hash, attempt);
            continue;
        }
        if (hashBuffer(out.data(), out.size()) == entry.hash) return true;
        error = "a download did not match the release";
        logWarn("launcher: object %s hash mismatch (attempt %d)", hash, attempt);
    }
    return false;
}

}  // namespace kd::launcher
