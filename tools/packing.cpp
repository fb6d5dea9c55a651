#include "tools/packing.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include "release/chunks.h"
#include "tools/chunked.h"
#include "tools/progress.h"
#include "tools/text.h"

namespace kd::tool {

namespace fs = std::filesystem;

namespace {

constexpr unsigned kMaxPackThreads = 8;

unsigned packThreads() {
    return std::max(1u, std::min(std::thread::hardware_concurrency(), kMaxPackThreads));
}

// Runs work(i, error) for every index on packThreads() threads; the first failure stops the rest.
bool parallelFor(std::size_t count, const std::function<bool(std::size_t, std::string&)>& work,
                 std::string& error) {
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex errorMutex;  // guards error
    auto worker = [&] {
        for (std::size_t i = next++; i < count && !failed; i = next++) {
            std::string message;
            if (!work(i, message)) {
                std::lock_guard<std::mutex> lock(errorMutex);
                if (!failed.exchange(true)) error = message;
            }
        }
    };
    std::vector<std::thread> pool;
    for (unsigned i = 1; i < packThreads(); ++i) pool.emplace_back(worker);
    worker();
    for (std::thread& thread : pool) thread.join();
    return !failed;
}

bool isBig(const Stamp& stamp) { return stamp.size >= kChunkedFileBytes; }

// Hashes the files at the indexes in which, taking the hash from the cache (when given) for a
// file whose stamp is as recorded. A big file is hashed while it is packed (packBigFiles), so
// here it is left without a hash unless the cache knows its chunks too.
bool hashFiles(const std::vector<Source>& sources, const PublishCache* cache,
               const std::vector<std::size_t>& which, bool showProgress,
               std::vector<PackedFile>& files, std::string& error) {
    std::uint64_t totalBytes = 0;
    std::error_code ec;
    for (std::size_t i : which) totalBytes += fs::file_size(sources[i].file, ec);
    Progress progress;
    ProgressLine line(showProgress, "hashed", which.size(), totalBytes, progress);
    return parallelFor(
        which.size(),
        [&](std::size_t k, std::string& message) {
            const std::size_t i = which[k];
            PackedFile& file = files[i];
            file.entry = Entry{.path = sources[i].path};
            file.lookedAtNs = wallClockNs();
            file.fromCache = false;
            const bool stamped = stampOf(sources[i].file, file.stamp);
            if (stamped && cache) {
                const auto known = cache->files.find(sources[i].cacheKey);
                const FileRecord* record = known == cache->files.end() ? nullptr : &known->second;
                // A record of a big file from before it was chunked is only a miss.
                if (record && record->stamp == file.stamp &&
                    (!isBig(file.stamp) || !record->chunksHash.empty())) {
                    file.fromCache = true;
                    file.entry.hash = record->hash;
                    file.entry.size = file.stamp.size;
                    if (isBig(file.stamp)) {
                        file.entry.chunksHash = record->chunksHash;
                        file.entry.chunksSize = record->chunksSize;
                        file.entry.chunksPackedSize = record->chunksPackedSize;
                    }
                    progress.bytes += file.entry.size;
                    progress.files++;
                    return true;
                }
            }
            if (stamped && isBig(file.stamp)) {
                progress.bytes += file.stamp.size;
                progress.files++;
                return true;
            }
            const bool ok = hashWhole(sources[i].file, file.entry.hash, file.entry.size, &progress);
            progress.files++;
            if (!ok) message = "cannot read " + quoteName(sources[i].path);
            return ok;
        },
        error);
}

// Makes an object of every content not in objects yet, from one file that holds it (one that
// was read this time, when there is one). A hash that a cache record gave and the file turned out
// not to have goes into wrong instead.
bool packContents(const std::vector<Source>& sources, const PublishCache& cache,
                  const fs::path& objectsDir, bool showProgress,
                  const std::vector<PackedFile>& files, ObjectStates& objects,
                  std::set<std::string>& wrong, std::string& error) {
    std::map<std::string, std::size_t> source;  // by hash: the file to pack it from
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string& hash = files[i].entry.hash;
        if (objects.count(hash)) continue;
        auto [at, added] = source.emplace(hash, i);
        if (!added && files[at->second].fromCache && !files[i].fromCache) at->second = i;
    }
    std::vector<std::size_t> from;
    std::uint64_t bytes = 0;
    for (const auto& [hash, i] : source) {
        from.push_back(i);
        bytes += files[i].entry.size;
    }
    std::vector<ObjectState> states(from.size());
    std::vector<char> disagreed(from.size(), 0);
    Progress progress;
    {
        ProgressLine line(showProgress, "packed", from.size(), bytes, progress);
        const bool ok = parallelFor(
            from.size(),
            [&](std::size_t k, std::string& message) {
                const PackedFile& file = files[from[k]];
                const ObjectResult result = provideObject(
                    sources[from[k]].file, file.entry.path, file.entry.hash, file.entry.size,
                    objectsDir, cache, states[k], message, &progress);
                progress.files++;
                if (result == ObjectResult::Changed && file.fromCache) disagreed[k] = 1;
                if (result == ObjectResult::Changed && !file.fromCache)
                    message = quoteName(file.entry.path) + " changed while it was being published";
                return result == ObjectResult::Ready || disagreed[k];
            },
            error);
        if (!ok) return false;
    }
    for (std::size_t k = 0; k < from.size(); ++k) {
        const std::string& hash = files[from[k]].entry.hash;
        if (disagreed[k])
            wrong.insert(hash);
        else
            objects[hash] = states[k];
    }
    return true;
}

// Settles every object of the big files at the indexes in which: those the cache knows (and whose
// chunk objects are all as they should be) keep their record, the rest are read once and packed.
bool packBigFiles(const std::vector<Source>& sources, const PublishCache& cache,
                  const std::vector<std::size_t>& which, const fs::path& objectsDir,
                  bool showProgress, std::vector<PackedFile>& files, ObjectStates& objects,
                  std::string& error) {
    ObjectBook book(objects);
    std::vector<std::size_t> known, unread;
    for (std::size_t i : which) {
        if (files[i].fromCache && !files[i].entry.chunksHash.empty()) known.push_back(i);
        if (files[i].entry.hash.empty()) unread.push_back(i);
    }
    std::vector<char> vouched(known.size(), 0);
    parallelFor(
        known.size(),
        [&](std::size_t k, std::string&) {
            vouched[k] = vouchForChunks(objectsDir, cache, book, files[known[k]].entry);
            return true;
        },
        error);
    for (std::size_t k = 0; k < known.size(); ++k)
        if (!vouched[k]) {
            PackedFile& file = files[known[k]];
            file.fromCache = false;
            file.entry = Entry{.path = file.entry.path};
            unread.push_back(known[k]);
        }
    std::uint64_t bytes = 0;
    for (std::size_t i : unread) bytes += files[i].stamp.size;
    std::vector<std::vector<Chunk>> chunks(unread.size());
    Progress progress;
    {
        ProgressLine line(showProgress, "packed", unread.size(), bytes, progress);
        const bool ok = parallelFor(
            unread.size(),
            [&](std::size_t k, std::string& message) {
                PackedFile& file = files[unread[k]];
                const bool packed = packChunked(sources[unread[k]].file, objectsDir, cache, book,
                                                file.entry, chunks[k], message, progress);
                progress.files++;
                return packed;
            },
            error);
        if (!ok) return false;
    }
    for (std::size_t k = 0; k < unread.size(); ++k)
        if (!provideChunkList(objectsDir, cache, book, chunks[k], files[unread[k]].entry, error))
            return false;
    return true;
}

// One round of hashing and packing the files at the indexes in which.
bool packRound(const std::vector<Source>& sources, const PublishCache& cache, bool useCache,
               const std::vector<std::size_t>& which, const fs::path& objectsDir, bool showProgress,
               std::vector<PackedFile>& files, ObjectStates& objects, std::set<std::string>& wrong,
               std::string& error) {
    return hashFiles(sources, useCache ? &cache : nullptr, which, showProgress, files, error) &&
           packBigFiles(sources, cache, which, objectsDir, showProgress, files, objects, error) &&
           packContents(sources, cache, objectsDir, showProgress, files, objects, wrong, error);
}

}  // namespace

