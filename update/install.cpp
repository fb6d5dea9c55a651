#include "update/install.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <map>
#include <system_error>
#include <vector>

#include "base/base.h"
#include "log/log.h"
#include "release/crypto.h"
#include "update/fetch.h"
#include "update/scan.h"

namespace kd::launcher {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kDownloadMessageBytes = 160;
constexpr std::size_t kCopyPieceBytes = std::size_t(1) << 20;

// The game folder's own path to target: every folder on the way a real folder, never a link. A link
// where a folder of the release belongs is removed (the link alone, not what it points at) so that
// no write lands outside the game folder. False when that cannot be made so.
bool realFoldersTo(const fs::path& game, const fs::path& target) {
    std::error_code created;
    fs::create_directories(game, created);
    fs::path folder = game;
    const fs::path relative = target.parent_path().lexically_relative(game);
    for (const fs::path& part : relative) {
        if (part == ".") continue;
        folder /= part;
        std::error_code ec;
        const fs::file_status st = fs::symlink_status(folder, ec);
        if (fs::is_symlink(st) && !fs::remove(folder, ec)) return false;
        if (!fs::is_directory(fs::symlink_status(folder, ec)) && !fs::create_directory(folder, ec))
            return false;
    }
    return true;
}

// Removes folder when it holds nothing but empty folders (a folder of the old release that the
// new one turns into a file); anything else in it stays, and so does the folder.
bool removeEmptyTree(const fs::path& folder) {
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_directory(ec) && !it->is_symlink(ec)) removeEmptyTree(it->path());
    return fs::remove(folder, ec) && !ec;
}

// Copies source beside target and renames the copy onto it, so that target is replaced whole or
// not at all and a link at target is replaced rather than written through. 0, or the error number
// of the step that failed; a copy that fails leaves nothing behind.
int copyOnto(const fs::path& source, const fs::path& target) {
    const fs::path part = target.parent_path() / (kCopyPrefix + target.filename().string());
    UniqueFd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in) return errno;
    UniqueFd out = createFresh(part);
    if (!out) return errno;
    std::vector<std::uint8_t> piece(kCopyPieceBytes);
    int error = 0;
    for (;;) {
        const long got = readSome(in.get(), piece.data(), piece.size());
        if (got < 0) error = errno;
        if (got <= 0) break;
        if (!writeAll(out.get(), piece.data(), std::size_t(got))) {
            error = errno;
            break;
        }
    }
    if (!out.close() && error == 0) error = errno;
    if (error == 0 && ::rename(part.c_str(), target.c_str()) != 0) error = errno;
    if (error != 0) ::unlink(part.c_str());
    return error;
}

}  // namespace

bool fileIsCurrent(const fs::path& gameDir, const Entry& entry, const Entry* installed,
                   bool deep) {
    const fs::path file = gameDir / entry.path;
    // Only a regular file can be the release's file: not a folder, and not a link, even one that
    // points at the right content.
    if (!regularFileOfSize(gameDir, file, entry.size)) return false;
    if (deep) return hashFile(file.string()) == entry.hash;
    return installed != nullptr && installed->hash == entry.hash;
}

FilePlan planFiles(const JobPlace& place, const Manifest& latest, const Manifest* installed,
                   bool deep, const std::function<void(double)>& scanned) {
    FilePlan plan;
    const std::size_t count = latest.files.size();
    std::vector<bool> current;
    if (deep) {
        current = scanDeep(place, latest.files, [&](double share) {
            if (scanned) scanned(share);
        });
    } else {
        const std::vector<const Entry*> before =
            installed ? FileIndex(*installed).findEach(latest.files)
                      : std::vector<const Entry*>(count);
        current.resize(count);
        for (std::size_t i = 0; i < count; ++i)
            current[i] = fileIsCurrent(place.gameDir(), latest.files[i], before[i], false);
    }
    // In manifest order, whichever thread looked at which file.
    for (std::size_t i = 0; i < count; ++i) {
        if (current[i]) continue;
        plan.entries.push_back(&latest.files[i]);
        plan.packedBytes = addSaturating(plan.packedBytes, latest.files[i].packedSize);
    }
    return plan;
}

void removeDropped(const fs::path& gameDir, const Manifest& installed, const Manifest& latest) {
    const std::vector<const Entry*> kept = FileIndex(latest).findEach(installed.files);
    for (std::size_t i = 0; i < kept.size(); ++i) {
        if (kept[i] != nullptr) continue;
        const Entry& entry = installed.files[i];
        std::error_code ec;
        const fs::path file = gameDir / entry.path;
        // Only the file itself: the folders it leaves may be the player's, and a link on the way
        // leads out of the game folder.
        if (throughLink(gameDir, file) || fs::is_directory(fs::symlink_status(file, ec))) continue;
        fs::remove(file, ec);
        launcherLog.info("removed %s", entry.path.c_str());
    }
}

void removeCopyDebris(const fs::path& gameDir) {
    std::error_code ec;
    for (fs::recursive_directory_iterator it(gameDir, ec), end; !ec && it != end;
         it.increment(ec)) {
        std::error_code status;
        if (it->path().filename().string().starts_with(kCopyPrefix) &&
            it->is_regular_file(status) && !it->is_symlink(status)) {
            fs::remove(it->path(), status);
            launcherLog.info("removed the unfinished copy %s", it->path().c_str());
        }
    }
}

