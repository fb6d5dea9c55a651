// The server's objects, one at a time: each is one zlib stream of a file's content, named by the
// BLAKE2b-256 of that content. Every file is read in pieces, so memory does not grow with it.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

#include "base/base.h"
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

using ObjectStates = std::map<std::string, ObjectState>;  // by hash

enum class ObjectResult {
    Ready,
    Failed,   // error says why
    Changed,  // the file no longer hashes to the object's name
};

// True when objects/HASH is there and holds size bytes that hash to its name: the cache vouches
// for its stamp, or it unpacks to them with the launcher's own inflater. One that is there and
// does not is marked replaced.
bool objectReady(const std::filesystem::path& objects, const std::string& hash, std::uint64_t size,
                 const PublishCache& cache, ObjectState& state);

// Makes sure objects/HASH unpacks to the content of file (size bytes that hash to hash): an object
// whose stamp the cache vouches for is taken as it is, any other is unpacked with the launcher's
// own inflater and checked, and one that is missing or wrong is packed anew from the file. name
// is the file as messages call it.
ObjectResult provideObject(const std::filesystem::path& file, const std::string& name,
                           const std::string& hash, std::uint64_t size,
                           const std::filesystem::path& objects, const PublishCache& cache,
                           ObjectState& state, std::string& error, Progress* progress = nullptr);

// The same for content already in memory (a chunk, a chunk list), whose hash is known.
bool provideBytes(const std::uint8_t* data, std::size_t size, const std::string& hash,
                  const std::filesystem::path& objects, const PublishCache& cache,
                  ObjectState& state, std::string& error);

// A new object packed as its content comes, into a part file of its own beside the objects, and
// named once the content's hash is known. A part never placed is removed.
class PartObject {
public:
    explicit PartObject(const std::filesystem::path& objects);
    ~PartObject();
    PartObject(const PartObject&) = delete;
    PartObject& operator=(const PartObject&) = delete;

    bool add(const std::uint8_t* data, std::size_t length, std::string& error);
    bool finish(std::string& error);
    // Renames the finished part to objects/HASH, over whatever stood there.
    bool place(const std::string& hash, ObjectState& state, std::string& error);

private:
    bool deflateSome(const std::uint8_t* data, std::size_t length, int flush, std::string& error);

    std::filesystem::path objects_;
    std::string part_;
    UniqueFd out_;
    z_stream stream_{};
    std::uint64_t packedSize_ = 0;
    bool placed_ = false;
};

}  // namespace kd::tool
