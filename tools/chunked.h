// Big files travel whole and in content-defined chunks (release/chunks.h). A big file the publish
// cache does not know is read once, and that one read feeds the whole-file hash and object, the
// chunker, and the chunks' objects; one the cache knows has its chunk objects vouched for from
// the server folder alone, without reading the file.
#pragma once

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "release/chunks.h"
#include "release/manifest.h"
#include "tools/objects.h"
#include "tools/progress.h"
#include "tools/publish_cache.h"

namespace kd::tool {

// The objects of one publish, shared by its workers, so that each content is packed once however
// many files or chunks hold it.
class ObjectBook {
public:
    explicit ObjectBook(ObjectStates& states) : states_(states) {}
    // True for the first to ask, who must then settle the object; false when it is taken.
    bool claim(const std::string& hash);
    void settle(const std::string& hash, const ObjectState& state);
    ObjectState find(const std::string& hash);

private:
    std::mutex mutex_;  // guards states_
    ObjectStates& states_;
};

// Reads file once and makes sure of its whole object and its chunks' objects: entry gets the
// whole file's hash and size, chunks the file's chunks in order (their packed sizes once every
// file is packed: see provideChunkList).
bool packChunked(const std::filesystem::path& file, const std::filesystem::path& objects,
                 const PublishCache& cache, ObjectBook& book, Entry& entry,
                 std::vector<Chunk>& chunks, std::string& error, Progress& progress);

// Names the chunk list of entry, its chunks' objects all settled in book, and makes it an object.
bool provideChunkList(const std::filesystem::path& objects, const PublishCache& cache,
                      ObjectBook& book, std::vector<Chunk>& chunks, Entry& entry,
                      std::string& error);

// True when the chunk list object entry names (as the cache recorded it) and every chunk it names
// are on the server as they should be; their states go into book. False is only a miss: the
// file is then read and packed again.
bool vouchForChunks(const std::filesystem::path& objects, const PublishCache& cache,
                    ObjectBook& book, Entry& entry);

}  // namespace kd::tool
