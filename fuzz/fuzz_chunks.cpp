// Arbitrary chunk lists for a file whose size the first 8 bytes give: whatever the reader accepts
// must add up to that size exactly, keep every chunk within its bounds, never name the list
// itself, and read back the same from its own writing. The cut points of the same bytes must not
// depend on how they are fed.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "release/chunks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 8) return 0;
    kd::Entry file;
    std::memcpy(&file.size, data, 8);
    file.size %= std::uint64_t(64) << 30;
    file.path = "big.pak";
    file.chunksHash = std::string(64, 'a');
    const std::string_view text(reinterpret_cast<const char*>(data + 8), size - 8);
    std::vector<kd::Chunk> chunks;
    std::string error;
    if (kd::parseChunkList(text, file, chunks, error)) {
        std::uint64_t total = 0;
        for (std::size_t i = 0; i < chunks.size(); ++i) {
            const kd::Chunk& chunk = chunks[i];
            if (chunk.size == 0 || chunk.size > kd::kMaxChunkBytes ||
                chunk.hash == file.chunksHash ||
                (i + 1 < chunks.size() && chunk.size < kd::kMinChunkBytes))
                abort();
            total += chunk.size;
        }
        std::vector<kd::Chunk> back;
        if (total != file.size || !error.empty() ||
            !kd::parseChunkList(kd::writeChunkList(chunks), file, back, error) || back != chunks)
            abort();
    } else if (error.empty() || !chunks.empty()) {
        abort();
    }

    // The input as bytes to cut, whole and fed in two pieces.
    std::vector<std::size_t> whole, split;
    for (int pass = 0; pass < 2; ++pass) {
        kd::Chunker chunker;
        std::vector<std::size_t>& cuts = pass == 0 ? whole : split;
        const std::size_t middle = pass == 0 ? size : data[0] * size / 256;
        std::size_t at = 0, length = 0;
        for (const auto& [from, to] : {std::pair{std::size_t(0), middle}, {middle, size}}) {
            for (at = from; at < to;) {
                const std::size_t taken = chunker.cut(data + at, to - at);
                at += taken;
                length += taken;
                if (at < to || taken == 0) {
                    cuts.push_back(length);
                    length = 0;
                }
            }
        }
    }
    if (whole != split) abort();
    return 0;
}
