// Internal to the release module: unkeyed BLAKE2b (RFC 7693) with a 32-byte digest, the content
// hash of every object and installed file. Deep verify reads whole games through it, so it is
// written for speed: 64-bit words, the rounds unrolled, whole blocks compressed straight from the
// caller's bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "release/crypto.h"

namespace kd {

class Blake2b {
public:
    static constexpr std::size_t kBlockBytes = 128;

    Blake2b();
    void update(const void* bytes, std::size_t length);
    // Call once, after the last update.
    void final(std::uint8_t digest[kDigestBytes]);

private:
    std::uint64_t state_[8];
    std::uint64_t counter_[2] = {0, 0};  // message bytes so far, 128 bits
    std::uint8_t buffer_[kBlockBytes];
    std::size_t buffered_ = 0;
};

}  // namespace kd
