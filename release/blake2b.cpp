// BLAKE2b as RFC 7693 defines it. The twelve rounds are unrolled at compile time, so every
// message word index is a constant and the hot loop does no per-byte work. One block's mixes form
// a chain of dependent 64-bit operations, and a processor with several integer units runs the
// four independent mixes of each half-round side by side. (A vector form that keeps the state's
// rows in AVX2 registers was measured at half this speed: every half-round then waits on lane
// permutes.)
#include "release/blake2b.h"

#include <bit>
#include <cstring>
#include <utility>

namespace kd {
namespace {

// RFC 7693 2.6 and 2.7.
constexpr std::uint64_t kIv[8] = {0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b,
                                  0xa54ff53a5f1d36f1, 0x510e527fade682d1, 0x9b05688c2b3e6c1f,
                                  0x1f83d9abfb41bd6b, 0x5be0cd19137e2179};
constexpr std::uint8_t kSigma[10][16] = {
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
    {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
    {11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4},
    {7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8},
    {9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13},
    {2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9},
    {12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11},
    {13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10},
    {6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5},
    {10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0},
};
constexpr int kRounds = 12;  // rounds 10 and 11 use the first two permutations again
// Parameter block word 0 for no key and a 32-byte digest: digest length, key length 0, fanout
// 1, depth 1.
constexpr std::uint64_t kParameterWord = 0x01010000 | kDigestBytes;

void addToCounter(std::uint64_t counter[2], std::size_t bytes) {
    counter[0] += bytes;
    if (counter[0] < bytes) ++counter[1];
}

// The sixteen message words of a block, little-endian whatever the host.
void loadWords(std::uint64_t m[16], const std::uint8_t* block) {
    std::memcpy(m, block, Blake2b::kBlockBytes);
    if constexpr (std::endian::native == std::endian::big) {
        for (int i = 0; i < 16; ++i) {
            std::uint64_t w = 0;
            for (int b = 0; b < 8; ++b) w |= std::uint64_t{block[8 * i + b]} << (8 * b);
            m[i] = w;
        }
    }
}

[[gnu::always_inline]] inline void mix(std::uint64_t& a, std::uint64_t& b, std::uint64_t& c,
                                       std::uint64_t& d, std::uint64_t x, std::uint64_t y) {
    a += b + x;
    d = std::rotr(d ^ a, 32);
    c += d;
    b = std::rotr(b ^ c, 24);
    a += b + y;
    d = std::rotr(d ^ a, 16);
    c += d;
    b = std::rotr(b ^ c, 63);
}

template <int R>
[[gnu::always_inline]] inline void blockRound(std::uint64_t (&v)[16],
                                              const std::uint64_t (&m)[16]) {
    constexpr const std::uint8_t* s = kSigma[R % 10];
    mix(v[0], v[4], v[8], v[12], m[s[0]], m[s[1]]);
    mix(v[1], v[5], v[9], v[13], m[s[2]], m[s[3]]);
    mix(v[2], v[6], v[10], v[14], m[s[4]], m[s[5]]);
    mix(v[3], v[7], v[11], v[15], m[s[6]], m[s[7]]);
    mix(v[0], v[5], v[10], v[15], m[s[8]], m[s[9]]);
    mix(v[1], v[6], v[11], v[12], m[s[10]], m[s[11]]);
    mix(v[2], v[7], v[8], v[13], m[s[12]], m[s[13]]);
    mix(v[3], v[4], v[9], v[14], m[s[14]], m[s[15]]);
}

template <int... R>
[[gnu::always_inline]] inline void allRounds(std::uint64_t (&v)[16], const std::uint64_t (&m)[16],
                                             std::integer_sequence<int, R...>) {
    (blockRound<R>(v, m), ...);
}

// Compresses `count` blocks. Before each the counter grows by blockBytes: 128, or for the final
// block (count 1, last set) the bytes it holds before its zero padding.
void compress(std::uint64_t h[8], const std::uint8_t* blocks, std::size_t count,
              std::size_t blockBytes, std::uint64_t counter[2], bool last) {
    for (; count > 0; --count, blocks += Blake2b::kBlockBytes) {
        addToCounter(counter, blockBytes);
        std::uint64_t m[16];
        loadWords(m, blocks);
        std::uint64_t v[16];
        for (int i = 0; i < 8; ++i) v[i] = h[i];
        for (int i = 0; i < 8; ++i) v[8 + i] = kIv[i];
        v[12] ^= counter[0];
        v[13] ^= counter[1];
        if (last) v[14] = ~v[14];
        allRounds(v, m, std::make_integer_sequence<int, kRounds>{});
        for (int i = 0; i < 8; ++i) h[i] ^= v[i] ^ v[8 + i];
    }
}

}  // namespace

Blake2b::Blake2b() {
    for (int i = 0; i < 8; ++i) state_[i] = kIv[i];
    state_[0] ^= kParameterWord;
}

void Blake2b::update(const void* bytes, std::size_t length) {
    if (length == 0) return;
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    // The final block is compressed with the last-block flag, so the newest bytes always wait in
    // the buffer until more arrive or the hash is finished.
    if (buffered_ + length <= kBlockBytes) {
        std::memcpy(buffer_ + buffered_, p, length);
        buffered_ += length;
        return;
    }
    if (buffered_ > 0) {
        const std::size_t fill = kBlockBytes - buffered_;
        std::memcpy(buffer_ + buffered_, p, fill);
        compress(state_, buffer_, 1, kBlockBytes, counter_, false);
        p += fill;
        length -= fill;
    }
    const std::size_t whole = (length - 1) / kBlockBytes;  // length > 0 here
    compress(state_, p, whole, kBlockBytes, counter_, false);
    p += whole * kBlockBytes;
    length -= whole * kBlockBytes;
    std::memcpy(buffer_, p, length);
    buffered_ = length;
}

void Blake2b::final(std::uint8_t digest[kDigestBytes]) {
    std::memset(buffer_ + buffered_, 0, kBlockBytes - buffered_);
    compress(state_, buffer_, 1, buffered_, counter_, true);
    for (std::size_t i = 0; i < kDigestBytes; ++i) {
        digest[i] = static_cast<std::uint8_t>(state_[i / 8] >> (8 * (i % 8)));
    }
}

}  // namespace kd
