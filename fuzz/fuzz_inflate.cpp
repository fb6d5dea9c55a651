// Differential fuzzing of the inflater. Input: 4 bytes little-endian expected size (reduced modulo
// 1 MiB + 1), one byte n, n bytes of push sizes, then the zlib stream.
//
// 1. inflateZlib must give exactly the verdict and bytes of the bit-by-bit reference.
// 2. An Inflater fed the stream in pieces must give inflateZlib's verdict and bytes, and never
//    put out more than the expected size. The pieces take the push sizes in turn (0 is an empty
//    push and then one byte, 255 the rest of the stream); with n = 0 the stream goes in whole.
// 3. Whenever zlib's uncompress2 unpacks the stream to the expected size, ours must too, with the
//    same bytes. When zlib stops before the input ends, ours reads the trailer from the last four
//    bytes instead, so it succeeds exactly when those hold the Adler-32 of zlib's output.
// 4. Where ours accepts and zlib refuses, the reference must name one of the intended differences:
//    - an incomplete code other than the ones RFC 1951 itself allows (a single one-bit code, or
//      no distance codes at all); zlib refuses those, and incomplete code-length codes always;
//    - a window-size field above 7, which zlib refuses and the launcher ignores;
//    - bytes between the final block and the trailer, which the launcher skips and zlib reads as
//      its trailer.
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/inflate_reference.h"
#include "release/inflate.h"

namespace {

constexpr std::uint32_t kMaxExpectedBytes = 1u << 20;
constexpr std::size_t kSizeBytes = 4;
constexpr std::uint8_t kRestOfStream = 255;

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

// Feeds the stream in the pieces `sizes` describe, as a download would arrive.
bool inflateInPieces(const std::uint8_t* stream, std::size_t length, std::uint32_t expected,
                     const std::uint8_t* sizes, std::size_t sizeCount,
                     std::vector<std::uint8_t>& out) {
    kd::Inflater inflater(expected, [&out](const std::uint8_t* data, std::size_t count) {
        out.insert(out.end(), data, data + count);
        return true;
    });
    std::size_t done = 0;
    for (std::size_t i = 0; done < length; ++i) {
        std::size_t piece = length - done;
        if (sizeCount > 0 && sizes[i % sizeCount] != kRestOfStream) {
            if (sizes[i % sizeCount] == 0 && !inflater.push(stream + done, 0)) return false;
            piece = std::min<std::size_t>(piece, std::max<std::size_t>(sizes[i % sizeCount], 1));
        }
        const bool ok = inflater.push(stream + done, piece);
        check(out.size() <= expected);
        if (!ok) return false;
        done += piece;
    }
    return inflater.finish();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < kSizeBytes + 1) return 0;
    std::uint32_t framed = 0;
    for (std::size_t i = 0; i < kSizeBytes; ++i) framed |= std::uint32_t{data[i]} << (8 * i);
    const std::uint32_t expected = framed % (kMaxExpectedBytes + 1);
    const std::size_t sizeCount = std::min<std::size_t>(data[kSizeBytes], size - kSizeBytes - 1);
    const std::uint8_t* sizes = data + kSizeBytes + 1;
    const std::uint8_t* stream = sizes + sizeCount;
    const std::size_t length = size - kSizeBytes - 1 - sizeCount;

    std::vector<std::uint8_t> ours(3, 0xAA);  // stale content must be discarded
    const bool oursOk = kd::inflateZlib(stream, length, expected, ours);
    const kd::reference::Result ref = kd::reference::inflate(stream, length, expected);
    check(oursOk == ref.ok);
    if (oursOk) check(ours == ref.out);

    std::vector<std::uint8_t> pieces;
    const bool piecesOk = inflateInPieces(stream, length, expected, sizes, sizeCount, pieces);
    check(piecesOk == oursOk);
    if (oursOk) check(pieces == ours);

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
