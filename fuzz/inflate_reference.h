// Fuzz support: a slow zlib decoder that walks the format's rules literally, one bit at a
// time, with no tables and no shortcuts. The launcher's table-driven inflateZlib must give the same
// verdict and bytes for every input. It also reports the stream features on which the launcher
// deliberately differs from zlib's inflate, so the differential fuzzer can name them.
#pragma once

#include <cstdint>
#include <vector>

namespace kd::reference {

enum class Alphabet { CodeLengths, LitLen, Distance };

// A code of a dynamic block that leaves bit patterns unused.
struct IncompleteCode {
    Alphabet alphabet;
    unsigned codes;    // symbols that have a code
    unsigned longest;  // longest code length
};

struct Result {
    bool ok = false;
    std::vector<std::uint8_t> out;
    // Facts gathered as far as decoding got.
    bool windowFieldAbove7 = false;
    std::vector<IncompleteCode> incompleteCodes;
    bool bytesBeforeTrailer = false;  // the final block ended before the last 4 bytes' byte
};

namespace detail {

struct BitReader {
    const std::uint8_t* data;
    std::uint64_t length;
    std::uint64_t position = 0;
    std::uint32_t bitBuffer = 0;
    std::uint32_t bitsLeft = 0;
    bool overrun = false;

    unsigned bit() {
        if (bitsLeft == 0) {
            if (position == length) {
                overrun = true;
                return 0;
            }
            bitBuffer = data[position++];
            bitsLeft = 8;
        }
        const unsigned b = bitBuffer & 1;
        bitBuffer >>= 1;
        --bitsLeft;
        return b;
    }

