// Fetch and unpack: the install's downloads. Objects stream from the server through inflate and
// the hash straight into staging files, several at a time, each on a connection of its own, so
// memory stays bounded whatever the size of a file and waiting on one request overlaps the others.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "release/manifest.h"

namespace kd::launcher {

struct FetchPlan {
    std::string serverUrl;
    std::filesystem::path staging;      // objects land here as staging/hash
    std::vector<const Entry*> entries;  // the install's plan, in order
    std::uint64_t total = 0;            // packed bytes of the whole plan
    int connections = 8;
    const std::atomic<bool>* cancel = nullptr;
    // Called under one lock, never at once: an object is starting (index into entries), and the
    // share of the plan fetched so far, which only rises.
    std::function<void(std::size_t index, double progress)> starting;
    std::function<void(double progress)> progress;
};

// Fetches every object the plan needs that staging does not already hold whole and right, each
// up to three attempts. On false, error holds the sentence of the first object that failed (or
// of the cancel); every object fetched before stays in staging.
bool fetchObjects(const FetchPlan& plan, std::string& error);

// One object into file (written as file + ".part", then renamed), streaming, up to three attempts.
// progress receives the bytes received of this attempt. A file that cannot be written fails at
// once: with the disk-full or not-allowed sentence for its folder, otherwise with writeError, or
// without one "cannot write to FOLDER".
bool fetchObjectFile(const std::string& serverUrl, const Entry& entry,
                     const std::filesystem::path& file,
                     const std::function<void(std::uint64_t received)>& progress,
                     const std::atomic<bool>* cancel, std::string& error,
                     const std::string& writeError = {});

// Packed bytes that fetching entries would download: each content once, none staged already.
std::uint64_t packedBytesToFetch(const std::vector<const Entry*>& entries,
                                 const std::filesystem::path& staging);

// A staged object counts only when it is whole and right: staging is also where an interrupted
// install resumes from.
bool isStaged(const std::filesystem::path& object, const Entry& entry);

}  // namespace kd::launcher