bool packFiles(const std::vector<Source>& sources, const PublishCache& cache,
               const fs::path& objectsDir, bool showProgress, std::vector<PackedFile>& files,
               ObjectStates& objects, std::string& error) {
    files.assign(sources.size(), PackedFile());
    std::vector<std::size_t> all(sources.size());
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
    std::set<std::string> wrong;
    if (!packRound(sources, cache, true, all, objectsDir, showProgress, files, objects, wrong,
                   error))
        return false;
    if (!wrong.empty()) {
        // Every file that took one of those hashes from the cache is read now; the second round
        // packs only from files read this time, so it cannot meet a wrong record again.
        std::vector<std::size_t> again;
        for (std::size_t i = 0; i < files.size(); ++i)
            if (files[i].fromCache && wrong.count(files[i].entry.hash)) again.push_back(i);
        wrong.clear();
        if (!packRound(sources, cache, false, again, objectsDir, showProgress, files, objects,
                       wrong, error))
            return false;
    }
    for (PackedFile& file : files) {
        const auto object = objects.find(file.entry.hash);
        if (object == objects.end()) {  // only a file that changed again since it was read
            error = quoteName(file.entry.path) + " changed while it was being published";
            return false;
        }
        file.entry.packedSize = object->second.packedSize;
    }
    return true;
}

void countTotals(const std::vector<PackedFile>& files, const ObjectStates& objects,
                 Totals& totals) {
    for (const auto& [hash, state] : objects)
        ++(state.isNew ? totals.newObjects : totals.reusedObjects);
    for (const PackedFile& file : files) {
        totals.unchangedFiles += file.fromCache;
        totals.bytes += file.entry.size;
    }
}

PublishCache updatedCache(const PublishCache& cache, const std::string& gameKey,
                          const std::vector<Source>& sources, const std::vector<PackedFile>& files,
                          const ObjectStates& objects, const fs::path& objectsDir) {
    PublishCache updated;
    for (const auto& [key, record] : cache.files)
        if (!key.starts_with(gameKey)) updated.files.emplace(key, record);
    for (std::size_t i = 0; i < files.size(); ++i)
        if (settled(files[i].stamp, files[i].lookedAtNs))
            updated.files[sources[i].cacheKey] = {
                files[i].stamp, files[i].entry.hash, files[i].entry.chunksHash,
                files[i].entry.chunksSize, files[i].entry.chunksPackedSize};
    updated.objects = cache.objects;
    // An object checked or written now is recorded only when it is still as it was then, and
    // long enough after its last change that a further change would move its change time.
    const std::int64_t now = wallClockNs();
    for (const auto& [hash, state] : objects) {
        Stamp current;
        if (state.trusted || (stampOf(objectsDir / hash, current) && current == state.stamp &&
                              settled(current, now)))
            updated.objects[hash] = state.stamp;
        else
            updated.objects.erase(hash);
    }
    return updated;
}

}  // namespace kd::tool