    std::uint32_t bits(unsigned count) {
        std::uint32_t value = 0;
        for (unsigned i = 0; i < count; ++i) value |= std::uint32_t{bit()} << i;
        return value;
    }
};

struct Huffman {
    std::uint16_t count[16] = {};
    std::vector<std::uint16_t> symbol;
};

// False when over-subscribed.
inline bool build(Huffman& h, const std::uint8_t* lengths, unsigned n, Alphabet alphabet,
                  Result* facts) {
    for (unsigned s = 0; s < n; ++s) ++h.count[lengths[s]];
    h.count[0] = 0;
    int left = 2 - h.count[1];
    if (left < 0) return false;
    for (unsigned len = 2; len <= 15; ++len) {
        left = 2 * left - h.count[len];
        if (left < 0) return false;
    }
    for (unsigned len = 1; len <= 15; ++len) {
        for (unsigned s = 0; s < n; ++s) {
            if (lengths[s] == len) h.symbol.push_back(static_cast<std::uint16_t>(s));
        }
    }
    if (left > 0 && facts != nullptr) {
        unsigned longest = 0;
        for (unsigned len = 1; len <= 15; ++len) {
            if (h.count[len] != 0) longest = len;
        }
        facts->incompleteCodes.push_back(
            {alphabet, static_cast<unsigned>(h.symbol.size()), longest});
    }
    return true;
}

// The symbol, or -1 when 15 bits match no code.
inline int decode(BitReader& in, const Huffman& h) {
    int code = 0;
    int first = 0;
    int index = 0;
    for (unsigned len = 1; len <= 15; ++len) {
        code |= static_cast<int>(in.bit());
        const int count = h.count[len];
        if (code - first < count) return h.symbol[index + code - first];
        index += count;
        first = (first + count) * 2;
        code *= 2;
    }
    return -1;
}

// Base and extra bits derived from RFC 1951's description rather than copied from its tables:
// each base is the previous base plus the span of the previous symbol's extra bits.
struct Bases {
    unsigned lengthBase[29], lengthExtra[29], distanceBase[30], distanceExtra[30];
    Bases() {
        unsigned base = 3;
        for (unsigned i = 0; i < 28; ++i) {
            lengthExtra[i] = i < 8 ? 0 : (i - 4) / 4;
            lengthBase[i] = base;
            base += 1u << lengthExtra[i];
        }
        lengthBase[28] = 258;
        lengthExtra[28] = 0;
        base = 1;
        for (unsigned i = 0; i < 30; ++i) {
            distanceExtra[i] = i < 4 ? 0 : i / 2 - 1;
            distanceBase[i] = base;
            base += 1u << distanceExtra[i];
        }
    }
};

struct Inflate {
    BitReader in;
    std::vector<std::uint8_t>& out;
    std::uint64_t expected;
    Bases bases;
};

inline bool codes(Inflate& z, const Huffman& lit, const Huffman& dist) {
    for (;;) {
        const int sym = decode(z.in, lit);
        if (sym < 0) return false;
        if (sym < 256) {
            if (z.out.size() == z.expected) return false;
            z.out.push_back(static_cast<std::uint8_t>(sym));
        } else if (sym == 256) {
            return true;
        } else {
            if (sym > 285) return false;
            const unsigned i = static_cast<unsigned>(sym) - 257;
            const std::uint64_t len = z.bases.lengthBase[i] + z.in.bits(z.bases.lengthExtra[i]);
            const int d = decode(z.in, dist);
            if (d < 0 || d > 29) return false;
            const std::uint64_t distance =
                z.bases.distanceBase[d] + z.in.bits(z.bases.distanceExtra[d]);
            if (distance > z.out.size() || z.out.size() + len > z.expected || z.in.overrun) {
                return false;
            }
            for (std::uint64_t k = 0; k < len; ++k) z.out.push_back(z.out[z.out.size() - distance]);
        }
    }
}

inline bool stored(Inflate& z) {
    BitReader& in = z.in;
    in.bitsLeft = 0;
    if (in.length - in.position < 4) return false;
    const std::uint8_t* p = in.data + in.position;
    const unsigned len = p[0] | p[1] << 8;
    const unsigned nlen = p[2] | p[3] << 8;
    if (len != (~nlen & 0xffffu)) return false;
    in.position += 4;
    if (in.length - in.position < len || z.out.size() + len > z.expected) return false;
    z.out.insert(z.out.end(), in.data + in.position, in.data + in.position + len);
    in.position += len;
    return true;
}

inline bool fixed(Inflate& z) {
    std::uint8_t lengths[288];
    for (unsigned s = 0; s < 288; ++s) lengths[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
    Huffman lit, dist;
    build(lit, lengths, 288, Alphabet::LitLen, nullptr);
    for (unsigned s = 0; s < 30; ++s) lengths[s] = 5;
    build(dist, lengths, 30, Alphabet::Distance, nullptr);
    return codes(z, lit, dist);
}

inline bool dynamic(Inflate& z, Result& facts) {
    static const unsigned order[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                       11, 4,  12, 3, 13, 2, 14, 1, 15};
    BitReader& in = z.in;
    const unsigned hlit = in.bits(5) + 257;
    const unsigned hdist = in.bits(5) + 1;
    const unsigned hclen = in.bits(4) + 4;
    if (hlit > 286 || hdist > 30) return false;
    std::uint8_t lengths[320] = {};
    for (unsigned i = 0; i < hclen; ++i) lengths[order[i]] = static_cast<std::uint8_t>(in.bits(3));
    Huffman lencode;
    if (!build(lencode, lengths, 19, Alphabet::CodeLengths, &facts)) return false;

    unsigned n = 0;
    while (n < hlit + hdist) {
        const int sym = decode(in, lencode);
        if (sym < 0) return false;
        if (sym < 16) {
            lengths[n++] = static_cast<std::uint8_t>(sym);
            continue;
        }
        std::uint8_t len = 0;
        unsigned repeat;
        if (sym == 16) {
            if (n == 0) return false;
            len = lengths[n - 1];
            repeat = 3 + in.bits(2);
        } else if (sym == 17) {
            repeat = 3 + in.bits(3);
        } else {
            repeat = 11 + in.bits(7);
        }
        if (n + repeat > hlit + hdist) return false;
        while (repeat-- > 0) lengths[n++] = len;
    }
    if (lengths[256] == 0) return false;
    Huffman lit, dist;
    if (!build(lit, lengths, hlit, Alphabet::LitLen, &facts)) return false;
    if (!build(dist, lengths + hlit, hdist, Alphabet::Distance, &facts)) return false;
    return codes(z, lit, dist);
}

inline std::uint32_t adler32(const std::vector<std::uint8_t>& bytes) {
    std::uint32_t a = 1, b = 0;
    for (std::uint8_t byte : bytes) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    return b << 16 | a;
}

}  // namespace detail

inline Result inflate(const std::uint8_t* input, std::uint64_t length, std::uint64_t expected) {
    using namespace detail;
    Result r;
    if (length < 6) return r;
    if ((input[0] & 0x0f) != 8 || (input[0] << 8 | input[1]) % 31 != 0 || (input[1] & 0x20)) {
        return r;
    }
    r.windowFieldAbove7 = (input[0] >> 4) > 7;
    Inflate z{{input + 2, length - 6}, r.out, expected, {}};
    for (;;) {
        const unsigned last = z.in.bit();
        const unsigned type = z.in.bits(2);
        bool ok = false;
        if (type == 0) ok = stored(z);
        if (type == 1) ok = fixed(z);
        if (type == 2) ok = dynamic(z, r);
        if (!ok || z.in.overrun) return r;
        if (last) break;
    }
    r.bytesBeforeTrailer = z.in.position < z.in.length;
    if (r.out.size() != expected) return r;
    const std::uint8_t* t = input + length - 4;
    const std::uint32_t trailer = std::uint32_t{t[0]} << 24 | t[1] << 16 | t[2] << 8 | t[3];
    r.ok = adler32(r.out) == trailer;
    return r;
}

}  // namespace kd::reference
