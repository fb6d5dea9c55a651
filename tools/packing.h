// Packing a release's files: each file hashed (or its hash taken from the publish cache when the
// file did not change), then each distinct content made an object once, on a few worker threads
// that stream one file at a time, so that memory does not grow with the size of the game.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "release/manifest.h"
#include "tools/game_folder.h"
#include "tools/objects.h"
#include "tools/publish_cache.h"

namespace kd::tool {

// One game file on its way into the release.
struct PackedFile {
    Entry entry;
    Stamp stamp;                  // the file as seen before it was read
    std::int64_t lookedAtNs = 0;  // when
    bool fromCache = false;       // the hash is the cache's, not read this time
};

struct Totals {
    std::uint64_t bytes = 0;
    std::size_t newObjects = 0, reusedObjects = 0, unchangedFiles = 0;
};

// Fills files (index for index with sources) and adds every object the release needs to objects,
// packing those that are missing or wrong. Objects already in objects are taken as they are.
// A cached hash that the file turns out not to have is a miss, never an error: such files are
// hashed again and packed under their real hash.
bool packFiles(const std::vector<Source>& sources, const PublishCache& cache,
               const std::filesystem::path& objectsDir, bool showProgress,
               std::vector<PackedFile>& files, ObjectStates& objects, std::string& error);

void countTotals(const std::vector<PackedFile>& files, const ObjectStates& objects, Totals& totals);

// The cache to keep after this publish: the records of other game folders and of other objects
// stay, this folder's files and this release's objects are recorded as they are now, where that
// can be trusted next time.
PublishCache updatedCache(const PublishCache& cache, const std::string& gameKey,
                          const std::vector<Source>& sources, const std::vector<PackedFile>& files,
                          const ObjectStates& objects, const std::filesystem::path& objectsDir);

}  // namespace kd::tool
