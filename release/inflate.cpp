// Strict zlib decoder. What it accepts and produces is defined bit by bit: Huffman codes read one
// bit at a time, reads past the end giving zero bits and spoiling the stream. For speed it reads
// 64 bits at a time and decodes through lookup tables, which yields the same symbols and consumes
// the same bits, so every input gets the same verdict and bytes as the bit-serial walk.
//
// Input arrives in pieces. A step runs early only when every bit it could read has arrived;
// otherwise the decoder waits for the next piece, keeping the few bytes not yet used. Only after
// the last piece do reads past the end give zero bits, so the pieces never change a verdict.
//
// Most symbols take the fast path: while 16 input bytes remain and the longest copy fits, with
// room to spare, in the window and within the expected size, no check for those can fail, so the
// bits are refilled a word at a time, up to three literals are decoded per refill and copies move
// 8 or 16 bytes at a time. Near either end the careful path takes one symbol at a time with
// every check. inflateZlib has the whole stream, so it reads it in place and unpacks straight
// into its output, which is then the window.
#include "release/inflate.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "release/adler32.h"

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
    bool final = false;  // no byte will follow data[length - 1]
};

std::uint64_t loadLittleEndian64(const std::uint8_t* p) {
    std::uint64_t word = 0;
    for (unsigned i = 0; i < 8; ++i) word |= std::uint64_t{p[i]} << (8 * i);
    return word;
}

// Tops the buffer up to at least kRefillBits from the next 8 bytes, which must be there: it takes
// the whole bytes that fit, leaving between 56 and 63 bits, which is bitsLeft | 56. Bits of the
// byte at `position` above bitsLeft may already be in the buffer from the last such load; OR-ing
// the same byte in again leaves them unchanged.
void refillWord(BitReader& in) {
    in.buffer |= loadLittleEndian64(in.data + in.position) << in.bitsLeft;
    in.position += (63 - in.bitsLeft) / 8;
    in.bitsLeft |= 56;
}

// Tops the buffer up to at least kRefillBits. False, with nothing changed, when that needs bytes
// that have not arrived yet.
bool refill(BitReader& in) {
    if (in.length - in.position >= 8) {
        refillWord(in);
        return true;
    }
    if (!in.final) return false;
    while (in.bitsLeft < kRefillBits) {
        if (in.position < in.length) {
            in.buffer |= std::uint64_t{in.data[in.position++]} << in.bitsLeft;
        } else {
            in.zeroBits += 8;  // a read beyond the last byte yields zero bits
        }
        in.bitsLeft += 8;
    }
    return true;
}

bool overrun(const BitReader& in) { return in.zeroBits > in.bitsLeft; }

void drop(BitReader& in, unsigned count) {
    in.buffer >>= count;
    in.bitsLeft -= count;
}

// The next `count` bits (at most 32) as a number, least significant bit first. Callers make sure
// the bits have arrived (see kBlockStartBytes).
std::uint32_t bits(BitReader& in, unsigned count) {
    if (in.bitsLeft < count) refill(in);
    const auto value = static_cast<std::uint32_t>(in.buffer & ((std::uint64_t{1} << count) - 1));
    drop(in, count);
    return value;
}

// ---------------------------------------------------------------------------------------------
// Decoding tables
//
// A table maps the next root bits of input to an entry; codes longer than the root go through a
// link to a second-level table indexed by the bits that follow. Every table of an alphabet has
// the same root, so a look-up needs no size but its own. An entry packs:
//   bits 0-7    bits the symbol takes: its code and the extra bits after it (lengths, distances)
//   bits 8-11   of those, the code's; a link's: the index bits of its second-level table
//   bits 12-15  kind
//   bits 16-31  literal byte or code-length symbol, base length, base distance, or link offset
// so that a symbol and its extra bits are used up in one step, and the extra bits' value is
// read from the buffer as it was before.

enum Kind : std::uint32_t { Literal, Length, EndOfBlock, Distance, Link, Invalid };

