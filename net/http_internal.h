// Inside the HTTP client, for its tests and fuzzers: the limits as parameters, the request bytes,
// and the reply reader that httpGetStream runs over every batch of received bytes, so that reply
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
// A request that receives fewer than the floor of bytes over the last window is given up, however
// much came before: a fast start must not buy hours of trickle. Eight parallel requests share one
// link, so the floor is per request and low enough that a link of a few KiB/s in total still gets
// through.
constexpr int kSlowWindowMs = 30000;
constexpr std::uint64_t kSlowFloorBytes = 512;
constexpr int kMaxRedirects = 5;
constexpr int kWaitStepMs = 100;  // one loop pass; bounds how late cancel is noticed
constexpr std::size_t kMaxHeaderBytes = 65536;
constexpr std::uint64_t kReceiveSlackBytes = 65536;  // room for the header above the body limit
// The most received bytes held at once: a whole header, or body bytes not yet handed on.
constexpr std::size_t kReceiveBufferBytes = kMaxHeaderBytes;

struct HttpLimits {
    int connectMs = kConnectTimeoutMs;
    int idleMs = kIdleTimeoutMs;
    int slowWindowMs = kSlowWindowMs;
    std::uint64_t slowFloorBytes = kSlowFloorBytes;  // per window; 0 never gives up
};

// httpGetStream with other limits; httpGetStream itself passes the defaults.
bool httpGetWithLimits(const HttpLimits& limits, const std::string& url, std::uint64_t maxBody,
                       const BodySink& sink, const ProgressFn& progress,
                       const std::atomic<bool>* cancel, std::string& error,
                       const std::vector<std::string>& extraHeaders, int* statusOut,
                       std::uint64_t from = 0);

// from: the first body byte wanted (a Range header when above 0).
std::string buildRequest(const Url& url, const std::vector<std::string>& extraHeaders,
                         std::uint64_t from = 0);

// The URL written out again, the port only when it is not the scheme's own.
std::string formatUrl(const Url& url);

// The URL a redirect's Location names, seen from base: absolute ("https://..."), without a scheme
// ("//host/..."), an absolute path, a query or a path relative to base's folder. False for a
// Location that makes no URL of ours; the caller decides whether to go there.
bool resolveLocation(const Url& base, std::string_view location, Url& out);

// The reply side of one request: the received bytes not yet handed on and what the header said.
class ReplyReader {
public:
    enum class Next { Wait, Finish, Fail, Redirect };

    // path only appears in the 404 message; statusOut may be null. from: the first body byte the
    // request asked for, which a whole (200) reply skips to.
    ReplyReader(std::uint64_t maxBody, std::string path, int* statusOut, std::uint64_t from = 0);

    // Append received bytes here, never beyond receiveLimit(), which already counts what the
    // buffer holds.
    std::vector<std::uint8_t>& received() { return buffer_; }
    std::size_t receiveLimit() const;
    bool headerDone() const { return headerLength_ != 0; }
    // Bytes received after the header, chunk framing included.
    std::uint64_t bodyBytes() const;

    // One loop pass after receiving: reads the header once it is complete, hands the body bytes
    // to sink, reports progress and decides whether the reply is complete (Finish), broken (Fail,
    // error set), a redirect to location() (its body is never read) or still coming. open says
    // whether the connection is still open.
    Next pass(bool open, const BodySink& sink, const ProgressFn& progress, std::string& error);

    // After Finish or a closed connection: checks that the whole body arrived. endedByError: the
    // connection failed rather than closing in order. requestUnsent: part of the request never
    // left.
    bool finish(bool endedByError, bool requestUnsent, std::string& error);

    const std::string& location() const { return location_; }
    // After a complete reply: whether the connection may carry another request (HTTP/1.1, not
    // closed by the server, the body's end known from its framing, nothing after it).
    bool reusable() const;

private:
    enum class Chunk { SizeLine, Data, DataEnd, Trailer, Done };

    bool findHeaderEnd(std::string& error);
    bool readHeader(std::string_view header, std::string& error);
    bool deliver(const BodySink& sink, std::size_t length, std::string& error);
    bool decodeChunks(const BodySink& sink, std::string& error);
    bool frontLine(std::size_t& end, std::string& error) const;
    void drop(std::size_t length);

    bool readRange(std::string_view value);

    std::uint64_t maxBody_;
    std::uint64_t from_;
    std::uint64_t skip_ = 0;  // body bytes of a whole reply still to drop before from_
    std::string path_;
    int* statusOut_;
    std::uint64_t totalLimit_;
    std::vector<std::uint8_t> buffer_;
    std::uint64_t consumed_ = 0;   // bytes received and dropped from the front of buffer_
    std::uint64_t delivered_ = 0;  // body bytes handed to the sink
    std::size_t headerSearchFrom_ = 0;
    std::size_t headerLength_ = 0;
    bool lengthGiven_ = false;
    std::uint64_t contentLength_ = 0;
    bool chunked_ = false;
    bool http11_ = false;
    bool closes_ = false;   // "Connection: close"
    std::string location_;  // set for a redirect only
    Chunk chunk_ = Chunk::SizeLine;
    std::uint64_t chunkLeft_ = 0;  // data bytes still due in Data, line-end bytes in DataEnd
};

}  // namespace kd
