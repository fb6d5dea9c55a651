// What earlier publishes learnt, kept in the server folder so that publishing a folder that did
// not change reads nothing but its listing and the objects' metadata.
//
// A game file counts as unchanged only when its folder, path, device, inode, size, modification
// and change times are all as recorded; an object counts as checked only when its stamp is as it
// was when this tool wrote it or last unpacked it whole. The change time moves with every write
// and cannot be set back by copying tools, so a file rewritten with its old size and time, or an
// object damaged in place, is still noticed. The cache only ever saves reading: a record that
// disagrees with what is on disk is a miss, and a damaged cache is dropped.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

namespace kd::tool {

constexpr const char* kCacheName = ".publish-cache";

// A file as stat shows it.
struct Stamp {
    std::uint64_t device = 0, inode = 0, size = 0;
    std::int64_t modifiedNs = 0, changedNs = 0;
    bool operator==(const Stamp&) const = default;
};

// What a game file held when it was last read; for a big file, also its chunk list object (an
// empty hash when none is recorded).
struct FileRecord {
    Stamp stamp;
    std::string hash;
    std::string chunksHash = {};
    std::uint64_t chunksSize = 0, chunksPackedSize = 0;
};

struct PublishCache {
    std::map<std::string, FileRecord> files;  // by game folder key and path
    std::map<std::string, Stamp> objects;     // by hash: objects known to unpack to their name
};

bool stampOf(const std::filesystem::path& file, Stamp& stamp);
// Whether a stamp taken at lookedAtNs may be recorded: a second change within the file system's
// clock step would leave the times as they were.
bool settled(const Stamp& stamp, std::int64_t lookedAtNs);
std::int64_t wallClockNs();

// A missing cache, or one another version of the tool wrote, is an empty one; so is a damaged
// one, and then warning says so.
PublishCache readPublishCache(const std::filesystem::path& file, std::string& warning);
// A cache not written costs reading next time, nothing more.
void writePublishCache(const std::filesystem::path& file, const PublishCache& cache);

}  // namespace kd::tool