// Before a table is built, bits 0-7 hold only the extra bits.
constexpr std::uint32_t makeEntry(Kind kind, std::uint32_t value, std::uint32_t extra = 0) {
    return value << 16 | std::uint32_t{kind} << 12 | extra;
}
constexpr unsigned symbolBitsOf(std::uint32_t e) { return e & 0xff; }
constexpr unsigned codeBitsOf(std::uint32_t e) { return e >> 8 & 0xf; }
constexpr Kind kindOf(std::uint32_t e) { return static_cast<Kind>(e >> 12 & 0xf); }
constexpr std::uint32_t valueOf(std::uint32_t e) { return e >> 16; }
// The extra bits' value, from the buffer as it was before the symbol was used up.
constexpr std::uint32_t extraValueOf(std::uint32_t e, std::uint64_t before) {
    return static_cast<std::uint32_t>((before & ((std::uint64_t{1} << symbolBitsOf(e)) - 1)) >>
                                      codeBitsOf(e));
}

constexpr std::uint32_t kInvalidEntry = makeEntry(Invalid, 0);

// Root sizes: long enough that nearly every code resolves in one lookup, short enough that a
// block's tables are quick to build.
constexpr unsigned kLitLenRootBits = 11;
constexpr unsigned kDistanceRootBits = 8;
constexpr unsigned kCodeLengthRootBits = 7;  // code-length codes are at most 7 bits long

// Every symbol with a code longer than the root can open at most one second-level table of
// 2^(15 - root) entries.
constexpr unsigned kLitLenTableEntries =
    (1u << kLitLenRootBits) + kMaxDynamicLitLenSymbols * (1u << (kMaxCodeBits - kLitLenRootBits));
// The fixed codes are at most 9 bits long: no second level.
constexpr unsigned kFixedLitLenTableEntries = 1u << kLitLenRootBits;
constexpr unsigned kDistanceTableEntries =
    (1u << kDistanceRootBits) + kDistanceSymbols * (1u << (kMaxCodeBits - kDistanceRootBits));
