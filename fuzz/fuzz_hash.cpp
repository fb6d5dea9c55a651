// Differential fuzzing of BLAKE2b-256 against libsodium's crypto_generichash, and of every form
// of Adler-32 this processor runs against zlib's adler32, on messages of any length up to 4 MiB,
// whole and in pieces. Input: one byte e, three bytes little-endian m, one
// byte n, n bytes of piece sizes, then the message's first bytes. The message is m modulo
// 2^(e mod 23) + 1 bytes long: the given bytes, then a xorshift stream seeded from them.
//
// hashBuffer of the message, and a FileHasher fed it in pieces, must both give libsodium's digest;
// each Adler-32 form fed it in the same pieces must give zlib's checksum. Piece size byte s adds
// s * s bytes (0 adds nothing and then one byte, 255 the rest); the sizes
// are taken in turn, and with n = 0 the message goes in whole.
#include <sodium.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "release/adler32.h"
#include "release/crypto.h"

namespace {

constexpr unsigned kMaxLengthBits = 22;
constexpr std::uint8_t kRestOfMessage = 255;

void check(bool condition) {
    if (!condition) std::abort();
}

std::vector<std::uint8_t> message(std::size_t length, const std::uint8_t* given,
                                  std::size_t givenBytes) {
    std::vector<std::uint8_t> m(length);
    const std::size_t copied = std::min(length, givenBytes);
    if (copied > 0) std::memcpy(m.data(), given, copied);
    std::uint64_t x = 0x9e3779b97f4a7c15;
    for (std::size_t i = 0; i < copied; ++i) x = (x ^ given[i]) * 0x100000001b3;
    for (std::size_t i = copied; i < length; ++i) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        m[i] = static_cast<std::uint8_t>(x >> 56);
    }
    return m;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 5) return 0;
    static const bool ready = sodium_init() >= 0;
    check(ready);
    const std::size_t range = (std::size_t{1} << (data[0] % (kMaxLengthBits + 1))) + 1;
    const std::size_t length = (data[1] | data[2] << 8 | data[3] << 16) % range;
    const std::size_t sizeCount = std::min<std::size_t>(data[4], size - 5);
    const std::uint8_t* sizes = data + 5;
    const std::vector<std::uint8_t> m = message(length, sizes + sizeCount, size - 5 - sizeCount);

    std::uint8_t digest[kd::kDigestBytes];
    crypto_generichash(digest, sizeof digest, m.data(), m.size(), nullptr, 0);
    const std::string expected = kd::hexEncode(digest, sizeof digest);
    check(kd::hashBuffer(m.data(), m.size()) == expected);

    kd::FileHasher hasher;
    const std::vector<kd::Adler32Form> forms = kd::adler32Forms();
    std::vector<std::uint32_t> sumsA(forms.size(), 1), sumsB(forms.size(), 0);
    auto add = [&](std::size_t at, std::size_t count) {
        hasher.add(m.data() + at, count);
        for (std::size_t f = 0; f < forms.size(); ++f)
            forms[f](sumsA[f], sumsB[f], m.data() + at, count);
    };
    for (std::size_t done = 0, i = 0; done < length; ++i) {
        std::size_t piece = length - done;
        if (sizeCount > 0 && sizes[i % sizeCount] != kRestOfMessage) {
            const std::size_t s = sizes[i % sizeCount];
            if (s == 0) add(done, 0);
            piece = std::min(piece, std::max<std::size_t>(s * s, 1));
        }
        add(done, piece);
        done += piece;
    }
    check(hasher.finish() == expected);
    const uLong adler = adler32_z(adler32(0, nullptr, 0), m.data(), m.size());
    for (std::size_t f = 0; f < forms.size(); ++f) check((sumsB[f] << 16 | sumsA[f]) == adler);
    return 0;
}
