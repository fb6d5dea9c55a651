#include "release/chunks.h"

#include <charconv>

namespace kd {
namespace {

constexpr std::string_view kHeader = "veilstone-chunks 1\n";
// "hash size packed\n" with both numbers at their widest.
constexpr std::uint64_t kMaxLineBytes = 64 + 1 + 7 + 1 + 20 + 1;
// zlib may store a chunk that does not compress, a few bytes per 64 KiB block above its size.
constexpr std::uint64_t kMaxChunkPackedBytes = kMaxChunkBytes + (kMaxChunkBytes >> 10) + 64;
// Below the average a cut needs more of the hash's top bits clear, above it fewer: chunk sizes
// then gather around the average instead of spreading out (normalized chunking).
constexpr int kHardBits = 22;
constexpr int kEasyBits = 18;
// The rolling hash forgets a byte after 64 steps, so the first bytes of a chunk that can never
// end it need not be hashed at all.
constexpr std::uint32_t kHashFrom = kMinChunkBytes - 64;

// One fixed random word per byte value (splitmix64 of the value): every tool that ever publishes
// must cut the same bytes at the same points, or chunks would stop being shared.
struct GearTable {
    std::array<std::uint64_t, 256> word{};
    constexpr GearTable() {
        std::uint64_t state = 0x5665696c73746f6eULL;
        for (std::uint64_t& w : word) {
            std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
            w = z ^ (z >> 31);
        }
    }
};
constexpr GearTable kGear;

bool readNumber(std::string_view word, std::uint64_t& value) {
    if (word.empty() || word[0] < '0' || word[0] > '9' || (word.size() > 1 && word[0] == '0'))
        return false;
    const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), value);
    return ec == std::errc() && end == word.data() + word.size();
}

bool isLowerHexDigest(std::string_view text) {
    if (text.size() != 64) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

// One "hash size packed" line.
bool readChunk(std::string_view line, Chunk& chunk) {
    const std::size_t first = line.find(' ');
    const std::size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
    if (second == std::string_view::npos) return false;
    std::uint64_t size = 0, packed = 0;
    if (!isLowerHexDigest(line.substr(0, first)) ||
        !readNumber(line.substr(first + 1, second - first - 1), size) ||
        !readNumber(line.substr(second + 1), packed))
        return false;
    if (size == 0 || size > kMaxChunkBytes || packed == 0 || packed > kMaxChunkPackedBytes)
        return false;
    chunk.hash = line.substr(0, first);
    chunk.size = static_cast<std::uint32_t>(size);
    chunk.packedSize = packed;
    return true;
}

}  // namespace

std::uint64_t maxChunkListBytes(std::uint64_t fileSize) {
    return kHeader.size() + (fileSize / kMinChunkBytes + 1) * kMaxLineBytes;
}

std::string writeChunkList(const std::vector<Chunk>& chunks) {
    std::string text(kHeader);
    for (const Chunk& chunk : chunks)
        text += chunk.hash + " " + std::to_string(chunk.size) + " " +
                std::to_string(chunk.packedSize) + "\n";
    return text;
}

namespace {

bool readChunks(std::string_view text, const Entry& file, std::vector<Chunk>& chunks,
                std::string& error) {
    error = "the chunk list of " + file.path + " is damaged";
    if (!text.starts_with(kHeader) || !text.ends_with('\n') ||
        text.size() > maxChunkListBytes(file.size))
        return false;
    std::uint64_t total = 0;
    std::string_view rest = text.substr(kHeader.size());
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        Chunk chunk;
        if (!readChunk(rest.substr(0, end), chunk)) return false;
        rest.remove_prefix(end + 1);
        // Only the last chunk may be shorter than the least a cut allows.
        if (!chunks.empty() && chunks.back().size < kMinChunkBytes) return false;
        if (chunk.hash == file.chunksHash) {
            error = "the chunk list of " + file.path + " names itself";
            return false;
        }
        total += chunk.size;
        if (total > file.size) break;
        chunks.push_back(std::move(chunk));
    }
    if (total != file.size) {
        error = "the chunks of " + file.path + " do not add up to its size";
        return false;
    }
    error.clear();
    return true;
}

}  // namespace

bool parseChunkList(std::string_view text, const Entry& file, std::vector<Chunk>& chunks,
                    std::string& error) {
    chunks.clear();
    if (readChunks(text, file, chunks, error)) return true;
    chunks.clear();
    return false;
}

Entry chunkListEntry(const Entry& file) {
    return Entry{.hash = file.chunksHash,
                 .size = file.chunksSize,
                 .packedSize = file.chunksPackedSize,
                 .path = file.path};
}

Entry chunkEntry(const Chunk& chunk, const Entry& file) {
    return Entry{
        .hash = chunk.hash, .size = chunk.size, .packedSize = chunk.packedSize, .path = file.path};
}

std::size_t Chunker::cut(const std::uint8_t* data, std::size_t length) {
    // A cut on the last byte of a piece is told with the next piece, as one before its first
    // byte: taking the whole piece would not say that the chunk ended there.
    if (cutAtEnd_) {
        cutAtEnd_ = false;
        return 0;
    }
    for (std::size_t i = 0; i < length; ++i) {
        ++length_;
        if (length_ <= kHashFrom) continue;
        hash_ = (hash_ << 1) + kGear.word[data[i]];
        if (length_ < kMinChunkBytes) continue;
        const int bits = length_ < kAverageChunkBytes ? kHardBits : kEasyBits;
        if ((hash_ >> (64 - bits)) == 0 || length_ == kMaxChunkBytes) {
            hash_ = 0;
            length_ = 0;
            cutAtEnd_ = i + 1 == length;
            return i + 1;
        }
    }
    return length;
}

}  // namespace kd
