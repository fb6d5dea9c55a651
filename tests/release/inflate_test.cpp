#include "release/inflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <optional>
#include <random>

#include "release/crypto.h"

namespace kd {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes hex(const std::string& text) {
    Bytes out(text.size() / 2);
    EXPECT_TRUE(hexDecode(text, out.data(), out.size())) << text;
    return out;
}

// zlib's stream of `data`. With a chunk size, every chunk ends in a full flush (an empty stored
// block) and the chunks take turns at dynamic, stored and fixed blocks.
Bytes deflateWith(const Bytes& data, int level, int strategy = Z_DEFAULT_STRATEGY,
                  std::size_t chunk = 0) {
    z_stream s{};
    EXPECT_EQ(deflateInit2(&s, level, Z_DEFLATED, 15, 8, strategy), Z_OK);
    Bytes packed(deflateBound(&s, data.size()) + data.size() / 8 + 64);
    s.next_out = packed.data();
    s.avail_out = static_cast<uInt>(packed.size());
    const std::size_t step = chunk != 0 ? chunk : data.size() + 1;
    for (std::size_t from = 0, i = 0; from <= data.size(); from += step, ++i) {
        if (chunk != 0) deflateParams(&s, i % 3 == 1 ? 0 : 6, i % 3 == 2 ? Z_FIXED : strategy);
        s.next_in = const_cast<std::uint8_t*>(data.data()) + from;
        s.avail_in = static_cast<uInt>(std::min(step, data.size() - from));
        deflate(&s, from + step > data.size() ? Z_FINISH : Z_FULL_FLUSH);
    }
    EXPECT_EQ(deflateEnd(&s), Z_OK);
    packed.resize(s.total_out);
    return packed;
}

// Skewed words, as in text and scripts; or, with a period, a random block repeated.
Bytes sample(std::size_t size, unsigned seed, std::size_t period = 0) {
    const std::string words[] = {"the ", "stone ", "veil ", "of ", "{\n", "} ", "= 0x1f "};
    std::mt19937 rng(seed);
    Bytes out;
    while (out.size() < size) {
        const std::string& w = words[std::min(rng() % 8, rng() % 8) % std::size(words)];
        if (period == 0) out.insert(out.end(), w.begin(), w.end());
        if (period != 0) out.push_back(out.size() < period ? rng() : out[out.size() - period]);
    }
    out.resize(size);
    return out;
}

// The unpacked bytes, or nothing when the stream is refused.
using Unpacked = std::optional<Bytes>;

Unpacked inflateWhole(const Bytes& stream, std::uint64_t expected) {
    Bytes out;
    return inflateZlib(stream.data(), stream.size(), expected, out) ? Unpacked(out) : std::nullopt;
}

// Feeds the stream to an Inflater as a download arrives: `first` bytes, then `piece` at a time.
Unpacked inflateInPieces(const Bytes& stream, std::uint64_t expected, std::size_t first,
                         std::size_t piece) {
    Bytes out;
    Inflater inflater(expected, [&](const std::uint8_t* data, std::size_t length) {
        out.insert(out.end(), data, data + length);
        EXPECT_LE(out.size(), expected);
        return true;
    });
    for (std::size_t from = 0, n = first; from < stream.size(); from += n, n = piece) {
        n = std::min(n, stream.size() - from);
        if (!inflater.push(stream.data() + from, n)) return std::nullopt;
    }
    return inflater.finish() ? Unpacked(out) : std::nullopt;
}

TEST(Inflate, UnpacksZlibStreamsOfEveryLevelAndStrategy) {
    const Bytes inputs[] = {
        {}, {0x42}, sample(70'000, 1), sample(100'000, 2, 300), sample(20'000, 3, 20'000)};
    for (const Bytes& data : inputs) {
        for (int level = 0; level <= 9; ++level) {
            for (int strategy : {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED}) {
                EXPECT_EQ(inflateWhole(deflateWith(data, level, strategy), data.size()), data)
                    << data.size() << " " << level << "/" << strategy;
            }
        }
    }
    // Copies from the far end of the 32 KiB window, and zlib's densest stream, whose size the
    // up-front bound must not refuse.
    const Bytes far = sample(640'000, 4, 32'000), zeros(4 << 20, 0);
    EXPECT_TRUE(inflateWhole(deflateWith(far, 9), far.size()) == far);
    EXPECT_TRUE(inflateWhole(deflateWith(zeros, 9), zeros.size()) == zeros);
}

// Hand-built streams, mostly pairs that differ in one rule. Unless named otherwise they unpack to
// "ababa": a, b, then a copy of 3 from 2 back. The dynamic blocks send their code lengths with a
// code-length code for 0, 1, 2 and the repeat codes 16-18 (zero runs, and 16 for the distances):
// 'a', 'b', 256 and 257 get 2-bit codes, distances 1-4 2-bit codes.
const struct Rule {
    const char* name;
    std::string stream;  // hex
    std::uint64_t expected;
    bool ok;
} kRules[] = {
    {"fixed block", "78014b4c02420005ba01e8", 5, true},
    {"five bytes", "7801030000", 0, false},
    {"smallest stream", "789c030000000001", 0, true},
    {"sum not a multiple of 31", "789d4b4c02420005ba01e8", 5, false},
    {"preset dictionary", "78204b4c02420005ba01e8", 5, false},
    {"method 7", "77094b4c02420005ba01e8", 5, false},
    {"block type 3", "7801070000000001", 0, false},
    {"empty stored block", "7801010000ffff00000001", 0, true},
    {"stored block", "7801010a00f5ff6161616161616161616114e103cb", 10, true},
    {"NLEN not the complement of LEN", "7801010a00f5ef6161616161616161616114e103cb", 10, false},
    {"LEN beyond the input", "7801010a00f5ff6161616161616161611116036a", 9, false},
    {"stored bytes beyond the size", "7801010a00f5ff6161616161616161616114e103cb", 9, false},
    {"literal beyond the size", "78014b4c4a0600012600c4", 2, false},
    {"copy beyond the size", "78014b4c02420003d20187", 4, false},
    {"copy from the first byte", "78014b4c0243000aaf02ab", 7, true},
    {"copy from before the first byte", "78014b4c022300080501e8", 7, false},
    {"copy from before the first byte, with the room of the fast path",
     "78014b4c022200" + std::string(64, '0') + "00000001", 300, false},
    {"copy from an empty output", "780103020000030001", 3, false},
    {"block whose last byte is zero", "78015368020000c400a3", 2, true},
    {"cut where zeros or the trailer would end it", "780153680200c400a3", 2, false},
    {"length symbol 285", "78014b1c0500d9a86224", 259, true},
    {"length symbol 286", "78014b1c030003ce0185", 4, false},
    {"length symbol 287", "78014b1c070003ce0185", 4, false},
    {"distance symbol 30", "78014b043e0003ce0185", 4, false},
    {"distance symbol 31", "78014b047e0003ce0185", 4, false},
    {"repeat codes", "78010de3370d00000080306805ff2280811b05ba01e8", 5, true},
    {"HLIT 286", "7801ede3370d00000080306805ff22c008033705ba01e8", 5, true},
    {"HLIT 287", "7801f5e3370d00000080306805ff224009033705ba01e8", 5, false},
    {"HLIT 288", "7801fde3370d00000080306805ff22c009033705ba01e8", 5, false},
    {"HDIST 30", "78010dfd370d00000080306805ff2280e1033705ba01e8", 5, true},
    {"HDIST 31", "78010dfe370d00000080306805ff228021043705ba01e8", 5, false},
    {"HDIST 32", "78010dff370d00000080306805ff228061043705ba01e8", 5, false},
    {"repeat with no previous length", "78010de3370d00000080300ca7e05f04300005ba01e8", 5, false},
    {"repeat past the announced lengths", "78010de3370d00000080306805ff2280851b05ba01e8", 5, false},
    {"no code for end-of-block", "78010de3370d00000080306805ff26600005ba01e8", 5, false},
    {"over-subscribed literal/length code", "78010de3370d00000080306805ff1e000605ba01e8", 5, false},
    {"over-subscribed distance code", "78010de4370d00000080306805ff2280851b05ba01e8", 5, false},
    {"over-subscribed code-length code", "78010de3270d00000080306485fe21000005ba01e8", 5, false},
    {"incomplete code-length code", "78010de3070d00000080006805ff2280821b05ba01e8", 5, true},
    {"single one-bit distance code", "78010de1370d00000080306805ff2220c50505ba01e8", 5, true},
    {"unused distance pattern", "78010de1370d00000080306805ff2220c50705ba01e8", 5, false},
    {"incomplete literal/length code", "78010de3370d00000080306825fe4500831003ce0185", 4, true},
    {"unused literal/length pattern", "78010de3370d00000080306825fe4500830503ce0185", 4, false},
};

TEST(Inflate, DecidesEveryStrictRule) {
    for (const Rule& rule : kRules) {
        const Bytes stream = hex(rule.stream);
        EXPECT_EQ(inflateWhole(stream, rule.expected).has_value(), rule.ok) << rule.name;
        EXPECT_EQ(inflateInPieces(stream, rule.expected, 1, 1).has_value(), rule.ok) << rule.name;
    }
    Bytes stream = hex(kRules[0].stream);
    for (unsigned cmf = 8; cmf < 256; cmf += 16) {  // any window field
        stream[0] = std::uint8_t(cmf), stream[1] = std::uint8_t(31 - cmf * 256 % 31);
        EXPECT_TRUE(inflateWhole(stream, 5)) << cmf;
    }
}

// Every verdict holds whatever the split of the input into pushes.
TEST(Inflate, RefusesCutStreamsWrongSizesAndTrailersButNotBytesBeforeTheTrailer) {
    const Bytes data = sample(4000, 7);
    for (int level : {0, 1, 9, -1}) {  // -1: blocks of every type, each ending in a full flush
        const Bytes stream =
            level < 0 ? deflateWith(data, 6, Z_DEFAULT_STRATEGY, 700) : deflateWith(data, level);
        for (std::size_t k = 1; k + 6 <= stream.size(); ++k) {  // cut, the trailer kept
            Bytes cut(stream.begin(), stream.end() - 4 - static_cast<std::ptrdiff_t>(k));
            cut.insert(cut.end(), stream.end() - 4, stream.end());
            EXPECT_FALSE(inflateWhole(cut, data.size())) << level << " " << k;
        }
        // 65521 more zero bytes would leave the Adler-32 as it is: only the size rule refuses.
        for (std::uint64_t size : {std::uint64_t{0}, data.size() - 1, data.size() + 1,
                                   data.size() + 65521, std::uint64_t{1} << 62}) {
            EXPECT_FALSE(inflateWhole(stream, size)) << level << " " << size;
            EXPECT_FALSE(inflateInPieces(stream, size, 4096, 4096)) << level << " " << size;
        }
        for (unsigned bit = 0; bit < 32; ++bit) {  // the trailer is the last 4 bytes
            Bytes damaged = stream;
            damaged[damaged.size() - 4 + bit / 8] ^= static_cast<std::uint8_t>(1u << bit % 8);
            EXPECT_FALSE(inflateWhole(damaged, data.size())) << level << " " << bit;
        }
        Bytes damaged = stream, padded = stream;
        damaged[stream.size() / 2] ^= 0x10;
        padded.insert(padded.end() - 4, {0xde, 0xad, 0xbe, 0xef, 0x00});
        EXPECT_TRUE(inflateWhole(padded, data.size()) == data) << level;
        for (const Bytes& input : {stream, damaged, padded}) {
            const Unpacked whole = inflateWhole(input, data.size());
            EXPECT_TRUE(inflateInPieces(input, data.size(), 1, 1) == whole) << level;
            for (std::size_t k = 0; k <= input.size(); ++k)
                EXPECT_TRUE(inflateInPieces(input, data.size(), k, SIZE_MAX) == whole) << k;
        }
    }
    // Many pushes over a stream whose copies reach back across the output handed on.
    const Bytes far = sample(1 << 20, 9, 32'000), stream = deflateWith(far, 9);
    EXPECT_TRUE(inflateInPieces(stream, far.size(), 0, 997) == far);
    EXPECT_TRUE(inflateInPieces(stream, far.size(), 0, 64 << 10) == far);
    // Output beyond the size is refused as soon as it appears, not once the input has ended.
    const Bytes bomb = deflateWith(Bytes(16 << 20, 0), 9);
    std::size_t delivered = 0;
    Inflater inflater(1000, [&](const std::uint8_t*, std::size_t n) { return (delivered += n); });
    EXPECT_FALSE(inflater.push(bomb.data(), 2048));
    EXPECT_LE(delivered, 1000u);
}

// Output leaves as it is made, so memory stays bounded; a refusing output stops the rest.
TEST(Inflater, HandsOnOutputAsItGoesAndStopsWhenTheOutputRefuses) {
    const Bytes data = sample(2 << 20, 10), stream = deflateWith(data, 6);
    for (std::size_t refuseAt : {SIZE_MAX, std::size_t{1}}) {
        std::size_t calls = 0, delivered = 0;
        Inflater inflater(data.size(), [&](const std::uint8_t*, std::size_t length) {
            delivered += length;
            return ++calls < refuseAt;
        });
        if (inflater.push(stream.data(), stream.size())) {
            EXPECT_GT(delivered, data.size() - (512 << 10));
            refuseAt = 0;  // the rest, handed on by finish, is refused
            EXPECT_FALSE(inflater.finish());
        } else {
            EXPECT_EQ(calls, 1u);
        }
        EXPECT_TRUE(inflater.outputFailed());
    }
}

}  // namespace
}  // namespace kd
