// Inside the update engine: a big file built in staging from its chunks (release/chunks.h). The
// chunks the installed copy of the file already holds, by the installed release's chunk list, are
// copied from it and checked by hash as they are read; the others are downloaded, several at a
// time, straight into the file being built ("staging/HASH.part"). That file is its own record of
// progress: after an interruption every chunk found right in it (by hash) is kept, and of a chunk
// cut off midway the packed bytes that came, so a resumed install fetches only what is missing. The
// whole file's hash is checked at the end, as for any object.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "base/base.h"
#include "release/chunks.h"
#include "release/manifest.h"
#include "update/job.h"

namespace kd::launcher {

struct ChunkedFile {
    const Entry* entry = nullptr;
    std::vector<Chunk> chunks;
    std::vector<std::uint64_t> offsets;  // where each chunk starts in the file
    // Per chunk: its offset in the installed copy by the installed list, or -1 when the installed
    // copy does not hold it.
    std::vector<std::int64_t> oldOffsets;
    std::vector<bool> present;  // already right in the file being built
    // Per chunk: packed bytes kept from an interrupted download of it (see packedPath).
    std::vector<std::uint64_t> packedHeld;
    std::filesystem::path oldFile;  // the installed copy; empty when there is none to copy from
    // The packed bytes of the chunks neither present nor held by the installed copy, less what
    // interrupted downloads of them kept.
    std::uint64_t packedToFetch = 0;
    bool needsFetch(std::size_t chunk) const { return !present[chunk] && oldOffsets[chunk] < 0; }
};

// The chunk list of file: the launcher's cached copy when it is still right, otherwise from the
// server, and then cached. False with the sentence to show.
bool loadChunkList(const JobPlace& place, const Entry& file, std::vector<Chunk>& chunks,
                   std::string& error);

// Reads length bytes at offset; false on a short read or an error.
bool readAt(int fd, std::uint8_t* buffer, std::size_t length, std::uint64_t offset);

// Reads entry's chunk list (from the launcher's cache of lists, or from the server) and finds what
// is already at hand: in the file being built, and in installed, the installed release's entry at
// the same path (null when none). False with the sentence to show when the list cannot be had or is
// not a list of the file.
bool planChunkedFile(const JobPlace& place, const Entry& entry, const Entry* installed,
                     ChunkedFile& file, std::string& error);

// Builds one planned file: copyHeld for each chunk the installed copy holds (false when it does
// not hold it right: then it is downloaded) and download for the others, from any thread, in any
// order; then finish once, on one thread, which reads the file back in order for the whole file's
// hash and stages it under its hash. ensure(chunk) is what finish calls for every chunk not
// present yet; it returns once that chunk is in the file, false when it never will be.
class ChunkBuilder {
public:
    ChunkBuilder(const JobPlace& place, const ChunkedFile& file);
    bool open(std::string& error);
    bool copyHeld(std::size_t chunk);
    bool download(std::size_t chunk, const std::function<void(std::uint64_t received)>& progress,
                  const std::atomic<bool>* cancel, std::string& error);
    bool finish(const std::function<bool(std::size_t chunk, std::string& error)>& ensure,
                const std::atomic<bool>* cancel, std::string& error);

private:
    const JobPlace& place_;
    const ChunkedFile& file_;
    UniqueFd fd_;   // the file being built
    UniqueFd old_;  // the installed copy, when it holds chunks of this file
};

// Where the file is built, and where it is staged once whole.
std::filesystem::path buildPath(const JobPlace& place, const Entry& entry);
// Where a chunk's packed bytes are kept while it downloads ("staging/HASH.N.packed"), so that
// after an interruption only the rest of it is asked for.
std::filesystem::path packedPath(const JobPlace& place, const Entry& entry, std::size_t chunk);

// Keeps the cached chunk lists of release and drops the others (after an install).
void keepChunkLists(const JobPlace& place, const Manifest& release);

}  // namespace kd::launcher
