// The server's objects, one at a time: each is one zlib stream of a file's content, named by the
// BLAKE2b-256 of that content. Every file is read in pieces, so memory does not grow with it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "tools/progress.h"
#include "tools/publish_cache.h"

namespace kd::tool {

// Hashes what is left to read of a descriptor, or of a file.
bool hashDescriptor(int fd, std::string& digest, std::uint64_t& size, Progress* progress = nullptr);
bool hashWhole(const std::filesystem::path& file, std::string& digest, std::uint64_t& size,
               Progress* progress = nullptr);

// What publish knows about one object of the release.
struct ObjectState {
    bool isNew = false;     // written by this publish
    bool trusted = false;   // its stamp was as the cache recorded: not read again
    bool replaced = false;  // one stood there that did not unpack to its name
    std::uint64_t packedSize = 0;
    Stamp stamp;  // as this publish last saw it good: before it was checked, or once written
};

enum class ObjectResult {
    Ready,
    Failed,   // error says why
    Changed,  // the file no longer hashes to the object's name
};

// Makes sure objects/HASH unpacks to the content of file (size bytes that hash to hash): an object
// whose stamp the cache vouches for is taken as it is, any other is unpacked with the launcher's
// own inflater and checked, and one that is missing or wrong is packed anew from the file. name
// is the file as messages call it.
ObjectResult provideObject(const std::filesystem::path& file, const std::string& name,
                           const std::string& hash, std::uint64_t size,
                           const std::filesystem::path& objects, const PublishCache& cache,
                           ObjectState& state, std::string& error, Progress* progress = nullptr);

}  // namespace kd::tool
