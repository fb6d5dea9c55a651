// The HTTP client's reply side over arbitrary server bytes: the same reader httpGetStream runs
// after every receive, fed the way recvSome would feed it. Input: one byte choosing the body limit,
// one byte giving the size of each received piece (0: everything at once), one byte whose low bit
// says whether the connection ends with an error instead of an orderly close and whose other bits
// are the first body byte asked for, then the server's bytes.
//
// Checked: the receive buffer never passes its limit nor the bounded buffer size, no loop runs
// away, progress never goes backwards, the sink never gets more than the limit nor more than
// arrived, and with a range asked for never more than the limit past its start, a success has a
// 200 status (or 206 to a range), a redirect one of the four followed statuses and a Location
// that resolves or is refused without harm, a failure one of the known messages.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "net/http_internal.h"

namespace {

constexpr std::size_t kFramingBytes = 3;
constexpr std::uint64_t kLimits[] = {0, 1, 10, 100, 4096, 1 << 20, std::uint64_t{1} << 42};

void check(bool condition) {
    if (!condition) std::abort();
}

bool knownFailure(const std::string& error) {
    static const std::set<std::string> fixed = {
        "reply header too long",     "not an HTTP reply",  "file larger than expected",
        "the update server hung up", "download cut short", "connection lost while asking",
        "the update server sent the wrong part of a file",
    };
    if (fixed.count(error) != 0) return true;
    if (error.rfind("not on the update server: /f", 0) == 0) return error.size() == 28;
    return error.rfind("the update server said ", 0) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < kFramingBytes) return 0;
    const std::uint64_t maxBody = kLimits[data[0] % std::size(kLimits)];
    const std::size_t piece = data[1] == 0 ? SIZE_MAX : data[1];
    const bool endedByError = (data[2] & 1) != 0;
    const std::uint64_t from = data[2] >> 1;
    data += kFramingBytes;
    size -= kFramingBytes;

    int status = 0;
    kd::ReplyReader reader(maxBody, "/f", &status, from);
    std::uint64_t lastProgress = 0;
    const kd::ProgressFn progress = [&](std::uint64_t got, std::uint64_t total) {
        check(got >= lastProgress && got <= size);
        check(total <= maxBody);
        lastProgress = got;
    };
    std::uint64_t delivered = 0;
    const kd::BodySink sink = [&](const std::uint8_t* bytes, std::size_t length, std::string&) {
        check(bytes != nullptr && length > 0);
        delivered += length;
        check(delivered <= maxBody && delivered <= size && from + delivered <= maxBody);
        return true;
    };

    std::string error;
    std::size_t offset = 0;
    kd::ReplyReader::Next next = kd::ReplyReader::Next::Wait;
    for (std::size_t passes = 0; next == kd::ReplyReader::Next::Wait; ++passes) {
        check(passes <= size + 1);
        std::vector<std::uint8_t>& received = reader.received();
        const std::size_t room = reader.receiveLimit() - received.size();
        const std::size_t take = std::min({piece, room, size - offset});
        received.insert(received.end(), data + offset, data + offset + take);
        offset += take;
        check(received.size() <= reader.receiveLimit());
        check(received.size() <= kd::kReceiveBufferBytes);
        next = reader.pass(offset < size, sink, progress, error);
        // Waiting with a full buffer would stall the transfer for good.
        if (next == kd::ReplyReader::Next::Wait)
            check(reader.receiveLimit() > reader.received().size());
    }

    if (next == kd::ReplyReader::Next::Redirect) {
        check(status == 301 || status == 302 || status == 307 || status == 308);
        check(!reader.location().empty() && delivered == 0);
        kd::Url base, target;
        check(kd::parseUrl("https://h/d/f?q", base));
        if (kd::resolveLocation(base, reader.location(), target))
            check(!target.host.empty() && target.path[0] == '/');
        return 0;
    }
    bool ok = false;
    if (next == kd::ReplyReader::Next::Finish)
        ok = reader.finish(endedByError && offset == size, false, error);
    if (ok) {
        check(status == 200 || (status == 206 && from > 0));
    } else {
        check(knownFailure(error));
    }
    return 0;
}
