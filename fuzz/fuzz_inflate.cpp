// Differential fuzzing of inflateZlib. Input: 4 bytes little-endian expected size (reduced modulo
// 1 MiB + 1), then the zlib stream.
//
// 1. The table decoder must give exactly the verdict and bytes of the bit-by-bit reference.
// 2. Whenever zlib's uncompress2 unpacks the stream to the expected size, ours must too, with the
//    same bytes. When zlib stops before the input ends, ours reads the trailer from the last four
//    bytes instead, so it succeeds exactly when those hold the Adler-32 of zlib's output.
// 3. Where ours accepts and zlib refuses, the reference must name one of the intended differences:
//    - an incomplete code other than the ones RFC 1951 itself allows (a single one-bit code, or
//      no distance codes at all); zlib refuses those, and incomplete code-length codes always;
//    - a window-size field above 7, which zlib refuses and the launcher ignores;
//    - bytes between the final block and the trailer, which the launcher skips and zlib reads as
//      its trailer.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "release/inflate.h"
#include "tests/release/inflate_reference.h"

namespace {

constexpr std::uint32_t kMaxExpectedBytes = 1u << 20;
constexpr std::size_t kFramingBytes = 4;

void check(bool condition) {
    if (!condition) std::abort();
}

bool zlibRefusesIncomplete(const kd::reference::IncompleteCode& code) {
    using kd::reference::Alphabet;
    if (code.alphabet == Alphabet::CodeLengths) return true;
    const bool rfcAllowed = code.codes == 0 || (code.codes == 1 && code.longest == 1);
    return !rfcAllowed;
}

bool namesIntendedDifference(const kd::reference::Result& ref) {
    if (ref.windowFieldAbove7 || ref.bytesBeforeTrailer) return true;
    for (const auto& code : ref.incompleteCodes) {
        if (zlibRefusesIncomplete(code)) return true;
    }
    return false;
}

std::uint32_t readBigEndian32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < kFramingBytes) return 0;
    std::uint32_t framed = 0;
    for (std::size_t i = 0; i < kFramingBytes; ++i) framed |= std::uint32_t{data[i]} << (8 * i);
    const std::uint32_t expected = framed % (kMaxExpectedBytes + 1);
    const std::uint8_t* stream = data + kFramingBytes;
    const std::size_t length = size - kFramingBytes;

    std::vector<std::uint8_t> ours(3, 0xAA);  // stale content must be discarded
    const bool oursOk = kd::inflateZlib(stream, length, expected, ours);
    const kd::reference::Result ref = kd::reference::inflate(stream, length, expected);
    check(oursOk == ref.ok);
    if (oursOk) check(ours == ref.out);

    // One byte of room to spare: given no room at all, uncompress2 writes into a scratch byte of
    // its own and reports success for a stream that holds one byte.
    std::vector<std::uint8_t> theirs(expected + 1);
    uLongf theirsSize = expected + 1;
    uLong consumed = length;
    const int rc = uncompress2(theirs.data(), &theirsSize, stream, &consumed);
    const bool zlibOk = rc == Z_OK && theirsSize == expected;
    theirs.resize(theirsSize);

    if (zlibOk) {
        if (consumed == length) {
            check(oursOk && ours == theirs);
        } else {
            const std::uint32_t lastFour = readBigEndian32(stream + length - 4);
            const bool trailerMatches =
                lastFour == static_cast<std::uint32_t>(adler32(1, theirs.data(), expected));
            check(oursOk == trailerMatches);
            if (oursOk) check(ours == theirs);
        }
    } else if (oursOk) {
        check(namesIntendedDifference(ref));
    }
    return 0;
}
