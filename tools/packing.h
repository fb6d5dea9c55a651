// Packing a release's files: each distinct content hashed, then packed once as a zlib object
// named by its hash in the server's objects folder, on a few worker threads that stream one file
// at a time, so that memory does not grow with the size of the game.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "release/manifest.h"
#include "tools/game_folder.h"
#include "tools/progress.h"
#include "tools/publish_cache.h"

namespace kd::tool {

// Hashes a file in pieces, so that memory does not grow with the file.
bool hashWhole(const std::filesystem::path& file, std::string& digest, std::uint64_t& size,
               Progress* progress = nullptr);

struct Packed {
    Entry entry;
    bool isNew = false;
    Identity identity;             // as seen before the file was read
    std::int64_t lookedAtNs = 0;   // when
    const Known* known = nullptr;  // the cache's record, when the file is unchanged since
};

// Makes sure the object for result.entry (hash and size known) exists in objects and fills in
// its packed size; name is the file as messages call it.
bool publishObject(const std::filesystem::path& file, const std::string& name,
                   const std::filesystem::path& objects, Packed& result, std::string& error,
                   Progress* progress = nullptr);

struct Totals {
    std::uint64_t bytes = 0;
    std::size_t newObjects = 0, reusedObjects = 0, unchangedFiles = 0;
};

// Hashes every file the cache does not know unchanged, then packs each distinct content once.
// results follow sources index for index.
bool publishAll(const std::vector<Source>& sources, const Cache& cache,
                const std::filesystem::path& objects, bool showProgress,
                std::vector<Packed>& results, Totals& totals, std::string& error);

}  // namespace kd::tool
