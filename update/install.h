// Inside the update engine: the second half of a job. Compare the latest manifest with the disk,
// report what must be downloaded, and for an install download into ".staging", put the files in
// place, remove what the release dropped and record the installed release. The parts are plain
// functions over the game folder, so that each can be reasoned about alone.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "release/manifest.h"
#include "update/job.h"
#include "update/state.h"

namespace kd::launcher {

// The files of a release that need a download, in manifest order, and their packed bytes.
struct FilePlan {
    std::vector<const Entry*> entries;
    std::uint64_t packedBytes = 0;  // saturates instead of wrapping
};

// Compares latest with the game folder. A deep scan hashes every file whose size matches, on every
// core; a quick one trusts installed (the valid record, or null) for the content. scanned gets the
// share of a deep scan done, from the scan's threads one at a time.
FilePlan planFiles(const JobPlace& place, const Manifest& latest, const Manifest* installed,
                   bool deep, const std::function<void(double)>& scanned);

// Removes the files of installed that latest does not list: each file alone, never a folder and
// never through a link.
void removeDropped(const std::filesystem::path& gameDir, const Manifest& installed,
                   const Manifest& latest);

// Removes the copies that a placement cut off (a kill, a power cut) left beside their targets;
// they are named with kCopyPrefix. Links are not followed.
void removeCopyDebris(const std::filesystem::path& gameDir);

// Moves the staged objects (staging/hash) of plan onto their paths in gameDir; a content that
// several paths share is copied for the later ones. False with the player's sentence.
bool placeFiles(const std::filesystem::path& gameDir, const std::filesystem::path& staging,
                const std::vector<const Entry*>& plan, std::string& error);

// True when the file for entry under gameDir needs no download. Deep: its size and content hash
// match. Quick: its size matches and the installed release had the same hash at this path
// (installed: that release's entry for the path, null when it had none or no valid installed
// state exists; then only deep can pass).
bool fileIsCurrent(const std::filesystem::path& gameDir, const Entry& entry,
                   const Entry* installed, bool deep);

struct InstallRequest {
    const Manifest& latest;         // checked, of the current channel
    const std::string& latestText;  // its signed text, the record to write
    const InstalledRecord& installed;
    bool install = false;  // false: a check, which only reports what an install would do
    bool verify = false;   // hash every file instead of trusting the record
};

// Plans the job and, for an install, carries it out, reporting each step; the last report is the
// job's final status.
void planAndInstall(const JobPlace& place, const InstallRequest& request, JobReport& report);

}  // namespace kd::launcher
