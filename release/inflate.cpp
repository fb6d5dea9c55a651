// Strict zlib decoder. What it accepts and produces is defined bit by bit: Huffman codes read one
// bit at a time, reads past the end giving zero bits and spoiling the stream. For speed it reads
// 64 bits at a time and decodes through lookup tables, which yields the same symbols and consumes
// the same bits, so every input gets the same verdict and bytes as the bit-serial walk.
#include "release/inflate.h"

#include <cstring>

namespace kd {
namespace {

constexpr unsigned kMaxCodeBits = 15;     // longest Huffman code deflate allows
constexpr unsigned kLitLenSymbols = 288;  // fixed code size; dynamic blocks use at most 286
constexpr unsigned kMaxDynamicLitLenSymbols = 286;
constexpr unsigned kDistanceSymbols = 30;
constexpr unsigned kCodeLengthSymbols = 19;
constexpr unsigned kEndOfBlockSymbol = 256;
constexpr unsigned kMaxMatchBytes = 258;

// ---------------------------------------------------------------------------------------------
// Bit reader

// A refill leaves at least this many bits in the buffer: enough for a length code with its extra
// bits and a distance code with its extra bits (15 + 5 + 15 + 13 = 48).
constexpr unsigned kRefillBits = 56;

struct BitReader {
    const std::uint8_t* data = nullptr;  // the deflate data, without zlib header and trailer
    std::uint64_t length = 0;
    std::uint64_t position = 0;  // next byte to load
    std::uint64_t buffer = 0;    // bits not yet used, lowest first
    std::uint64_t bitsLeft = 0;
    // Zero bits that stand in for bytes past the end; they sit at the top of the buffer, so the
    // stream has overrun exactly when one of them has been used.
    std::uint64_t zeroBits = 0;
};

std::uint64_t loadLittleEndian64(const std::uint8_t* p) {
    std::uint64_t word = 0;
    for (unsigned i = 0; i < 8; ++i) word |= std::uint64_t{p[i]} << (8 * i);
    return word;
}

// Tops the buffer up to at least kRefillBits. Bits of the byte at `position` above bitsLeft may
// already be in the buffer from a wide load; OR-ing the same byte in again leaves them unchanged.
void refill(BitReader& in) {
    if (in.length - in.position >= 8) {
        in.buffer |= loadLittleEndian64(in.data + in.position) << in.bitsLeft;
        const std::uint64_t bytes = (63 - in.bitsLeft) / 8;
        in.position += bytes;
        in.bitsLeft += 8 * bytes;
        return;
    }
    while (in.bitsLeft < kRefillBits) {
        if (in.position < in.length) {
            in.buffer |= std::uint64_t{in.data[in.position++]} << in.bitsLeft;
        } else {
            in.zeroBits += 8;  // a read beyond the last byte yields zero bits
        }
        in.bitsLeft += 8;
    }
}

bool overrun(const BitReader& in) { return in.zeroBits > in.bitsLeft; }

void drop(BitReader& in, unsigned count) {
    in.buffer >>= count;
    in.bitsLeft -= count;
}

// The next `count` bits (at most 32) as a number, least significant bit first.
std::uint32_t bits(BitReader& in, unsigned count) {
    if (in.bitsLeft < count) refill(in);
    const auto value = static_cast<std::uint32_t>(in.buffer & ((std::uint64_t{1} << count) - 1));
    drop(in, count);
    return value;
}

// ---------------------------------------------------------------------------------------------
// Decoding tables
//
// A table maps the next rootBits input bits to an entry; codes longer than rootBits go through a
// link to a second-level table indexed by the bits that follow. An entry packs:
//   bits 0-7    code bits the entry consumes (a link: rootBits)
//   bits 8-11   extra bits after the code (lengths, distances), or a link's index bits
//   bits 12-15  kind
//   bits 16-31  literal byte or code-length symbol, base length, base distance, or link offset

enum Kind : std::uint32_t { Literal, Length, EndOfBlock, Distance, Link, Invalid };

constexpr std::uint32_t makeEntry(Kind kind, std::uint32_t value, std::uint32_t extra = 0,
                                  std::uint32_t codeBits = 0) {
    return value << 16 | std::uint32_t{kind} << 12 | extra << 8 | codeBits;
}
constexpr unsigned codeBitsOf(std::uint32_t e) { return e & 0xff; }
constexpr unsigned extraOf(std::uint32_t e) { return e >> 8 & 0xf; }
constexpr Kind kindOf(std::uint32_t e) { return static_cast<Kind>(e >> 12 & 0xf); }
constexpr std::uint32_t valueOf(std::uint32_t e) { return e >> 16; }

constexpr std::uint32_t kInvalidEntry = makeEntry(Invalid, 0);

// Root sizes: long enough that nearly every code resolves in one lookup, short enough that a
// small block's tables are quick to build.
constexpr unsigned kLitLenRootBits = 11;
constexpr unsigned kDistanceRootBits = 8;
constexpr unsigned kCodeLengthRootBits = 7;  // code-length codes are at most 7 bits long

// Every symbol with a code longer than the root can open at most one second-level table of
// 2^(15 - root) entries.
constexpr unsigned kLitLenTableEntries =
    (1u << kLitLenRootBits) + kMaxDynamicLitLenSymbols * (1u << (kMaxCodeBits - kLitLenRootBits));
constexpr unsigned kFixedLitLenBits = 9;  // the longest fixed literal/length code
constexpr unsigned kFixedLitLenTableEntries = 1u << kFixedLitLenBits;
constexpr unsigned kDistanceTableEntries =
    (1u << kDistanceRootBits) + kDistanceSymbols * (1u << (kMaxCodeBits - kDistanceRootBits));
constexpr unsigned kFixedDistanceBits = 5;
constexpr unsigned kFixedDistanceTableEntries = 1u << kFixedDistanceBits;
constexpr unsigned kCodeLengthTableEntries = 1u << kCodeLengthRootBits;

struct Table {
    const std::uint32_t* entries;
    unsigned rootBits;
};

// RFC 1951 3.2.5: base lengths and extra bits of length symbols 257-285.
constexpr std::uint16_t kLengthBase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                           15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                           67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                           2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
// RFC 1951 3.2.5: base distances and extra bits of distance symbols 0-29.
constexpr std::uint16_t kDistanceBase[30] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                             6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// RFC 1951 3.2.7: the order in which code-length code lengths are stored.
constexpr std::uint8_t kCodeLengthOrder[kCodeLengthSymbols] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                               11, 4,  12, 3, 13, 2, 14, 1, 15};

// What each symbol of an alphabet decodes to, before its code length is known.
struct SymbolEntries {
    std::uint32_t litLen[kLitLenSymbols];
    std::uint32_t distance[kDistanceSymbols];
    std::uint32_t codeLength[kCodeLengthSymbols];
};

constexpr SymbolEntries makeSymbolEntries() {
    SymbolEntries s{};
    for (unsigned i = 0; i < 256; ++i) s.litLen[i] = makeEntry(Literal, i);
    s.litLen[kEndOfBlockSymbol] = makeEntry(EndOfBlock, 0);
    for (unsigned i = 0; i < 29; ++i) {
        s.litLen[257 + i] = makeEntry(Length, kLengthBase[i], kLengthExtra[i]);
    }
    // 286 and 287 have fixed codes but no meaning: decoding one fails.
    s.litLen[286] = s.litLen[287] = kInvalidEntry;
    for (unsigned i = 0; i < kDistanceSymbols; ++i) {
        s.distance[i] = makeEntry(Distance, kDistanceBase[i], kDistanceExtra[i]);
    }
    for (unsigned i = 0; i < kCodeLengthSymbols; ++i) s.codeLength[i] = makeEntry(Literal, i);
    return s;
}

constexpr SymbolEntries kSymbolEntries = makeSymbolEntries();

unsigned reverseBits(unsigned code, unsigned count) {
    unsigned reversed = 0;
    for (unsigned i = 0; i < count; ++i, code >>= 1) reversed = reversed << 1 | (code & 1);
    return reversed;
}

// Builds the table of the canonical code that `lengths` describe (RFC 1951 3.2.2: codes of one
// length are consecutive, in symbol order, after all shorter codes). entries must hold
// 2^maxRootBits + symbolCount * 2^(15 - maxRootBits) values.
bool buildTable(const std::uint8_t* lengths, unsigned symbolCount, const std::uint32_t* symbols,
                unsigned maxRootBits, std::uint32_t* entries, unsigned& rootBits) {
    unsigned count[kMaxCodeBits + 1] = {};
    for (unsigned s = 0; s < symbolCount; ++s) ++count[lengths[s]];
    count[0] = 0;

    // An over-subscribed code would give two symbols one bit pattern: refused. An incomplete code
    // is accepted; its unused patterns stay Invalid and fail when they are met.
    int left = 1;
    for (unsigned n = 1; n <= kMaxCodeBits; ++n) {
        left = 2 * left - static_cast<int>(count[n]);
        if (left < 0) return false;
    }

    unsigned longest = 0;
    for (unsigned n = 1; n <= kMaxCodeBits; ++n) {
        if (count[n] != 0) longest = n;
    }
    rootBits = longest < 1 ? 1 : (longest < maxRootBits ? longest : maxRootBits);
    const unsigned subBits = longest > rootBits ? longest - rootBits : 0;

    unsigned nextCode[kMaxCodeBits + 1] = {};
    for (unsigned n = 1, code = 0; n <= kMaxCodeBits; ++n) {
        code = (code + count[n - 1]) << 1;
        nextCode[n] = code;
    }

    const unsigned rootSize = 1u << rootBits;
    for (unsigned i = 0; i < rootSize; ++i) entries[i] = kInvalidEntry;
    unsigned used = rootSize;
    for (unsigned s = 0; s < symbolCount; ++s) {
        const unsigned n = lengths[s];
        if (n == 0) continue;
        // Input bits arrive least significant first, codes most significant bit first.
        const unsigned pattern = reverseBits(nextCode[n]++, n);
        const std::uint32_t entry = symbols[s] | n;
        if (n <= rootBits) {
            for (unsigned i = pattern; i < rootSize; i += 1u << n) entries[i] = entry;
            continue;
        }
        std::uint32_t& link = entries[pattern & (rootSize - 1)];
        if (kindOf(link) != Link) {
            link = makeEntry(Link, used, subBits, rootBits);
            for (unsigned i = 0; i < (1u << subBits); ++i) entries[used + i] = kInvalidEntry;
            used += 1u << subBits;
        }
        std::uint32_t* sub = entries + valueOf(link);
        for (unsigned i = pattern >> rootBits; i < (1u << subBits); i += 1u << (n - rootBits)) {
            sub[i] = entry;
        }
    }
    return true;
}

// The entry of the next symbol; its code bits are used up. Needs 15 bits in the buffer.
std::uint32_t decode(BitReader& in, const Table& table) {
    std::uint32_t e = table.entries[in.buffer & ((1u << table.rootBits) - 1)];
    if (kindOf(e) == Link) {
        e = table.entries[valueOf(e) + ((in.buffer >> table.rootBits) & ((1u << extraOf(e)) - 1))];
    }
    drop(in, codeBitsOf(e));
    return e;
}

// Built once, on first use; the runtime makes the initialisation thread-safe.
struct FixedTables {
    std::uint32_t litLen[kFixedLitLenTableEntries];
    std::uint32_t distance[kFixedDistanceTableEntries];
    unsigned litLenRootBits;
    unsigned distanceRootBits;
};

FixedTables makeFixedTables() {
    FixedTables t{};
    std::uint8_t lengths[kLitLenSymbols];
    // RFC 1951 3.2.6.
    for (unsigned s = 0; s < kLitLenSymbols; ++s) {
        lengths[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
    }
    buildTable(lengths, kLitLenSymbols, kSymbolEntries.litLen, kFixedLitLenBits, t.litLen,
               t.litLenRootBits);
    for (unsigned s = 0; s < kDistanceSymbols; ++s) lengths[s] = kFixedDistanceBits;
    buildTable(lengths, kDistanceSymbols, kSymbolEntries.distance, kFixedDistanceBits, t.distance,
               t.distanceRootBits);
    return t;
}

const FixedTables& fixedTables() {
    static const FixedTables tables = makeFixedTables();
    return tables;
}

// ---------------------------------------------------------------------------------------------
// Blocks

struct Inflate {
    BitReader in;
    std::uint8_t* out = nullptr;
    std::uint64_t expected = 0;
    std::uint64_t produced = 0;
};

// Copies `length` bytes from `distance` back; the copy may overlap the bytes it produces.
// Room for the whole copy has been checked.
void copyMatch(Inflate& z, std::uint64_t distance, std::uint64_t length) {
    std::uint8_t* to = z.out + z.produced;
    const std::uint8_t* from = to - distance;
    if (distance >= 8 && z.expected - z.produced >= length + 8) {
        // Eight bytes at a time: each piece's source lies before it. Up to 7 bytes past the copy
        // are overwritten with junk; the bytes that follow replace them.
        for (std::uint64_t i = 0; i < length; i += 8) std::memcpy(to + i, from + i, 8);
    } else if (distance == 1) {
        std::memset(to, *from, length);
    } else {
        for (std::uint64_t i = 0; i < length; ++i) to[i] = from[i];
    }
    z.produced += length;
}

// Decodes literals and copies with one pair of codes until the end-of-block symbol.
bool codes(Inflate& z, const Table& litLen, const Table& distance) {
    BitReader& in = z.in;
    for (;;) {
        if (in.bitsLeft < kRefillBits) refill(in);
        // A stream that read past its end fails, at the latest here, before it produces more.
        if (overrun(in)) return false;

        std::uint32_t e = decode(in, litLen);
        if (kindOf(e) == Literal) {
            // No byte beyond the expected size.
            if (z.produced == z.expected) return false;
            z.out[z.produced++] = static_cast<std::uint8_t>(valueOf(e));
            continue;
        }
        if (kindOf(e) == EndOfBlock) return true;
        // A bit pattern outside an incomplete code, or the meaningless symbols 286 and 287.
        if (kindOf(e) != Length) return false;
        const std::uint64_t length = valueOf(e) + bits(in, extraOf(e));

        e = decode(in, distance);
        // A pattern outside the distance code, including the fixed code's unused 30 and 31.
        if (kindOf(e) != Distance) return false;
        const std::uint64_t back = valueOf(e) + bits(in, extraOf(e));

        if (overrun(in)) return false;
        // The window is the output so far: nothing reaches before its first byte.
        if (back > z.produced) return false;
        // No byte beyond the expected size.
        if (length > z.expected - z.produced) return false;
        copyMatch(z, back, length);
    }
}

bool stored(Inflate& z) {
    BitReader& in = z.in;
    drop(in, in.bitsLeft % 8);  // a stored block starts at a byte boundary
    if (overrun(in)) return false;
    // Hand the whole bytes still in the buffer back, so LEN is read at the right place.
    in.position -= (in.bitsLeft - in.zeroBits) / 8;
    in.buffer = 0;
    in.bitsLeft = 0;
    in.zeroBits = 0;

    // LEN and NLEN must be there, and NLEN must be LEN's ones' complement.
    if (in.length - in.position < 4) return false;
    const std::uint8_t* p = in.data + in.position;
    const unsigned len = p[0] | p[1] << 8;
    const unsigned nlen = p[2] | p[3] << 8;
    if (len != (~nlen & 0xffff)) return false;
    in.position += 4;
    // All LEN bytes must be in the input and fit in the expected size.
    if (in.length - in.position < len) return false;
    if (len > z.expected - z.produced) return false;
    if (len != 0) std::memcpy(z.out + z.produced, in.data + in.position, len);
    in.position += len;
    z.produced += len;
    return true;
}

bool fixed(Inflate& z) {
    const FixedTables& t = fixedTables();
    return codes(z, Table{t.litLen, t.litLenRootBits}, Table{t.distance, t.distanceRootBits});
}

struct DynamicTables {
    std::uint32_t litLen[kLitLenTableEntries];
    std::uint32_t distance[kDistanceTableEntries];
};

bool dynamic(Inflate& z, DynamicTables& storage) {
    BitReader& in = z.in;
    const unsigned hlit = bits(in, 5) + 257;
    const unsigned hdist = bits(in, 5) + 1;
    const unsigned hclen = bits(in, 4) + 4;
    // 286 literal/length and 30 distance symbols exist; more cannot be described.
    if (hlit > kMaxDynamicLitLenSymbols || hdist > kDistanceSymbols) return false;

    std::uint8_t codeLengthLengths[kCodeLengthSymbols] = {};
    for (unsigned i = 0; i < hclen; ++i) codeLengthLengths[kCodeLengthOrder[i]] = bits(in, 3);
    std::uint32_t codeLengthEntries[kCodeLengthTableEntries];
    Table codeLengthTable{codeLengthEntries, 0};
    if (!buildTable(codeLengthLengths, kCodeLengthSymbols, kSymbolEntries.codeLength,
                    kCodeLengthRootBits, codeLengthEntries, codeLengthTable.rootBits)) {
        return false;
    }

    // Literal/length and distance code lengths form one sequence; repeats may cross between them.
    std::uint8_t lengths[kMaxDynamicLitLenSymbols + kDistanceSymbols];
    const unsigned total = hlit + hdist;
    for (unsigned n = 0; n < total;) {
        if (in.bitsLeft < kRefillBits) refill(in);
        const std::uint32_t e = decode(in, codeLengthTable);
        // A pattern outside an incomplete code-length code.
        if (kindOf(e) == Invalid) return false;
        const unsigned symbol = valueOf(e);
        if (symbol < 16) {
            lengths[n++] = static_cast<std::uint8_t>(symbol);
            continue;
        }
        std::uint8_t repeated = 0;
        unsigned times = 0;
        if (symbol == 16) {
            // Repeating the previous length needs a previous length.
            if (n == 0) return false;
            repeated = lengths[n - 1];
            times = 3 + bits(in, 2);
        } else if (symbol == 17) {
            times = 3 + bits(in, 3);
        } else {
            times = 11 + bits(in, 7);
        }
        // A repeat may not run past the lengths the header announced.
        if (times > total - n) return false;
        while (times-- > 0) lengths[n++] = repeated;
    }

    // A block without an end-of-block code could never end.
    if (lengths[kEndOfBlockSymbol] == 0) return false;

    Table litLen{storage.litLen, 0};
    Table distance{storage.distance, 0};
    if (!buildTable(lengths, hlit, kSymbolEntries.litLen, kLitLenRootBits, storage.litLen,
                    litLen.rootBits)) {
        return false;
    }
    if (!buildTable(lengths + hlit, hdist, kSymbolEntries.distance, kDistanceRootBits,
                    storage.distance, distance.rootBits)) {
        return false;
    }
    return codes(z, litLen, distance);
}

bool blocks(Inflate& z) {
    DynamicTables storage;
    for (;;) {
        const bool last = bits(z.in, 1) != 0;
        const unsigned type = bits(z.in, 2);
        bool ok = false;
        if (type == 0) {
            ok = stored(z);
        } else if (type == 1) {
            ok = fixed(z);
        } else if (type == 2) {
            ok = dynamic(z, storage);
        }
        // Type 3 is reserved: ok stays false.
        if (!ok || overrun(z.in)) return false;
        if (last) return true;
    }
}

// ---------------------------------------------------------------------------------------------
// zlib wrapper (RFC 1950)

constexpr std::uint64_t kHeaderBytes = 2;
constexpr std::uint64_t kTrailerBytes = 4;
constexpr std::uint64_t kMinStreamBytes = 6;
constexpr unsigned kDeflateMethod = 8;
constexpr unsigned kPresetDictionaryFlag = 0x20;
constexpr std::uint32_t kAdlerModulus = 65521;
// The largest n for which the sums cannot overflow 32 bits before they are reduced.
constexpr std::uint64_t kAdlerRunBytes = 5552;
// The most output one deflate byte can yield: a 258-byte copy costs at least two bits.
constexpr std::uint64_t kMaxBytesPerDeflateByte = kMaxMatchBytes / 2 * 8;

std::uint32_t adler32(const std::uint8_t* p, std::uint64_t count) {
    std::uint32_t a = 1;
    std::uint32_t b = 0;
    while (count > 0) {
        std::uint64_t run = count < kAdlerRunBytes ? count : kAdlerRunBytes;
        count -= run;
        for (; run >= 8; run -= 8, p += 8) {
            a += p[0], b += a, a += p[1], b += a, a += p[2], b += a, a += p[3], b += a;
            a += p[4], b += a, a += p[5], b += a, a += p[6], b += a, a += p[7], b += a;
        }
        for (; run > 0; --run) a += *p++, b += a;
        a %= kAdlerModulus;
        b %= kAdlerModulus;
    }
    return b << 16 | a;
}

bool header(const std::uint8_t* p) {
    // Deflate is the only method.
    if ((p[0] & 0x0f) != kDeflateMethod) return false;
    // The two bytes, big-endian, are a multiple of 31.
    if ((p[0] << 8 | p[1]) % 31 != 0) return false;
    // No preset dictionary: the launcher has none to offer. The window size is not checked: the
    // whole output serves as the window.
    if (p[1] & kPresetDictionaryFlag) return false;
    return true;
}

}  // namespace

bool inflateZlib(const std::uint8_t* input, std::uint64_t inputLength, std::uint64_t expectedSize,
                 std::vector<std::uint8_t>& out) {
    out.clear();
    if (inputLength < kMinStreamBytes) return false;
    if (!header(input)) return false;
    const std::uint64_t deflateLength = inputLength - kHeaderBytes - kTrailerBytes;
    // A size this input could not produce is refused before the output is reserved, so a bad size
    // cannot demand an absurd allocation.
    if (expectedSize / kMaxBytesPerDeflateByte > deflateLength) return false;

    out.reserve(expectedSize);
    out.resize(expectedSize);
    Inflate z;
    z.in.data = input + kHeaderBytes;
    z.in.length = deflateLength;
    z.out = out.data();
    z.expected = expectedSize;
    // Bytes between the final block and the trailer are ignored.
    const bool ok = blocks(z) && z.produced == expectedSize;
    if (!ok) {
        out.resize(z.produced);
        return false;
    }
    const std::uint8_t* t = input + inputLength - kTrailerBytes;
    const std::uint32_t trailer = std::uint32_t{t[0]} << 24 | t[1] << 16 | t[2] << 8 | t[3];
    return adler32(out.data(), out.size()) == trailer;
}

}  // namespace kd
