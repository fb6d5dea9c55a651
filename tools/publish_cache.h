// What the last publish learnt about each game file, kept in the server folder, so that
// publishing a folder that did not change reads nothing but its listing. A file counts as
// unchanged only when its folder, path, device, inode, size, modification and change times are
// all as recorded; the change time cannot be set back by copying tools, so a file rewritten with
// its old size and time is still noticed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

namespace kd::tool {

constexpr const char* kCacheName = ".publish-cache";

struct Identity {
    std::uint64_t device = 0, inode = 0, size = 0;
    std::int64_t modifiedNs = 0, changedNs = 0;
    bool operator==(const Identity&) const = default;
};

struct Known {
    Identity identity;
    std::string hash;
    std::uint64_t packedSize = 0;
};

using Cache = std::map<std::string, Known>;  // by game folder key and path

bool identify(const std::filesystem::path& file, Identity& identity);
// Whether a file seen with this identity at lookedAtNs may be recorded: a second change within
// the file system's clock step would leave its times as they were.
bool settled(const Identity& identity, std::int64_t lookedAtNs);
std::int64_t wallClockNs();

// A missing or damaged cache is an empty one: it only saves reading.
Cache readCache(const std::filesystem::path& file);
// A cache not written costs reading next time, nothing more.
void writeCache(const std::filesystem::path& file, const Cache& cache);

}  // namespace kd::tool
