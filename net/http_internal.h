// Inside the HTTP client, for its tests and fuzzers: the time-outs as parameters, the request
// bytes, and the reply reader that httpGet runs over every batch of received bytes, so that reply
// parsing can be driven from a plain byte buffer without a socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/http.h"

namespace kd {

constexpr int kConnectTimeoutMs = 8000;
constexpr int kIdleTimeoutMs = 20000;  // the longest silence from the server before giving up
constexpr int kWaitStepMs = 100;       // one loop pass; bounds how late cancel is noticed
constexpr std::size_t kMaxHeaderBytes = 65536;
constexpr std::uint64_t kReceiveSlackBytes = 65536;  // room for the header above the body limit

struct HttpTimeouts {
    int connectMs = kConnectTimeoutMs;
    int idleMs = kIdleTimeoutMs;
};

// httpGet with other time-outs; httpGet itself passes the defaults.
bool httpGetWithTimeouts(const HttpTimeouts& timeouts, const std::string& url,
                         std::vector<std::uint8_t>& body, std::uint64_t maxBody,
                         const ProgressFn& progress, const std::atomic<bool>* cancel,
                         std::string& error, const std::vector<std::string>& extraHeaders,
                         int* statusOut);

std::string buildRequest(const std::string& host, std::uint16_t port, const std::string& path,
                         const std::vector<std::string>& extraHeaders);

// Decodes a chunked body in place; false when it is malformed or cut off before the last chunk.
bool decodeChunked(std::vector<std::uint8_t>& body);

// The reply side of one request: everything received so far and what its header said.
class ReplyReader {
public:
    enum class Next { Wait, Finish, Fail };

    // path only appears in the 404 message; statusOut may be null.
    ReplyReader(std::uint64_t maxBody, std::string path, int* statusOut);

    // Append received bytes here, never beyond receiveLimit().
    std::vector<std::uint8_t>& received() { return received_; }
    std::size_t receiveLimit() const { return receiveLimit_; }
    bool headerDone() const { return headerLength_ != 0; }

    // One loop pass after receiving: reads the header once it is complete, reports progress and
    // decides whether the reply is complete (Finish), broken (Fail, error set) or still coming.
    // open says whether the connection is still open.
    Next pass(bool open, const ProgressFn& progress, std::string& error);

    // After Finish or a closed connection: moves the decoded body into body and checks it.
    // endedByError: the connection failed rather than closing in order. requestUnsent: part of
    // the request never left.
    bool finish(bool endedByError, bool requestUnsent, std::vector<std::uint8_t>& body,
                std::string& error);

private:
    bool findHeaderEnd(std::string& error);
    bool readHeader(std::string_view header, std::string& error);

    std::uint64_t maxBody_;
    std::string path_;
    int* statusOut_;
    std::size_t receiveLimit_;
    std::vector<std::uint8_t> received_;
    std::size_t headerSearchFrom_ = 0;
    std::size_t headerLength_ = 0;
    bool lengthGiven_ = false;
    std::uint64_t contentLength_ = 0;
    bool chunked_ = false;
};

}  // namespace kd
