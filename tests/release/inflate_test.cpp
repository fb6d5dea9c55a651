#include "release/inflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "fuzz/inflate_reference.h"

namespace kd {
namespace {

using Bytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------------------------------------
// Streams made by zlib, the release tool's compressor

Bytes deflateWith(const Bytes& data, int level, int strategy, int windowBits = 15,
                  int memLevel = 8) {
    z_stream s{};
    EXPECT_EQ(deflateInit2(&s, level, Z_DEFLATED, windowBits, memLevel, strategy), Z_OK);
    Bytes packed(deflateBound(&s, data.size()));
    s.next_in = const_cast<Bytes::value_type*>(data.data());
    s.avail_in = static_cast<uInt>(data.size());
    s.next_out = packed.data();
    s.avail_out = static_cast<uInt>(packed.size());
    EXPECT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
    packed.resize(s.total_out);
    deflateEnd(&s);
    return packed;
}

Bytes textLike(std::size_t size, unsigned seed) {
    static const char* const kWords[] = {"the",    "stone",  "veil",  "of",     "and",  "launcher",
                                         "update", "player", "quest", "return", "0x1f", "{",
                                         "}",      "(int)",  "\n",    "level",  "=",    "map"};
    std::mt19937 rng(seed);
    std::geometric_distribution<int> pick(0.25);
    Bytes out;
    while (out.size() < size) {
        const char* w = kWords[pick(rng) % std::size(kWords)];
        out.insert(out.end(), w, w + std::char_traits<char>::length(w));
        out.push_back(' ');
    }
    out.resize(size);
    return out;
}

Bytes binaryLike(std::size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes out(size);
    for (std::size_t i = 0; i < size; ++i) {
        // Small little-endian integers with the odd random word, as in tables and meshes.
        out[i] = (i % 4 == 0)                     ? static_cast<std::uint8_t>(rng() % 16)
                 : (i % 4 == 1 && rng() % 8 == 0) ? static_cast<std::uint8_t>(rng())
                                                  : 0;
    }
    return out;
}

Bytes randomBytes(std::size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes out(size);
    for (auto& b : out) b = static_cast<std::uint8_t>(rng());
    return out;
}

Bytes runs(std::size_t size) {
    Bytes out(size);
    for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>((i / 300) % 3);
    return out;
}

bool inflates(const Bytes& stream, std::uint64_t expected, Bytes* out = nullptr) {
    Bytes local;
    Bytes& target = out != nullptr ? *out : local;
    return inflateZlib(stream.data(), stream.size(), expected, target);
}

std::string mismatch(const Bytes& stream, std::uint64_t expected) {
    // Every verdict must also be the bit-by-bit walk's.
    Bytes out;
    const bool ok = inflates(stream, expected, &out);
    const reference::Result ref = reference::inflate(stream.data(), stream.size(), expected);
    if (ok != ref.ok) {
        return ok ? "accepted, the reference refuses" : "refused, the reference accepts";
    }
    if (ok && out != ref.out) return "bytes differ from the reference";
    return "";
}

TEST(InflateZlib, UnpacksZlibStreamsOfEveryLevelAndStrategy) {
    const Bytes inputs[] = {{},
                            {0x42},
                            textLike(70'000, 1),
                            binaryLike(50'000, 2),
                            randomBytes(40'000, 3),
                            runs(100'000),
                            deflateWith(textLike(60'000, 4), 9, Z_DEFAULT_STRATEGY)};
    const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
    for (const Bytes& data : inputs) {
        for (int level = 0; level <= 9; ++level) {
            for (int strategy : strategies) {
                const Bytes stream = deflateWith(data, level, strategy);
                Bytes out{1, 2, 3};
                EXPECT_TRUE(inflates(stream, data.size(), &out))
                    << "size " << data.size() << " level " << level << " strategy " << strategy;
                EXPECT_EQ(out, data);
            }
        }
    }
}

TEST(InflateZlib, UnpacksZlibStreamsOfEveryWindowAndMemorySize) {
    const Bytes data = textLike(200'000, 5);
    for (int windowBits = 9; windowBits <= 15; ++windowBits) {
        for (int memLevel = 1; memLevel <= 9; memLevel += 4) {
            const Bytes stream = deflateWith(data, 9, Z_DEFAULT_STRATEGY, windowBits, memLevel);
            Bytes out;
            EXPECT_TRUE(inflates(stream, data.size(), &out)) << windowBits << " " << memLevel;
            EXPECT_EQ(out, data);
        }
    }
}

TEST(InflateZlib, RefusesAnySizeButTheOneTheStreamHolds) {
    const Bytes data = binaryLike(10'000, 6);
    // Level 0 stores the bytes, so an overlong size is met in a stored block's copy.
    for (int level : {0, 6}) {
        const Bytes stream = deflateWith(data, level, Z_DEFAULT_STRATEGY);
        EXPECT_TRUE(inflates(stream, data.size()));
        // 65521 more zero bytes would leave the Adler-32 as it is: only the size rule refuses.
        for (std::uint64_t size : {std::uint64_t{0}, data.size() - 1, data.size() + 1,
                                   2 * data.size(), data.size() + 65521}) {
            EXPECT_FALSE(inflates(stream, size)) << "level " << level << " size " << size;
        }
    }
}

TEST(InflateZlib, RefusesASizeTheInputCannotProduceWithoutReservingIt) {
    const Bytes stream = deflateWith(Bytes(1000, 0), 9, Z_DEFAULT_STRATEGY);
    EXPECT_FALSE(inflates(stream, std::uint64_t{1} << 62));
    EXPECT_FALSE(inflates(stream, ~std::uint64_t{0}));
}

TEST(InflateZlib, RefusesATrailerWithOneBitChanged) {
    const Bytes data = textLike(3000, 7);
    const Bytes stream = deflateWith(data, 6, Z_DEFAULT_STRATEGY);
    ASSERT_TRUE(inflates(stream, data.size()));
    for (unsigned bit = 0; bit < 32; ++bit) {
        Bytes damaged = stream;
        damaged[damaged.size() - 4 + bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        EXPECT_FALSE(inflates(damaged, data.size())) << bit;
    }
}

TEST(InflateZlib, RefusesStreamsCutBeforeTheEndOfTheFinalBlock) {
    const Bytes data = textLike(5000, 8);
    for (int level : {0, 1, 9}) {
        const Bytes stream = deflateWith(data, level, Z_DEFAULT_STRATEGY);
        // Drop the last k bytes of deflate data and keep the trailer.
        for (std::size_t k = 1; k + 6 <= stream.size(); ++k) {
            Bytes cut(stream.begin(), stream.end() - 4 - static_cast<std::ptrdiff_t>(k));
            cut.insert(cut.end(), stream.end() - 4, stream.end());
            EXPECT_FALSE(inflates(cut, data.size())) << "level " << level << " cut " << k;
        }
    }
}

// Mutated zlib streams reach the decoder's failure paths far more often than random bytes do.
TEST(InflateZlib, MatchesTheBitByBitWalkOnDamagedStreams) {
    std::mt19937 rng(9);
    const Bytes sources[] = {deflateWith(textLike(4000, 10), 9, Z_DEFAULT_STRATEGY),
                             deflateWith(binaryLike(3000, 11), 6, Z_FIXED),
                             deflateWith(runs(5000), 6, Z_RLE),
                             deflateWith(randomBytes(300, 12), 0, Z_DEFAULT_STRATEGY)};
    const std::uint64_t sizes[] = {4000, 3000, 5000, 300};
    for (int round = 0; round < 3000; ++round) {
        const std::size_t which = rng() % std::size(sources);
        Bytes stream = sources[which];
        const unsigned flips = 1 + rng() % 3;
        for (unsigned i = 0; i < flips; ++i) {
            stream[2 + rng() % (stream.size() - 6)] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
        }
        if (rng() % 4 == 0) stream.erase(stream.begin() + 2 + rng() % (stream.size() - 6));
        const int sizeChange = rng() % 8 == 0 ? static_cast<int>(rng() % 3) - 1 : 0;
        const std::uint64_t expected = sizes[which] + sizeChange;
        EXPECT_EQ(mismatch(stream, expected), "") << "round " << round;
    }
}

// ---------------------------------------------------------------------------------------------
// Hand-built streams

class BitWriter {
public:
    // A field, least significant bit first.
    void put(std::uint32_t value, unsigned count) {
        for (unsigned i = 0; i < count; ++i) bit(value >> i & 1);
    }
    // A Huffman code, most significant bit first.
    void putCode(std::uint32_t code, unsigned length) {
        for (unsigned i = length; i-- > 0;) bit(code >> i & 1);
    }
    void alignToByte() {
        while (used_ != 0) bit(0);
    }
    void putBytes(const Bytes& bytes) {
        alignToByte();
        bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    }
    const Bytes& bytes() const { return bytes_; }

private:
    void bit(unsigned b) {
        if (used_ == 0) bytes_.push_back(0);
        bytes_.back() |= static_cast<std::uint8_t>(b << used_);
        used_ = (used_ + 1) % 8;
    }
    Bytes bytes_;
    unsigned used_ = 0;
};

Bytes zlibHeader(std::uint8_t cmf, std::uint8_t flags) {
    flags = static_cast<std::uint8_t>(flags & 0xe0);
    flags |= static_cast<std::uint8_t>((31 - (cmf * 256 + flags) % 31) % 31);
    return {cmf, flags};
}

Bytes zlibStream(const Bytes& deflateData, const Bytes& output, Bytes header = {0x78, 0x01}) {
    Bytes s = header;
    s.insert(s.end(), deflateData.begin(), deflateData.end());
    const auto a = static_cast<std::uint32_t>(adler32(1, output.data(), output.size()));
    for (int shift = 24; shift >= 0; shift -= 8) s.push_back(static_cast<std::uint8_t>(a >> shift));
    return s;
}

struct Code {
    std::vector<std::uint8_t> lengths;
    std::vector<std::uint32_t> codes;
};

// RFC 1951 3.2.2.
Code canonical(std::vector<std::uint8_t> lengths) {
    unsigned count[16] = {};
    for (auto n : lengths) ++count[n];
    count[0] = 0;
    std::uint32_t next[16] = {};
    for (unsigned n = 1, code = 0; n <= 15; ++n) next[n] = code = (code + count[n - 1]) << 1;
    Code c{lengths, std::vector<std::uint32_t>(lengths.size())};
    for (std::size_t s = 0; s < lengths.size(); ++s) {
        if (lengths[s] != 0) c.codes[s] = next[lengths[s]]++;
    }
    return c;
}

void putSymbol(BitWriter& w, const Code& code, unsigned symbol) {
    ASSERT_NE(code.lengths.at(symbol), 0) << "symbol " << symbol << " has no code";
    w.putCode(code.codes[symbol], code.lengths[symbol]);
}

Code fixedLitLen() {
    std::vector<std::uint8_t> lengths(288);
    for (unsigned s = 0; s < 288; ++s) lengths[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
    return canonical(lengths);
}

Code fixedDistance() { return canonical(std::vector<std::uint8_t>(32, 5)); }

// One literal, or a copy of `length` bytes from `distance` back.
struct Op {
    int literal;
    unsigned length = 0;
    unsigned distance = 0;
};
Op lit(int byte) { return {byte}; }
Op copy(unsigned length, unsigned distance) { return {-1, length, distance}; }

const reference::detail::Bases kBases;

void putOps(BitWriter& w, const Code& litLen, const Code& distance, const std::vector<Op>& ops) {
    for (const Op& op : ops) {
        if (op.literal >= 0) {
            putSymbol(w, litLen, static_cast<unsigned>(op.literal));
            continue;
        }
        unsigned l = 28;
        while (kBases.lengthBase[l] > op.length) --l;
        putSymbol(w, litLen, 257 + l);
        w.put(op.length - kBases.lengthBase[l], kBases.lengthExtra[l]);
        unsigned d = 29;
        while (kBases.distanceBase[d] > op.distance) --d;
        putSymbol(w, distance, d);
        w.put(op.distance - kBases.distanceBase[d], kBases.distanceExtra[d]);
    }
    putSymbol(w, litLen, 256);
}

Bytes applyOps(const std::vector<Op>& ops, Bytes out = {}) {
    for (const Op& op : ops) {
        if (op.literal >= 0) out.push_back(static_cast<std::uint8_t>(op.literal));
        for (unsigned i = 0; i < op.length; ++i) {
            // Copies from before the first byte are for streams that must be refused.
            out.push_back(op.distance <= out.size() ? out[out.size() - op.distance] : 0);
        }
    }
    return out;
}

void putFixedBlock(BitWriter& w, bool last, const std::vector<Op>& ops) {
    w.put(last, 1);
    w.put(1, 2);
    putOps(w, fixedLitLen(), fixedDistance(), ops);
}

void putStoredBlock(BitWriter& w, bool last, const Bytes& bytes) {
    w.put(last, 1);
    w.put(0, 2);
    w.alignToByte();
    const auto len = static_cast<std::uint32_t>(bytes.size());
    w.put(len, 16);
    w.put(~len & 0xffff, 16);
    w.putBytes(bytes);
}

// A code-length symbol with its extra-bit value.
struct LengthSymbol {
    unsigned symbol;
    unsigned extra = 0;
};

std::vector<LengthSymbol> plain(const std::vector<std::uint8_t>& lengths) {
    std::vector<LengthSymbol> out;
    for (auto n : lengths) out.push_back({n});
    return out;
}

// A complete code-length code in which every symbol has a code (13 of 4 bits, 6 of 5 bits).
std::vector<std::uint8_t> allCodeLengthSymbols() {
    std::vector<std::uint8_t> lengths(19, 4);
    for (unsigned s = 13; s < 19; ++s) lengths[s] = 5;
    return lengths;
}

struct DynamicHeader {
    unsigned hlit;
    unsigned hdist;
    std::vector<std::uint8_t> codeLengthLengths;  // by symbol, all 19
    std::vector<LengthSymbol> sequence;
};

void putDynamicHeader(BitWriter& w, bool last, const DynamicHeader& h) {
    static const unsigned order[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                       11, 4,  12, 3, 13, 2, 14, 1, 15};
    w.put(last, 1);
    w.put(2, 2);
    w.put(h.hlit - 257, 5);
    w.put(h.hdist - 1, 5);
    w.put(19 - 4, 4);
    for (unsigned i = 0; i < 19; ++i) w.put(h.codeLengthLengths[order[i]], 3);
    const Code code = canonical(h.codeLengthLengths);
    for (const LengthSymbol& s : h.sequence) {
        putSymbol(w, code, s.symbol);
        if (s.symbol == 16) w.put(s.extra, 2);
        if (s.symbol == 17) w.put(s.extra, 3);
        if (s.symbol == 18) w.put(s.extra, 7);
    }
}

// A whole dynamic block: header with every length sent plainly, then the ops.
void putDynamicBlock(BitWriter& w, bool last, const std::vector<std::uint8_t>& litLenLengths,
                     const std::vector<std::uint8_t>& distanceLengths, const std::vector<Op>& ops,
                     const std::vector<std::uint8_t>& codeLengthLengths = allCodeLengthSymbols()) {
    std::vector<std::uint8_t> all = litLenLengths;
    all.insert(all.end(), distanceLengths.begin(), distanceLengths.end());
    putDynamicHeader(
        w, last,
        {static_cast<unsigned>(litLenLengths.size()), static_cast<unsigned>(distanceLengths.size()),
         codeLengthLengths, plain(all)});
    putOps(w, canonical(litLenLengths), canonical(distanceLengths), ops);
}

// One final dynamic block in a zlib stream whose trailer matches the ops' output.
Bytes dynamicStream(const std::vector<std::uint8_t>& litLenLengths,
                    const std::vector<std::uint8_t>& distanceLengths,
                    const std::vector<std::uint8_t>& codeLengthLengths, const std::vector<Op>& ops) {
    BitWriter w;
    putDynamicBlock(w, true, litLenLengths, distanceLengths, ops, codeLengthLengths);
    return zlibStream(w.bytes(), applyOps(ops));
}

// Complete codes for whole alphabets: 226 literal/length symbols of 8 bits and 60 of 9 bits
// (226/256 + 60/512 = 1), 2 distance symbols of 4 bits and 28 of 5 bits (2/16 + 28/32 = 1).
std::vector<std::uint8_t> completeLitLen() {
    std::vector<std::uint8_t> lengths(286, 8);
    for (unsigned s = 226; s < 286; ++s) lengths[s] = 9;
    return lengths;
}

std::vector<std::uint8_t> completeDistance() {
    std::vector<std::uint8_t> lengths(30, 5);
    lengths[0] = lengths[1] = 4;
    return lengths;
}

struct Case {
    const char* name;
    Bytes stream;
    std::uint64_t expected;
    bool ok;
};

void expectVerdicts(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        EXPECT_EQ(inflates(c.stream, c.expected), c.ok) << c.name;
        EXPECT_EQ(mismatch(c.stream, c.expected), "") << c.name;
    }
}

Bytes fixedStream(const std::vector<Op>& ops) {
    BitWriter w;
    putFixedBlock(w, true, ops);
    return zlibStream(w.bytes(), applyOps(ops));
}

TEST(InflateZlib, AcceptsOnlyWellFormedHeaders) {
    const std::vector<Op> ops = {lit('h'), lit('i'), copy(10, 2)};
    BitWriter w;
    putFixedBlock(w, true, ops);
    const Bytes body = w.bytes();
    const Bytes out = applyOps(ops);
    std::vector<Case> cases = {
        {"78 01", zlibStream(body, out, {0x78, 0x01}), out.size(), true},
        {"78 5E", zlibStream(body, out, {0x78, 0x5E}), out.size(), true},
        {"78 9C", zlibStream(body, out, {0x78, 0x9C}), out.size(), true},
        {"78 DA", zlibStream(body, out, {0x78, 0xDA}), out.size(), true},
        {"sum not a multiple of 31", zlibStream(body, out, {0x78, 0x9D}), out.size(), false},
        {"preset dictionary", zlibStream(body, out, zlibHeader(0x78, 0x20)), out.size(), false},
        {"method 7", zlibStream(body, out, zlibHeader(0x77, 0)), out.size(), false},
        {"method 15", zlibStream(body, out, zlibHeader(0x7F, 0)), out.size(), false},
    };
    for (std::uint8_t window = 0; window < 16; ++window) {
        const auto cmf = static_cast<std::uint8_t>(window << 4 | 8);
        cases.push_back(
            {"any window field", zlibStream(body, out, zlibHeader(cmf, 0)), out.size(), true});
    }
    expectVerdicts(cases);
}

TEST(InflateZlib, RefusesInputsShorterThanSixBytesAndAcceptsTheSmallestStream) {
    const Bytes smallest = {0x78, 0x9C, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01};
    const Bytes emptyStored = {0x78, 0x01, 0x01, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x01};
    std::vector<Case> cases = {{"empty fixed block", smallest, 0, true},
                               {"empty stored block", emptyStored, 0, true},
                               {"expecting a byte", smallest, 1, false}};
    for (std::size_t n = 0; n < 6; ++n) {
        cases.push_back({"short", Bytes(smallest.begin(), smallest.begin() + n), 0, false});
    }
    expectVerdicts(cases);
    Bytes out;
    EXPECT_FALSE(inflateZlib(nullptr, 0, 0, out));
}

TEST(InflateZlib, DecodesStoredBlocksAndRefusesBadLengths) {
    const Bytes a = randomBytes(65535, 13);
    const Bytes b = textLike(1000, 14);
    BitWriter w;
    putStoredBlock(w, false, a);
    putStoredBlock(w, false, {});
    putFixedBlock(w, false, {lit('x')});  // leaves the stored block after it mid-byte
    putStoredBlock(w, true, b);
    Bytes out = a;
    out.push_back('x');
    out.insert(out.end(), b.begin(), b.end());
    const Bytes good = zlibStream(w.bytes(), out);

    BitWriter bad;
    bad.put(1, 1);
    bad.put(0, 2);
    bad.alignToByte();
    bad.put(5, 16);
    bad.put(0xfffb, 16);  // not the complement of 5
    bad.putBytes(Bytes(5, 'a'));
    BitWriter longer;  // announces more bytes than follow
    putStoredBlock(longer, true, Bytes(10, 'a'));
    Bytes longerData = longer.bytes();
    longerData.resize(longerData.size() - 1);

    expectVerdicts({
        {"stored, empty, fixed and stored blocks", good, out.size(), true},
        {"one byte short of the stored bytes", good, out.size() - 1, false},
        {"NLEN not the complement of LEN", zlibStream(bad.bytes(), Bytes(5, 'a')), 5, false},
        {"LEN beyond the input", zlibStream(longerData, Bytes(9, 'a')), 9, false},
        {"LEN beyond the input", zlibStream(longerData, Bytes(10, 'a')), 10, false},
    });
}

TEST(InflateZlib, DecodesEveryFixedLengthAndDistanceSymbol) {
    // A stored run first gives copies something to reach 32768 bytes back.
    const Bytes prefix = randomBytes(33'000, 15);
    std::vector<Op> ops;
    for (unsigned i = 0; i < 29; ++i) {
        const unsigned span = (1u << kBases.lengthExtra[i]) - 1;
        for (unsigned length : {kBases.lengthBase[i], kBases.lengthBase[i] + span}) {
            const unsigned d = i % 30;
            const unsigned dSpan = (1u << kBases.distanceExtra[d]) - 1;
            ops.push_back(copy(length, kBases.distanceBase[d]));
            ops.push_back(copy(length, kBases.distanceBase[d] + dSpan));
        }
    }
    for (unsigned d = 0; d < 30; ++d) {
        ops.push_back(copy(258, kBases.distanceBase[d] + (1u << kBases.distanceExtra[d]) - 1));
    }
    for (int byte = 0; byte < 256; ++byte) ops.push_back(lit(byte));
    ops.push_back(copy(100, 1));  // overlapping copies of every short distance
    for (unsigned d = 2; d <= 9; ++d) ops.push_back(copy(50, d));

    BitWriter w;
    putStoredBlock(w, false, prefix);
    putFixedBlock(w, true, ops);
    const Bytes expected = applyOps(ops, prefix);
    Bytes out;
    EXPECT_TRUE(inflates(zlibStream(w.bytes(), expected), expected.size(), &out));
    EXPECT_EQ(out, expected);
}

TEST(InflateZlib, RefusesFixedCodesWithoutMeaning) {
    auto withLitLen = [](unsigned symbol) {
        BitWriter w;
        w.put(1, 1);
        w.put(1, 2);
        putSymbol(w, fixedLitLen(), 'a');
        putSymbol(w, fixedLitLen(), symbol);
        putSymbol(w, fixedDistance(), 0);
        putSymbol(w, fixedLitLen(), 256);
        return zlibStream(w.bytes(), Bytes(symbol == 285 ? 259 : 3, 'a'));
    };
    // Nor does 286 or 287 stand for a byte, whatever the trailer says.
    for (unsigned symbol : {286, 287}) {
        for (unsigned byte = 0; byte < 256; ++byte) {
            BitWriter x;
            x.put(1, 1);
            x.put(1, 2);
            putSymbol(x, fixedLitLen(), 'a');
            putSymbol(x, fixedLitLen(), symbol);
            putSymbol(x, fixedLitLen(), 256);
            const Bytes out = {'a', static_cast<std::uint8_t>(byte)};
            EXPECT_FALSE(inflates(zlibStream(x.bytes(), out), 2)) << symbol << " " << byte;
        }
    }
    auto withDistance = [](unsigned symbol) {
        BitWriter w;
        w.put(1, 1);
        w.put(1, 2);
        putSymbol(w, fixedLitLen(), 'a');
        putSymbol(w, fixedLitLen(), 257);
        putSymbol(w, fixedDistance(), symbol);
        putSymbol(w, fixedLitLen(), 256);
        return zlibStream(w.bytes(), Bytes(4, 'a'));
    };
    expectVerdicts({
        {"length symbol 285", withLitLen(285), 259, true},
        {"length symbol 286", withLitLen(286), 3, false},
        {"length symbol 287", withLitLen(287), 3, false},
        {"distance symbol 0", withDistance(0), 4, true},
        {"distance symbol 30", withDistance(30), 4, false},
        {"distance symbol 31", withDistance(31), 4, false},
    });
}

TEST(InflateZlib, RefusesReservedBlockTypeAndCopiesBeforeTheFirstByte) {
    BitWriter reserved;
    reserved.put(1, 1);
    reserved.put(3, 2);
    reserved.put(0, 13);
    expectVerdicts({
        {"block type 3", zlibStream(reserved.bytes(), {}), 0, false},
        {"distance equal to the output so far", fixedStream({lit('a'), lit('b'), copy(5, 2)}), 7,
         true},
        {"distance one past the first byte", fixedStream({lit('a'), lit('b'), copy(5, 3)}), 7,
         false},
        {"copy from an empty output", fixedStream({copy(3, 1)}), 3, false},
    });
}

TEST(InflateZlib, RefusesOutputBeyondTheExpectedSize) {
    // Expected sizes one short of what a literal or a copy would write; the trailer is computed
    // for the truncated output so only the size rule can refuse.
    const std::vector<Op> literalOps = {lit('a'), lit('b'), lit('c')};
    const std::vector<Op> copyOps = {lit('a'), copy(10, 1)};
    BitWriter a, b;
    putFixedBlock(a, true, literalOps);
    putFixedBlock(b, true, copyOps);
    Bytes literalOut = applyOps(literalOps);
    Bytes copyOut = applyOps(copyOps);
    literalOut.pop_back();
    copyOut.pop_back();
    expectVerdicts({{"literal past the size", zlibStream(a.bytes(), literalOut), 2, false},
                    {"copy past the size", zlibStream(b.bytes(), copyOut), 10, false}});
}

TEST(InflateZlib, CountsDynamicHeaderLimits) {
    const std::vector<Op> ops = {lit('a'), copy(3, 1)};
    auto stream = [&](unsigned hlit, unsigned hdist) {
        std::vector<std::uint8_t> litLen = completeLitLen();
        litLen.resize(hlit, 0);
        std::vector<std::uint8_t> distance = completeDistance();
        distance.resize(hdist, 0);
        BitWriter w;
        putDynamicBlock(w, true, litLen, distance, ops);
        return zlibStream(w.bytes(), applyOps(ops));
    };
    expectVerdicts({
        {"HLIT 286, HDIST 30", stream(286, 30), 4, true},
        {"HLIT 287", stream(287, 30), 4, false},
        {"HLIT 288", stream(288, 30), 4, false},
        {"HDIST 31", stream(286, 31), 4, false},
        {"HDIST 32", stream(286, 32), 4, false},
    });
}

TEST(InflateZlib, ReadsRepeatCodesAndRefusesBadOnes) {
    const std::vector<Op> ops = {lit('a'), lit('b'), copy(3, 2)};
    const Bytes out = applyOps(ops);  // "ababa"
    auto stream = [&](const std::vector<LengthSymbol>& sequence) {
        BitWriter w;
        putDynamicHeader(w, true, {286, 30, allCodeLengthSymbols(), sequence});
        // 'a', 'b', 256 and 257 have 2-bit codes; distances 2 and 3 have 1-bit codes.
        std::vector<std::uint8_t> litLen(286, 0), distance(30, 0);
        litLen['a'] = litLen['b'] = litLen[256] = litLen[257] = 2;
        distance[1] = distance[2] = 1;
        putOps(w, canonical(litLen), canonical(distance), ops);
        return zlibStream(w.bytes(), out);
    };
    // Zero runs of 17 and 18, one of them crossing from literal/length into distance lengths.
    const std::vector<LengthSymbol> good = {{18, 86}, {2},      {2}, {18, 127}, {18, 8}, {2},
                                            {2},      {18, 18}, {1}, {1},       {18, 16}};
    std::vector<LengthSymbol> firstRepeat = good;
    firstRepeat.insert(firstRepeat.begin(), LengthSymbol{16, 0});
    firstRepeat[1].extra -= 3;  // keep the total
    std::vector<LengthSymbol> pastTheEnd = good;
    pastTheEnd.back().extra += 1;
    std::vector<LengthSymbol> noEndOfBlock = good;
    noEndOfBlock[5] = {0};

    // Repeats of the previous length: 226 eights, 60 nines, 2 fours and 28 fives.
    std::vector<LengthSymbol> previous = {{8}};
    for (int i = 0; i < 37; ++i) previous.push_back({16, 3});
    previous.push_back({16, 0});
    previous.push_back({9});
    for (int i = 0; i < 9; ++i) previous.push_back({16, 3});
    previous.push_back({16, 2});
    previous.push_back({4});
    previous.push_back({4});
    previous.push_back({5});
    for (int i = 0; i < 4; ++i) previous.push_back({16, 3});
    previous.push_back({16, 0});
    BitWriter w;
    putDynamicHeader(w, true, {286, 30, allCodeLengthSymbols(), previous});
    putOps(w, canonical(completeLitLen()), canonical(completeDistance()), ops);

    expectVerdicts({
        {"zero runs", stream(good), out.size(), true},
        {"repeats of the previous length", zlibStream(w.bytes(), out), out.size(), true},
        {"repeat with no previous length", stream(firstRepeat), out.size(), false},
        {"repeat past the announced lengths", stream(pastTheEnd), out.size(), false},
        {"no code for end-of-block", stream(noEndOfBlock), out.size(), false},
    });
}

TEST(InflateZlib, AcceptsIncompleteCodes) {
    const std::vector<Op> ops = {lit('a'), lit('b'), copy(20, 2), lit('c')};
    const Bytes out = applyOps(ops);
    auto stream = [&](std::vector<std::uint8_t> litLen, std::vector<std::uint8_t> distance,
                      std::vector<std::uint8_t> codeLengthLengths, const std::vector<Op>& body) {
        return dynamicStream(litLen, distance, codeLengthLengths, body);
    };
    const std::vector<std::uint8_t> fullCodeLengths = allCodeLengthSymbols();
    // A code-length code for just the lengths 0, 1, 3 and 6, with 3-bit codes (4/8 of the space).
    std::vector<std::uint8_t> sparseCodeLengths(19, 0);
    for (unsigned s : {0, 1, 3, 6}) sparseCodeLengths[s] = 3;

    std::vector<std::uint8_t> sparseLitLen(258, 0);
    sparseLitLen['a'] = sparseLitLen['b'] = sparseLitLen['c'] = 2;
    sparseLitLen[256] = 2;
    std::vector<std::uint8_t> threeOfFour = sparseLitLen;
    threeOfFour['c'] = 0;
    threeOfFour[257] = 0;
    std::vector<std::uint8_t> withLength(286, 0);
    withLength['a'] = withLength['b'] = withLength['c'] = withLength[256] = 3;
    for (unsigned s = 257; s < 286; ++s) withLength[s] = 6;   // 4/8 + 29/64: incomplete
    const std::vector<std::uint8_t> singleDistance = {0, 1};  // distance 2 only, 1 bit

    expectVerdicts({
        {"single one-bit distance code", stream(withLength, singleDistance, fullCodeLengths, ops),
         out.size(), true},
        {"incomplete literal/length and distance codes",
         stream(withLength, {0, 4, 0, 4}, fullCodeLengths, ops), out.size(), true},
        {"no distance codes in a literal-only block",
         stream(sparseLitLen, std::vector<std::uint8_t>(30, 0), fullCodeLengths,
                {lit('a'), lit('c'), lit('b')}),
         3, true},
        {"incomplete code-length code", stream(withLength, singleDistance, sparseCodeLengths, ops),
         out.size(), true},
        {"only three of four two-bit literal/length codes",
         stream(threeOfFour, {0, 1}, fullCodeLengths, {lit('a'), lit('b')}), 2, true},
    });
}

TEST(InflateZlib, RefusesBitPatternsOutsideAnIncompleteCode) {
    // Literal/length: a, b, 256 with 2-bit codes 00, 01, 10; the pattern 11 is unused.
    // Distance: only distance 1, code 0 of one bit; the pattern 1 is unused.
    std::vector<std::uint8_t> litLen(258, 0);
    litLen['a'] = litLen['b'] = litLen[256] = 2;
    litLen[257] = 3;  // 110; 111 unused
    const std::vector<std::uint8_t> distance = {1};
    auto stream = [&](const std::vector<std::pair<unsigned, unsigned>>& codes, std::uint64_t size) {
        BitWriter w;
        std::vector<std::uint8_t> all = litLen;
        all.insert(all.end(), distance.begin(), distance.end());
        putDynamicHeader(w, true, {258, 1, allCodeLengthSymbols(), plain(all)});
        for (auto [code, bits] : codes) w.putCode(code, bits);
        return zlibStream(w.bytes(), Bytes(size, 'a'));
    };
    expectVerdicts({
        {"a, copy 3 from 1 back, end", stream({{0, 2}, {6, 3}, {0, 1}, {2, 2}}, 4), 4, true},
        {"unused literal/length pattern", stream({{0, 2}, {7, 3}, {0, 1}, {2, 2}}, 4), 4, false},
        {"unused distance pattern", stream({{0, 2}, {6, 3}, {1, 1}, {2, 2}}, 4), 4, false},
    });
}

TEST(InflateZlib, RefusesOverSubscribedCodes) {
    const std::vector<Op> ops = {lit('a'), copy(3, 1)};
    auto stream = [&](std::vector<std::uint8_t> litLen, std::vector<std::uint8_t> distance,
                      std::vector<std::uint8_t> codeLengthLengths) {
        return dynamicStream(litLen, distance, codeLengthLengths, ops);
    };
    std::vector<std::uint8_t> litLen = completeLitLen();
    std::vector<std::uint8_t> litLenOver = litLen;
    litLenOver[285] = 8;  // one 9-bit code becomes 8 bits: 1/512 too many
    std::vector<std::uint8_t> distanceOver = completeDistance();
    distanceOver[2] = 4;
    std::vector<std::uint8_t> codeLengthsOver = allCodeLengthSymbols();
    codeLengthsOver[18] = 4;
    // Over-subscribed only in its longest lengths: 15-bit codes one too many.
    std::vector<std::uint8_t> deep(286, 0);
    for (unsigned s = 0; s < 13; ++s) deep[s] = static_cast<std::uint8_t>(s + 1);
    deep[13] = 15;
    deep['a'] = 15;
    deep[256] = 15;
    deep[257] = 15;
    std::vector<std::uint8_t> deepOver = deep;
    deepOver[258] = 15;
    expectVerdicts({
        {"complete codes", stream(litLen, completeDistance(), allCodeLengthSymbols()), 4, true},
        {"over-subscribed literal/length code",
         stream(litLenOver, completeDistance(), allCodeLengthSymbols()), 4, false},
        {"over-subscribed distance code", stream(litLen, distanceOver, allCodeLengthSymbols()), 4,
         false},
        {"over-subscribed code-length code", stream(litLen, completeDistance(), codeLengthsOver), 4,
         false},
        {"long codes, complete", stream(deep, completeDistance(), allCodeLengthSymbols()), 4, true},
        {"long codes, over-subscribed at 15 bits",
         stream(deepOver, completeDistance(), allCodeLengthSymbols()), 4, false},
    });
}

TEST(InflateZlib, DecodesCodesOfEveryLength) {
    // Codes of 1 to 15 bits in both alphabets, so every symbol is decoded through a second-level
    // lookup at least once, and the longest codes sit at the very end of the code space.
    std::vector<std::uint8_t> litLen(286, 0);
    const unsigned litSymbols[] = {'e', 256, 't', 'a', 257, 'o', 265, 'i',
                                   270, 'n', 275, 's', 280, 285, 'h', 'r'};
    for (unsigned i = 0; i < 16; ++i) {
        litLen[litSymbols[i]] = static_cast<std::uint8_t>(i < 15 ? i + 1 : 15);
    }
    std::vector<std::uint8_t> distance(30, 0);
    for (unsigned i = 0; i < 16; ++i) distance[i] = static_cast<std::uint8_t>(i < 15 ? i + 1 : 15);
    std::vector<Op> ops;
    for (unsigned s : litSymbols) {
        if (s < 256) ops.push_back(lit(static_cast<int>(s)));
    }
    for (unsigned d = 0; d < 16; ++d) {
        const unsigned dSpan = (1u << kBases.distanceExtra[d]) - 1;
        for (unsigned s : litSymbols) {
            if (s <= 256) continue;
            const unsigned l = kBases.lengthBase[s - 257];
            const unsigned span = (1u << kBases.lengthExtra[s - 257]) - 1;
            ops.push_back(copy(l, kBases.distanceBase[d]));
            ops.push_back(copy(l + span, kBases.distanceBase[d] + dSpan));
        }
    }
    // Copies may only reach back as far as the output goes: lead with enough stored bytes.
    const Bytes prefix = randomBytes(2000, 16);
    BitWriter w;
    putStoredBlock(w, false, prefix);
    putDynamicBlock(w, true, litLen, distance, ops);
    const Bytes expected = applyOps(ops, prefix);
    Bytes out;
    EXPECT_TRUE(inflates(zlibStream(w.bytes(), expected), expected.size(), &out));
    EXPECT_EQ(out, expected);
}

TEST(InflateZlib, RefusesAStreamThatEndsWhereItsLastBitsWouldBeZeros) {
    // A fixed block's end-of-block code is seven zero bits; here they fill the last byte alone.
    // Three header bits and five 9-bit literals end on a byte boundary, so the last byte holds
    // only the end-of-block code's zeros.
    const std::vector<Op> ops(5, lit(200));
    BitWriter w;
    putFixedBlock(w, true, ops);
    Bytes body = w.bytes();
    ASSERT_EQ(body.size(), 7u);
    ASSERT_EQ(body.back(), 0);
    const Bytes whole = zlibStream(body, applyOps(ops));
    body.pop_back();
    expectVerdicts({{"whole", whole, 5, true},
                    {"last zero byte cut", zlibStream(body, applyOps(ops)), 5, false}});
}

TEST(InflateZlib, IgnoresBytesBetweenTheFinalBlockAndTheTrailer) {
    const Bytes data = textLike(2000, 17);
    Bytes stream = deflateWith(data, 6, Z_DEFAULT_STRATEGY);
    stream.insert(stream.end() - 4, {0xde, 0xad, 0xbe, 0xef, 0x00});
    Bytes out;
    EXPECT_TRUE(inflates(stream, data.size(), &out));
    EXPECT_EQ(out, data);
}

TEST(InflateZlib, AcceptsTheDensestStreamDeflateAllows) {
    // Copies of 258 bytes for two bits each: literal/length codes a = 00, 256 = 01, 285 = 1, and a
    // single one-bit distance code for distance 1. The size check must not refuse this.
    std::vector<std::uint8_t> litLen(286, 0);
    litLen['a'] = litLen[256] = 2;
    litLen[285] = 1;
    std::vector<Op> ops = {lit('a')};
    for (int i = 0; i < 40'000; ++i) ops.push_back(copy(258, 1));
    BitWriter w;
    putDynamicBlock(w, true, litLen, {1}, ops);
    const Bytes expected = applyOps(ops);
    const Bytes stream = zlibStream(w.bytes(), expected);
    EXPECT_GT(expected.size(), 1000 * (stream.size() - 6));
    Bytes out;
    EXPECT_TRUE(inflates(stream, expected.size(), &out));
    EXPECT_EQ(out, expected);
}

bool zlibInflates(const Bytes& stream, std::uint64_t expected) {
    Bytes out(expected + 1);
    uLongf size = out.size();
    return uncompress(out.data(), &size, stream.data(), stream.size()) == Z_OK && size == expected;
}

// zlib is stricter in three ways the launcher does not follow: incomplete codes (beyond the one
// one-bit distance code RFC 1951 mentions), window-size fields above 7, and bytes between the
// final block and the trailer. The fuzzer allows exactly these; this pins them down.
TEST(InflateZlib, DiffersFromZlibOnlyWhereIntended) {
    const std::vector<Op> ops = {lit('a'), lit('b'), copy(3, 2)};
    const Bytes out = applyOps(ops);
    auto dynamic = [&](std::vector<std::uint8_t> litLen, std::vector<std::uint8_t> distance,
                       std::vector<std::uint8_t> codeLengthLengths, Bytes header) {
        std::vector<std::uint8_t> all = litLen;
        all.insert(all.end(), distance.begin(), distance.end());
        BitWriter w;
        putDynamicHeader(w, true,
                         {static_cast<unsigned>(litLen.size()),
                          static_cast<unsigned>(distance.size()), codeLengthLengths, plain(all)});
        putOps(w, canonical(litLen), canonical(distance), ops);
        return zlibStream(w.bytes(), out, header);
    };
    std::vector<std::uint8_t> litLen(258, 0);  // a, b, 256, 257: complete with 2-bit codes
    litLen['a'] = litLen['b'] = litLen[256] = litLen[257] = 2;
    std::vector<std::uint8_t> incompleteLitLen = litLen;
    incompleteLitLen[257] = 3;
    std::vector<std::uint8_t> sparseCodeLengths(19, 0);  // lengths 0, 1, 2, 3 only: 4 of 8
    for (unsigned s : {0, 1, 2, 3}) sparseCodeLengths[s] = 3;
    const Bytes zlibHeader78 = {0x78, 0x01};
    Bytes withGap = dynamic(litLen, {0, 1, 1}, allCodeLengthSymbols(), zlibHeader78);
    withGap.insert(withGap.end() - 4, 0x00);

    struct Difference {
        const char* name;
        Bytes stream;
        bool zlibAccepts;
    };
    const Difference cases[] = {
        {"complete codes", dynamic(litLen, {0, 1, 1}, allCodeLengthSymbols(), zlibHeader78), true},
        {"one one-bit distance code", dynamic(litLen, {0, 1}, allCodeLengthSymbols(), zlibHeader78),
         true},
        {"incomplete literal/length code",
         dynamic(incompleteLitLen, {0, 1, 1}, allCodeLengthSymbols(), zlibHeader78), false},
        {"incomplete distance code of two codes",
         dynamic(litLen, {0, 2, 2}, allCodeLengthSymbols(), zlibHeader78), false},
        {"incomplete code-length code", dynamic(litLen, {0, 1, 1}, sparseCodeLengths, zlibHeader78),
         false},
        {"window field 8", dynamic(litLen, {0, 1, 1}, allCodeLengthSymbols(), zlibHeader(0x88, 0)),
         false},
        {"a byte between the final block and the trailer", withGap, false},
    };
    for (const Difference& c : cases) {
        EXPECT_TRUE(inflates(c.stream, out.size())) << c.name;
        EXPECT_EQ(zlibInflates(c.stream, out.size()), c.zlibAccepts) << c.name;
    }
}

}  // namespace
}  // namespace kd
