// The release manifest: the text that names one release's version, its launcher executable and
// every file of the installation with its content hash and sizes. One reader, one writer, so that
// the launcher and the release tool agree on the format.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kd {

struct Entry {
    std::string hash;              // BLAKE2b-256 of the unpacked content, 64 hex digits as written
    std::uint64_t size = 0;        // unpacked bytes
    std::uint64_t packedSize = 0;  // bytes of the zlib object on the server
    std::string path;              // '/'-separated, relative to the game folder; empty for the launcher

    bool operator==(const Entry&) const = default;
};

struct Manifest {
    std::string platform;
    std::string version;
    Entry launcher;  // empty hash: the release names no launcher
    std::vector<Entry> files;

    bool operator==(const Manifest&) const = default;
};

// Resets manifest first. On failure error holds one of the reader's messages and manifest holds
// what was read before the failing line.
bool parseManifest(std::string_view text, Manifest& manifest, std::string& error);
std::string writeManifest(const Manifest& manifest);
const Entry* findFile(const Manifest& manifest, std::string_view path);
// Refuses paths that could leave the game folder or name something odd: empty, absolute, trailing
// '/', '\', ':', empty, "." or ".." components, control bytes.
bool isSafePath(std::string_view path);

// Reads hash, size and packed size (and the rest of the line as path when withPath) from the
// words of a "launcher" or "file" line, the keyword already taken off.
bool readEntryFields(std::string_view rest, Entry& entry, bool withPath);

}  // namespace kd
