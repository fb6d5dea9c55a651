// Internal to the release module: the Adler-32 of RFC 1950, the checksum at the end of every zlib
// stream, summed over every byte inflate produces. Besides the form any processor runs (SSE2 on
// x86-64) there is one for AVX2, chosen once at start-up; all give the same sums.
#pragma once

#include <cstdint>
#include <vector>

namespace kd {

// Adds count bytes to the sums A (1 for no bytes) and B (0), which stay below 65,521; the
// checksum is B << 16 | A.
using Adler32Form = void (*)(std::uint32_t& a, std::uint32_t& b, const std::uint8_t* bytes,
                             std::uint64_t count);

// The fastest form this processor runs.
void addAdler32(std::uint32_t& a, std::uint32_t& b, const std::uint8_t* bytes, std::uint64_t count);
// Every form this processor runs, so that each can be checked.
std::vector<Adler32Form> adler32Forms();

}  // namespace kd
