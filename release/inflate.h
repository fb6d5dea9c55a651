// Unpacking of the objects the update server publishes: each is one zlib stream (RFC 1950 around
// RFC 1951 deflate data) that must unpack to exactly the size the signed manifest names. The
// decoder is strict: anything it does not expect is damage, and then its output must be ignored.
// Inflater unpacks a stream as it arrives, in bounded memory; inflateZlib unpacks one held whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace kd {

class Inflater {
public:
    // Receives unpacked bytes in order; returning false stops (the write failed).
    using Output = std::function<bool(const std::uint8_t* data, std::size_t length)>;

    Inflater(std::uint64_t expectedSize, Output output);
    ~Inflater();
    Inflater(Inflater&&) noexcept;
    Inflater& operator=(Inflater&&) noexcept;

    // Feeds the next bytes of the zlib stream, split anywhere. False once the stream is damaged
    // or the output refused; then stop feeding and ignore what was written. The verdict never
    // depends on how the stream was split.
    bool push(const std::uint8_t* data, std::size_t length);
    // After the last input: true only when the final block ended, exactly expectedSize bytes came
    // out and their Adler-32 equals the trailer (the last 4 bytes of the input). Bytes between
    // the final block and the trailer are ignored.
    bool finish();
    // The Output returned false.
    bool outputFailed() const;

    struct State;

private:
    std::unique_ptr<State> state_;
};

// Unpacks the zlib stream input[0, inputLength) into out, whose previous content is discarded.
// True only when out holds exactly expectedSize bytes whose Adler-32 equals the stream's trailer.
// On false out holds an unspecified prefix. Bad input never throws.
bool inflateZlib(const std::uint8_t* input, std::uint64_t inputLength, std::uint64_t expectedSize,
                 std::vector<std::uint8_t>& out);

}  // namespace kd
