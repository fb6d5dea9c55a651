// Inside the update engine: the install's downloads. Whole objects stream from the server through
// inflate and the hash straight into staging files; big files are built from their chunks
// (update/chunked.h). Several downloads run at once, each on a connection of its own, chunks of one
// file among them, so memory stays bounded whatever the size of a file and waiting on one request
// overlaps the others.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "release/manifest.h"
#include "update/chunked.h"
#include "update/job.h"

namespace kd::launcher {

// One content to stage: a whole object, or a big file from its chunks.
struct Download {
    std::size_t index = 0;  // of its first entry in the plan
    const Entry* entry = nullptr;
    std::unique_ptr<ChunkedFile> chunked;  // null: the whole object
    std::uint64_t packedBytes = 0;         // what fetching it costs
};

// What an install must fetch: each content once, nothing already staged, and of a big file only
// the chunks neither staged nor held by its installed copy.
struct DownloadPlan {
    std::vector<Download> downloads;
    std::uint64_t packedBytes = 0;  // saturates instead of wrapping
};

// installed is the installed release (null when none is valid), for the chunks its files hold.
// False with the sentence to show when a big file's chunk list cannot be had.
bool planDownloads(const JobPlace& place, const std::vector<const Entry*>& entries,
                   const Manifest* installed, DownloadPlan& plan, std::string& error);

struct FetchPlan {
    const JobPlace& place;
    const std::vector<const Entry*>& entries;  // the install's plan, in order, for the messages
    const DownloadPlan& downloads;
    // Called under one lock, never at once: a download is starting (index into entries), and the
    // share of the plan's bytes fetched so far, which only rises (-1 with nothing to measure).
    std::function<void(std::size_t index, double progress)> starting;
    std::function<void(double progress)> progress;
};

// Fetches every download of the plan, each object up to three attempts. On false, error holds the
// sentence of the first that failed (or of the cancel); everything fetched before stays staged.
bool fetchObjects(const FetchPlan& plan, std::string& error);

}  // namespace kd::launcher
