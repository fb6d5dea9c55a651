// Big files travel in content-defined chunks as well as whole. A rolling hash over the file's bytes
// picks the cut points, so an insertion moves only the cuts around it and a patch of a big file
// costs the player the few chunks it touched. Each chunk is an object like any other (zlib, named
// by the BLAKE2b-256 of its bytes, shared across files and releases); a file's ordered chunk list
// is an object of its own, which the manifest names on a "chunks" line after the file's line.
// Readers that do not know that line skip it and fetch the whole-file object, which is published
// too.
//
// The chunk list object, unpacked, is the header line "veilstone-chunks 1" followed by one line
// per chunk in file order: hash, size and packed size, separated by single spaces.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "release/manifest.h"

namespace kd {

// Files of at least this size are chunked.
constexpr std::uint64_t kChunkedFileBytes = std::uint64_t(8) << 20;
constexpr std::uint32_t kMinChunkBytes = 256u << 10;
constexpr std::uint32_t kAverageChunkBytes = 1u << 20;
constexpr std::uint32_t kMaxChunkBytes = 4u << 20;

struct Chunk {
    std::string hash;  // 64 lowercase hex digits of the chunk's bytes
    std::uint32_t size = 0;
    std::uint64_t packedSize = 0;  // of its object on the server
    bool operator==(const Chunk&) const = default;
};

// The longest chunk list a file of fileSize bytes can have: every chunk but the last holds at least
// kMinChunkBytes. A manifest naming a longer list is refused before it is fetched.
std::uint64_t maxChunkListBytes(std::uint64_t fileSize);

std::string writeChunkList(const std::vector<Chunk>& chunks);

// Reads the list of file (whose chunks fields name it) from its unpacked text. False with the
// sentence to show, and chunks empty, when it is not a list of that file: sizes that do not add up
// to the file's, a chunk outside the size bounds, one that names the list itself, or a malformed
// line.
bool parseChunkList(std::string_view text, const Entry& file, std::vector<Chunk>& chunks,
                    std::string& error);

// The object entry of a file's chunk list, to be fetched like any object.
Entry chunkListEntry(const Entry& file);
Entry chunkEntry(const Chunk& chunk, const Entry& file);

// Finds the cut points of a byte stream fed piece by piece; the same bytes always give the same
// cuts, however they are split.
class Chunker {
public:
    // Bytes of data that belong to the current chunk; when that is less than length, the chunk
    // ends there and the rest starts the next one (feed it again). At the end of the stream the
    // current chunk, if not empty, is the last.
    std::size_t cut(const std::uint8_t* data, std::size_t length);

private:
    std::uint64_t hash_ = 0;
    std::uint32_t length_ = 0;  // of the current chunk so far
    bool cutAtEnd_ = false;     // the last piece ended a chunk on its last byte
};

}  // namespace kd