bool placeFiles(const fs::path& gameDir, const fs::path& staging,
                const std::vector<const Entry*>& plan, std::string& error) {
    std::map<std::string, fs::path> placed;  // hash -> where that content was put this time
    for (const Entry* entry : plan) {
        const fs::path target = gameDir / entry->path;
        std::error_code ec;
        if (!realFoldersTo(gameDir, target)) {
            error = "cannot put " + entry->path + " in place";
            return false;
        }
        // A rename replaces a file or a link whole, so only a folder in the way goes first (a
        // release that turns a folder into a file); one that still holds something stays.
        if (fs::is_directory(fs::symlink_status(target, ec))) {
            if (!removeEmptyTree(target)) {
                error = "cannot replace " + entry->path + ": close Veilstone and try again";
                return false;
            }
        }
        const auto earlier = placed.find(entry->hash);
        int failed = 0;
        if (earlier != placed.end()) {
            failed = copyOnto(earlier->second, target);
        } else {
            const fs::path object = staging / entry->hash;
            failed = ::rename(object.c_str(), target.c_str()) == 0 ? 0 : errno;
            // A game folder on another file system: copy across, then rename there.
            if (failed == EXDEV) failed = copyOnto(object, target);
        }
        if (failed != 0) {
            error = isDiskFull(failed) || isNotAllowed(failed)
                        ? cannotWrite(target.parent_path(), failed)
                        : "cannot put " + entry->path + " in place";
            return false;
        }
        if (earlier == placed.end()) placed.emplace(entry->hash, target);
    }
    return true;
}

namespace {

void installPlan(const JobPlace& place, const InstallRequest& request, const FilePlan& plan,
                 const DownloadPlan& downloads, JobReport& report) {
    const fs::path staging = place.staging();
    std::error_code ec;
    if (!fs::create_directories(staging, ec) && ec) {
        report.fail(cannotWrite(staging, ec.value()));
        return;
    }

    const std::size_t count = plan.entries.size();
    FetchPlan fetch{.place = place, .entries = plan.entries, .downloads = downloads};
    fetch.starting = [&report, &plan, count](std::size_t index, double progress) {
        char message[kDownloadMessageBytes];
        snprintf(message, sizeof message, "Downloading %zu of %zu: %s", index + 1, count,
                 plan.entries[index]->path.c_str());
        report.status(UpdaterState::Working, message, progress);
    };
    fetch.progress = [&report](double progress) { report.progress(progress); };
    std::string error;
    if (!fetchObjects(fetch, error)) {
        // Cut off by the owner going away, which wants no report: the install can be taken up
        // again.
        if (place.cancel != nullptr && place.cancel->load())
            report.status(UpdaterState::ReadyToUpdate, error, -1.0);
        else
            report.fail(error);
        return;
    }

    report.status(UpdaterState::Working, "Putting files in place", 1.0);
    const fs::path game = place.gameDir();
    // From the first replaced file on, the folder holds neither release whole: without a record
    // the next scan hashes every file instead of trusting sizes.
    if (count > 0 && fs::remove(game / kInstalledName, ec)) report.installed({});
    // Dropped files go first, so that a release may turn a file into a folder of the same name or
    // back: the old one would otherwise stand in the new one's way.
    if (request.installed.valid) removeDropped(game, request.installed.manifest, request.latest);
    if (!placeFiles(game, staging, plan.entries, error)) {
        report.fail(error);
        return;
    }
    fs::remove_all(staging, ec);

    // A release without files still gets its record.
    recordInstalled(game, request.latestText);
    keepChunkLists(place, request.latest);
    report.installed(request.latest.version);
    report.planned(0);
    launcherLog.info("installed %s (%zu files replaced)", request.latest.version.c_str(), count);
    report.status(UpdaterState::UpToDate, request.verify ? "Files verified" : "Up to date", -1.0);
}

}  // namespace

void planAndInstall(const JobPlace& place, const InstallRequest& request, JobReport& report) {
    const InstalledRecord& installed = request.installed;
    // Without a record a placement may have been cut off, leaving its copies behind.
    if (!installed.valid) removeCopyDebris(place.gameDir());
    const bool deep = !installed.valid || request.verify;
    if (deep)
        report.status(UpdaterState::Working,
                      request.verify ? "Verifying files" : "Looking at what is already here", 0.0);
    const FilePlan plan =
        planFiles(place, request.latest, installed.valid ? &installed.manifest : nullptr, deep,
                  [&report](double share) { report.progress(share); });
    // What is staged from an earlier try, contents listed twice and the chunks a big file's
    // installed copy holds cost nothing more.
    DownloadPlan downloads;
    std::string error;
    if (!planDownloads(place, plan.entries, installed.valid ? &installed.manifest : nullptr,
                       downloads, error)) {
        report.fail(error);
        return;
    }
    const std::uint64_t toFetch = downloads.packedBytes;
    report.planned(toFetch);

    if (plan.entries.empty()) {
        // Without a valid record the deep scan found everything in place: record it, even in a
        // check.
        if (installed.valid && !request.install) {
            if (installed.manifest.version == request.latest.version)
                report.status(UpdaterState::UpToDate, "Up to date", -1.0);
            else
                report.status(UpdaterState::ReadyToUpdate, "Ready to update", -1.0);
            return;
        }
    } else if (!request.install) {
        report.status(installed.valid ? UpdaterState::ReadyToUpdate : UpdaterState::ReadyToInstall,
                      sizeText(toFetch) + " to download", -1.0);
        return;
    }
    installPlan(place, request, plan, downloads, report);
}

}  // namespace kd::launcher
