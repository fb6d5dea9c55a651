// Unpacking of the objects the update server publishes: each is one zlib stream (RFC 1950 around
// RFC 1951 deflate data) that must unpack to exactly the size the signed manifest names. The
// decoder is strict: anything it does not expect is damage, and then its output must be ignored.
#pragma once

#include <cstdint>
#include <vector>

namespace kd {

// Unpacks the zlib stream input[0, inputLength) into out, whose previous content is discarded.
// True only when out holds exactly expectedSize bytes whose Adler-32 equals the stream's trailer.
// On false out holds an unspecified prefix. Bad input never throws.
bool inflateZlib(const std::uint8_t* input, std::uint64_t inputLength, std::uint64_t expectedSize,
                 std::vector<std::uint8_t>& out);

}  // namespace kd