constexpr unsigned kFixedDistanceBits = 5;
constexpr unsigned kFixedDistanceTableEntries = 1u << kDistanceRootBits;
constexpr unsigned kCodeLengthTableEntries = 1u << kCodeLengthRootBits;

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
// 2^rootBits + symbolCount * 2^(15 - rootBits) values, or 2^rootBits when no code is longer.
bool buildTable(const std::uint8_t* lengths, unsigned symbolCount, const std::uint32_t* symbols,
                unsigned rootBits, std::uint32_t* entries) {
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
        const std::uint32_t entry = symbols[s] + (n << 8) + n;
        if (n <= rootBits) {
            for (unsigned i = pattern; i < rootSize; i += 1u << n) entries[i] = entry;
            continue;
        }
        std::uint32_t& link = entries[pattern & (rootSize - 1)];
        if (kindOf(link) != Link) {
            link = makeEntry(Link, used) | subBits << 8;
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

// The entry of the next symbol, whose code bits are still in the buffer. Needs 15 bits there.
template <unsigned RootBits>
std::uint32_t peek(const BitReader& in, const std::uint32_t* table) {
    std::uint32_t e = table[in.buffer & ((1u << RootBits) - 1)];
    if (kindOf(e) == Link) {
        e = table[valueOf(e) + ((in.buffer >> RootBits) & ((1u << codeBitsOf(e)) - 1))];
    }
    return e;
}

// Uses up the symbol of entry e and its extra bits. A symbol takes at most 28 bits, so its count
// modulo 64 is the count; the processor's shift takes it so, and no step to widen the byte sits
// between one table look-up and the next.
void use(BitReader& in, std::uint32_t e) {
    in.buffer >>= e & 63;
    in.bitsLeft -= symbolBitsOf(e);
}

// The entry of the next symbol; it and its extra bits are used up, and `before` holds the buffer
// as it was. Needs 15 bits in the buffer, and the extra bits.
template <unsigned RootBits>
std::uint32_t decode(BitReader& in, const std::uint32_t* table, std::uint64_t& before) {
    const std::uint32_t e = peek<RootBits>(in, table);
    before = in.buffer;
    use(in, e);
    return e;
}

// Built once, on first use; the runtime makes the initialisation thread-safe.
struct FixedTables {
    std::uint32_t litLen[kFixedLitLenTableEntries];
    std::uint32_t distance[kFixedDistanceTableEntries];
};

FixedTables makeFixedTables() {
    FixedTables t{};
    std::uint8_t lengths[kLitLenSymbols];
    // RFC 1951 3.2.6.
    for (unsigned s = 0; s < kLitLenSymbols; ++s) {
        lengths[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
    }
    buildTable(lengths, kLitLenSymbols, kSymbolEntries.litLen, kLitLenRootBits, t.litLen);
    for (unsigned s = 0; s < kDistanceSymbols; ++s) lengths[s] = kFixedDistanceBits;
    buildTable(lengths, kDistanceSymbols, kSymbolEntries.distance, kDistanceRootBits, t.distance);
    return t;
}

const FixedTables& fixedTables() {
    static const FixedTables tables = makeFixedTables();
    return tables;
}

// ---------------------------------------------------------------------------------------------
// Decoder state

constexpr std::uint64_t kHeaderBytes = 2;
constexpr std::uint64_t kTrailerBytes = 4;
constexpr std::uint64_t kMinStreamBytes = 6;

// The farthest a copy reaches back.
constexpr std::size_t kWindowBytes = 32768;
// Unpacked bytes handed to the output at a time, at most.
constexpr std::size_t kFlushBytes = 224 << 10;
// Bytes a word-wise copy may write past its end.
constexpr std::size_t kCopyOvershootBytes = 31;
// Room kept free before each symbol on the fast path: the longest copy and its overshoot.
constexpr std::size_t kSymbolRoomBytes = kMaxMatchBytes + kCopyOvershootBytes;
// Input the fast path needs: the 8 bytes of a wide refill, with some to spare.
constexpr std::uint64_t kFastInputBytes = 16;
// inflateZlib's output grows by this much at a time (zeroed first, then written), and its
// Adler-32 is summed at each step while the bytes are still in the cache.
constexpr std::size_t kDirectGrowBytes = 128 << 10;

// The longest a block's start can be, through a dynamic header whose every code length takes a
// 7-bit code and 7 extra bits.
constexpr std::uint64_t kMaxBlockStartBits =
    3 + 5 + 5 + 4 + 3 * kCodeLengthSymbols + (kMaxDynamicLitLenSymbols + kDistanceSymbols) * 14;
// A block starts only when this many bytes have arrived past the reader, so that no read inside
// its header waits for input: the header, and the 8 bytes ahead that a wide refill loads, and
// the up to 8 bytes a refill may already have taken into the buffer.
constexpr std::uint64_t kBlockStartBytes = (kMaxBlockStartBits + 7) / 8 + 16;
// Input kept between pushes: what the reader has not used, then the newest bytes.
constexpr std::size_t kInputBytes = (64 << 10) + kBlockStartBytes + 64;

struct DynamicTables {
    std::uint32_t litLen[kLitLenTableEntries];
    std::uint32_t distance[kDistanceTableEntries];
};

enum class Mode { BlockStart, Stored, Codes, Done };
enum class Step { Done, Failed, Starved };

}  // namespace

struct Inflater::State {
    Output output;
    std::uint64_t expected = 0;
    BitReader in;  // reads from input

    std::unique_ptr<std::uint8_t[]> input;
    std::size_t inputSize = 0;
    std::uint64_t received = 0;
    bool headerRead = false;

    // Output not yet handed on, after at least the window's worth before it (or all output so far).
    // inflateZlib's output vector is the window itself: it grows, and nothing is handed on.
    std::unique_ptr<std::uint8_t[]> ownWindow;
    std::vector<std::uint8_t>* direct = nullptr;
    std::uint8_t* window = nullptr;
    std::size_t windowBytes = 0;  // of the direct vector, the bytes it has grown to
    std::size_t outPos = 0;
    std::size_t flushed = 0;
    std::uint64_t produced = 0;
    std::uint32_t adlerA = 1;
    std::uint32_t adlerB = 0;

    Mode mode = Mode::BlockStart;
    bool lastBlock = false;
    unsigned storedLeft = 0;                // bytes of the current stored block still to copy
    const std::uint32_t* litLen = nullptr;  // the block's tables
    const std::uint32_t* distance = nullptr;
    std::unique_ptr<DynamicTables> dynamic;

    bool failed = false;
    bool outputFailed = false;
    bool finished = false;
    bool accepted = false;
};

namespace {

using Decoder = Inflater::State;

// Hands the unpacked bytes not handed on yet to the output.
bool flush(Decoder& z) {
    const std::size_t count = z.outPos - z.flushed;
    if (count == 0) return true;
    const std::uint8_t* p = z.window + z.flushed;
    addAdler32(z.adlerA, z.adlerB, p, count);
    z.flushed = z.outPos;
    if (z.output && !z.output(p, count)) {
        z.outputFailed = true;
        return false;
    }
    return true;
}

// Flushes, then moves the window to the front of the buffer; or grows the output vector that is
// the window, never past the expected size.
bool makeRoom(Decoder& z) {
    if (!flush(z)) return false;
    if (z.direct) {
        const auto size = static_cast<std::size_t>(
            std::min<std::uint64_t>(z.expected, z.outPos + kDirectGrowBytes));
        if (size > z.direct->size()) z.direct->resize(size);  // within the reserved capacity
        z.window = z.direct->data();
        z.windowBytes = z.direct->size();
        return true;
    }
    const std::size_t keep = std::min(z.outPos, kWindowBytes);
    std::memmove(z.window, z.window + z.outPos - keep, keep);
    z.outPos = z.flushed = keep;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Blocks

// Copies `length` bytes from `distance` back a word at a time; the copy may overlap the bytes it
// produces. Up to kCopyOvershootBytes past the copy are overwritten with junk, which the bytes
// that follow replace.
void copyMatchWide(std::uint8_t* to, std::size_t distance, std::size_t length) {
    const std::uint8_t* from = to - distance;
    std::uint8_t* const end = to + length;
    if (distance >= 16) {
        // Each piece's source lies wholly before it. Most copies are short: the first two pieces
        // go without a test.
        std::memcpy(to, from, 16);
        std::memcpy(to + 16, from + 16, 16);
        for (to += 32, from += 32; to < end; to += 16, from += 16) std::memcpy(to, from, 16);
    } else if (distance >= 8) {
        std::memcpy(to, from, 8);
        std::memcpy(to + 8, from + 8, 8);
        for (to += 16, from += 16; to < end; to += 8, from += 8) std::memcpy(to, from, 8);
    } else if (distance == 1) {
        const std::uint64_t word = *from * std::uint64_t{0x0101010101010101};
        for (; to < end; to += 8) std::memcpy(to, &word, 8);
    } else {
        // A period of 2 to 7: eight bytes one at a time lay the pattern down; after that each
        // word comes from `step` back, the smallest multiple of the period that is at least 8.
        for (int i = 0; i < 8; ++i) to[i] = from[i];
        const std::size_t step = distance * ((7 + distance) / distance);
        for (std::uint8_t* p = to + 8; p < end; p += 8) std::memcpy(p, p - step, 8);
    }
}

// The same, byte by byte, for the last bytes of an output that has no room to spare.
void copyMatchExact(std::uint8_t* to, std::size_t distance, std::size_t length) {
    const std::uint8_t* from = to - distance;
    for (std::size_t i = 0; i < length; ++i) to[i] = from[i];
}

// The fast path: runs while pos < fastStop and 16 input bytes remain; false on a copy that no
// stream may hold. It stops before the end of the block and before patterns outside the code,
// leaving them to the careful path. It is a function of its own so that its few locals stay in
// registers: inlined into the block loop, they shared them with the careful path's state.
//
// Each step starts just after a refill, with the next symbol's entry looked up: the whole 64-bit
// buffer is input, so the look-up is sound while at most 49 bits have been used since.
[[gnu::noinline]] bool fastCodes(BitReader& reader, const std::uint32_t* litLen,
                                 const std::uint32_t* distance, std::uint8_t* window,
                                 std::size_t& pos, std::size_t fastStop, std::uint64_t behind) {
    BitReader in = reader;
    std::uint8_t* out = window + pos;
    std::uint8_t* const outStop = window + fastStop;
    // Where the first byte of output would be, as a number: a copy may reach back that far. The
    // window may have dropped that byte long ago, so it is never made a pointer.
    const std::uintptr_t origin = reinterpret_cast<std::uintptr_t>(window) - behind;
    bool sound = true;
    refillWord(in);
    std::uint32_t e = peek<kLitLenRootBits>(in, litLen);
    do {
        if (kindOf(e) == Literal) {
            // At most 15 bits each: three fit between refills.
            for (int n = 0; n < 3; ++n) {
                use(in, e);
                *out++ = static_cast<std::uint8_t>(valueOf(e));
                e = peek<kLitLenRootBits>(in, litLen);
                if (kindOf(e) != Literal) break;
            }
            refillWord(in);
            continue;
        }
        if (kindOf(e) != Length) break;
        std::uint64_t before = in.buffer;
        use(in, e);
        const std::size_t length = valueOf(e) + extraValueOf(e, before);
        e = decode<kDistanceRootBits>(in, distance, before);
        const std::uint64_t back = valueOf(e) + extraValueOf(e, before);
        // A pattern outside the distance code, or a copy from before the first byte.
        if (kindOf(e) != Distance || back > reinterpret_cast<std::uintptr_t>(out) - origin) {
            sound = false;
            break;
        }
        // The next symbol is looked up before the copy, which does not hold it up.
        refillWord(in);
        e = peek<kLitLenRootBits>(in, litLen);
        copyMatchWide(out, back, length);
        out += length;
    } while (out < outStop && in.length - in.position >= kFastInputBytes);
    reader = in;
    pos = static_cast<std::size_t>(out - window);
    return sound;
}

// Decodes literals and copies with the block's codes until the end-of-block symbol, or until the
// next symbol might need bits that have not arrived.
Step codes(Decoder& z) {
    // Local copies: stores through the output bytes could otherwise alias the decoder's fields.
    BitReader in = z.in;
    const std::uint32_t* const litLen = z.litLen;
    const std::uint32_t* const distance = z.distance;
    const std::uint64_t expected = z.expected;
    std::uint8_t* window = z.window;
    std::size_t windowBytes = z.windowBytes;
    std::size_t pos = z.outPos;
    std::uint64_t behind = z.produced - z.outPos;  // output that has left the window
    // The fast path runs while pos < fastStop: kSymbolRoomBytes stay free in the window and
    // kMaxMatchBytes below the expected size.
    auto fastStopOf = [&] {
        const std::uint64_t left = expected - behind;
        if (windowBytes < kSymbolRoomBytes || left < kMaxMatchBytes) return std::size_t{0};
        return static_cast<std::size_t>(
                   std::min<std::uint64_t>(windowBytes - kSymbolRoomBytes, left - kMaxMatchBytes)) +
               1;
    };
    std::size_t fastStop = fastStopOf();
    Step step = Step::Failed;
    for (;;) {
        if (pos < fastStop && in.length - in.position >= kFastInputBytes &&
            !fastCodes(in, litLen, distance, window, pos, fastStop, behind)) {
            break;
        }

        // The careful path: one symbol.
        if (windowBytes - pos < kSymbolRoomBytes &&
            (z.direct == nullptr || windowBytes < expected)) {
            z.outPos = pos;
            z.produced = behind + pos;
            if (!makeRoom(z)) break;
            window = z.window;
            windowBytes = z.windowBytes;
            pos = z.outPos;
            behind = z.produced - pos;
            fastStop = fastStopOf();
        }
        if (in.bitsLeft < kRefillBits && !refill(in)) {
            step = Step::Starved;
            break;
        }
        // A stream that read past its end fails, at the latest here, before it produces more.
        if (overrun(in)) break;

        std::uint64_t before;
        std::uint32_t e = decode<kLitLenRootBits>(in, litLen, before);
        const std::uint64_t produced = behind + pos;
        if (kindOf(e) == Literal) {
            // No byte beyond the expected size.
            if (produced == expected) break;
            window[pos++] = static_cast<std::uint8_t>(valueOf(e));
            continue;
        }
        if (kindOf(e) == EndOfBlock) {
            step = Step::Done;
            break;
        }
        // A bit pattern outside an incomplete code, or the meaningless symbols 286 and 287.
        if (kindOf(e) != Length) break;
        const std::uint64_t length = valueOf(e) + extraValueOf(e, before);

        // The refill above left room for the extra bits of both.
        e = decode<kDistanceRootBits>(in, distance, before);
        // A pattern outside the distance code, including the fixed code's unused 30 and 31.
        if (kindOf(e) != Distance) break;
        const std::uint64_t back = valueOf(e) + extraValueOf(e, before);

        if (overrun(in)) break;
        // The window is the output so far: nothing reaches before its first byte.
        if (back > produced) break;
        // No byte beyond the expected size.
        if (length > expected - produced) break;
        if (windowBytes - pos >= length + kCopyOvershootBytes) {
            copyMatchWide(window + pos, back, length);
        } else {
            copyMatchExact(window + pos, back, length);
        }
        pos += length;
    }
    z.in = in;
    z.outPos = pos;
    z.produced = behind + pos;
    return step;
}

bool storedHeader(Decoder& z) {
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
    // No byte beyond the expected size.
    if (len > z.expected - z.produced) return false;
    z.storedLeft = len;
    return true;
}

Step storedCopy(Decoder& z) {
    BitReader& in = z.in;
    while (z.storedLeft > 0) {
        const std::uint64_t arrived = in.length - in.position;
        // All LEN bytes must be in the input.
        if (arrived == 0) return in.final ? Step::Failed : Step::Starved;
        const std::uint8_t* from = in.data + in.position;
        std::size_t count = std::min<std::uint64_t>(z.storedLeft, arrived);
        if (z.direct && z.outPos == z.windowBytes) {
            // Appended to the output vector as they are: nothing to zero first. The header
            // checked that they stay within the expected size.
            z.direct->insert(z.direct->end(), from, from + count);
            z.window = z.direct->data();
            z.windowBytes = z.direct->size();
        } else {
            if (z.outPos == z.windowBytes && !makeRoom(z)) return Step::Failed;
            count = std::min(count, z.windowBytes - z.outPos);
            std::memcpy(z.window + z.outPos, from, count);
        }
        in.position += count;
        z.outPos += count;
        z.produced += count;
        z.storedLeft -= static_cast<unsigned>(count);
        // Summed while the bytes are still in the cache.
        if (z.direct && !flush(z)) return Step::Failed;
    }
    return Step::Done;
}

void useFixedCodes(Decoder& z) {
    const FixedTables& t = fixedTables();
    z.litLen = t.litLen;
    z.distance = t.distance;
}

bool dynamicHeader(Decoder& z) {
    BitReader& in = z.in;
    const unsigned hlit = bits(in, 5) + 257;
    const unsigned hdist = bits(in, 5) + 1;
    const unsigned hclen = bits(in, 4) + 4;
    // 286 literal/length and 30 distance symbols exist; more cannot be described.
    if (hlit > kMaxDynamicLitLenSymbols || hdist > kDistanceSymbols) return false;

    std::uint8_t codeLengthLengths[kCodeLengthSymbols] = {};
    for (unsigned i = 0; i < hclen; ++i) codeLengthLengths[kCodeLengthOrder[i]] = bits(in, 3);
    std::uint32_t codeLengthEntries[kCodeLengthTableEntries];
    if (!buildTable(codeLengthLengths, kCodeLengthSymbols, kSymbolEntries.codeLength,
                    kCodeLengthRootBits, codeLengthEntries)) {
        return false;
    }

    // Literal/length and distance code lengths form one sequence; repeats may cross between them.
    std::uint8_t lengths[kMaxDynamicLitLenSymbols + kDistanceSymbols];
    const unsigned total = hlit + hdist;
    for (unsigned n = 0; n < total;) {
        if (in.bitsLeft < kRefillBits) refill(in);
        std::uint64_t before;
        const std::uint32_t e = decode<kCodeLengthRootBits>(in, codeLengthEntries, before);
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

    if (!z.dynamic) z.dynamic = std::make_unique_for_overwrite<DynamicTables>();
    DynamicTables& storage = *z.dynamic;
    z.litLen = storage.litLen;
    z.distance = storage.distance;
    return buildTable(lengths, hlit, kSymbolEntries.litLen, kLitLenRootBits, storage.litLen) &&
           buildTable(lengths + hlit, hdist, kSymbolEntries.distance, kDistanceRootBits,
                      storage.distance);
}

// The block type and what follows it up to the block's data.
bool blockHeader(Decoder& z) {
    z.lastBlock = bits(z.in, 1) != 0;
    const unsigned type = bits(z.in, 2);
    if (type == 0) {
        z.mode = Mode::Stored;
        return storedHeader(z);
    }
    z.mode = Mode::Codes;
    if (type == 1) {
        useFixedCodes(z);
        return true;
    }
    return type == 2 && dynamicHeader(z);  // type 3 is reserved
}

// Decodes as far as the input that has arrived allows. False once the stream is damaged or the
// output refused.
bool advance(Decoder& z) {
    BitReader& in = z.in;
    for (;;) {
        if (z.mode == Mode::Done) {
            // Bytes between the final block and the trailer are ignored.
            in.position = in.length;
            return true;
        }
        if (z.mode == Mode::BlockStart) {
            if (!in.final && in.length - in.position < kBlockStartBytes) return true;
            if (!blockHeader(z)) return false;
            continue;
        }
        const Step step = z.mode == Mode::Stored ? storedCopy(z) : codes(z);
        if (step == Step::Starved) return true;
        if (step == Step::Failed || overrun(in)) return false;
        z.mode = z.lastBlock ? Mode::Done : Mode::BlockStart;
    }
}

// ---------------------------------------------------------------------------------------------
// zlib wrapper (RFC 1950)

constexpr unsigned kDeflateMethod = 8;
constexpr unsigned kPresetDictionaryFlag = 0x20;
// The most output one deflate byte can yield: a 258-byte copy costs at least two bits.
constexpr std::uint64_t kMaxBytesPerDeflateByte = kMaxMatchBytes / 2 * 8;

std::uint32_t readBigEndian32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

bool header(const std::uint8_t* p) {
    // Deflate is the only method.
    if ((p[0] & 0x0f) != kDeflateMethod) return false;
    // The two bytes, big-endian, are a multiple of 31.
    if ((p[0] << 8 | p[1]) % 31 != 0) return false;
    // No preset dictionary: the launcher has none to offer. The window size is not checked: a
    // copy reaches back at most 32 KiB whatever the field says.
    if (p[1] & kPresetDictionaryFlag) return false;
    return true;
}

// Decodes what the input that has arrived allows; the newest 4 bytes may be the trailer, so the
// reader stops short of them.
bool decodeArrived(Decoder& z) {
    if (!z.headerRead) {
        if (z.inputSize < kHeaderBytes) return true;
        if (!header(z.input.get())) return false;
        z.headerRead = true;
        z.in.position = kHeaderBytes;
    }
    const std::size_t end = z.inputSize - std::min<std::size_t>(z.inputSize, kTrailerBytes);
    z.in.length = std::max<std::uint64_t>(z.in.position, end);
    return advance(z);
}

// Drops the input the reader is done with. It keeps 8 bytes before the reader: a stored block
// hands back the whole bytes still in the bit buffer.
void compact(Decoder& z) {
    const std::size_t from = z.in.position > 8 ? z.in.position - 8 : 0;
    if (from == 0) return;
    std::memmove(z.input.get(), z.input.get() + from, z.inputSize - from);
    z.inputSize -= from;
    z.in.position -= from;
    z.in.length -= from;
}

}  // namespace

Inflater::Inflater(std::uint64_t expectedSize, Output output) : state_(std::make_unique<State>()) {
    State& z = *state_;
    z.output = std::move(output);
    z.expected = expectedSize;
    z.input = std::make_unique_for_overwrite<std::uint8_t[]>(kInputBytes);
    z.in.data = z.input.get();
    // A small object needs no more than its own size.
    z.windowBytes = static_cast<std::size_t>(
                        std::min<std::uint64_t>(expectedSize, kWindowBytes + kFlushBytes)) +
                    kSymbolRoomBytes;
    z.ownWindow = std::make_unique_for_overwrite<std::uint8_t[]>(z.windowBytes);
    z.window = z.ownWindow.get();
}

Inflater::~Inflater() = default;
Inflater::Inflater(Inflater&&) noexcept = default;
Inflater& Inflater::operator=(Inflater&&) noexcept = default;

bool Inflater::push(const std::uint8_t* data, std::size_t length) {
    State& z = *state_;
    if (z.failed || z.finished) return false;
    while (length > 0) {
        compact(z);
        const std::size_t count = std::min(length, kInputBytes - z.inputSize);
        std::memcpy(z.input.get() + z.inputSize, data, count);
        z.inputSize += count;
        z.received += count;
        data += count;
        length -= count;
        if (!decodeArrived(z)) {
            z.failed = true;
            return false;
        }
    }
    return true;
}

bool Inflater::finish() {
    State& z = *state_;
    if (z.finished) return z.accepted;
    z.finished = true;
    if (z.failed || z.received < kMinStreamBytes) return false;
    // Now the input is whole: reads past its end give zero bits and spoil the stream.
    z.in.final = true;
    if (!advance(z) || z.mode != Mode::Done || !flush(z)) return false;
    if (z.produced != z.expected) return false;
    z.accepted =
        (z.adlerB << 16 | z.adlerA) == readBigEndian32(z.input.get() + z.inputSize - kTrailerBytes);
    return z.accepted;
}

bool Inflater::outputFailed() const { return state_->outputFailed; }

bool inflateZlib(const std::uint8_t* input, std::uint64_t inputLength, std::uint64_t expectedSize,
                 std::vector<std::uint8_t>& out) {
    out.clear();
    if (inputLength < kMinStreamBytes) return false;
    // A size this input could not produce is refused before the output is reserved, so a bad size
    // cannot demand an absurd allocation.
    if (expectedSize / kMaxBytesPerDeflateByte > inputLength - kMinStreamBytes) return false;
    if (!header(input)) return false;
    out.reserve(expectedSize);
    // The whole stream is here: it is read in place, as an Inflater reads it after its last
    // piece, and out is the window.
    Decoder z;
    z.expected = expectedSize;
    z.direct = &out;
    z.window = out.data();
    z.in.data = input + kHeaderBytes;
    z.in.length = inputLength - kMinStreamBytes;
    z.in.final = true;
    if (!advance(z) || z.mode != Mode::Done || !flush(z)) return false;
    if (z.produced != z.expected) return false;
    return (z.adlerB << 16 | z.adlerA) == readBigEndian32(input + inputLength - kTrailerBytes);
}

}  // namespace kd
