// The HTTP client: one HTTP/1.1 GET of one URL, plain or through TLS (the system's OpenSSL, the
// server's certificate checked against the system's trust store and the host name), on a fresh
// connection per request, following a few redirects, the body handed on as it arrives or collected
// in memory. No connection reuse, no content decoding: the update server is trusted for nothing,
// so the checks that matter happen on the bytes afterwards; TLS adds privacy and reach. Every
// outcome other than a complete 200 reply within the size limit is one short sentence in the
// caller's error text.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kd {

// (body bytes received so far, body bytes expected or 0 when the reply gives no Content-Length).
// Called on the downloading thread inside its receive loop; must not block.
using ProgressFn = std::function<void(std::uint64_t received, std::uint64_t expected)>;

struct Url {
    bool secure = false;  // https
    std::string host;
    std::uint16_t port = 0;
    std::string path;  // begins with '/', query text included
};

// Splits an "http://host[:port][/path]" or "https://..." URL (the scheme in lower case). The path
// keeps any query text verbatim and is "/" when the URL has none; the port is 80 (443 for https)
// when absent or empty. False for another scheme, an empty host, a port outside 1..65535, or a URL
// with spaces or control bytes (they could not travel in a request line).
bool parseUrl(const std::string& url, Url& out);

// base + "/" + path, without doubling a '/' that base already ends with.
std::string joinUrl(const std::string& base, const std::string& path);

// Receives the body of a 200 reply as it arrives, in order. Returning false ends the transfer: the
// sink puts its own sentence in error (a disk-full text, say) and httpGetStream fails with it.
using BodySink =
    std::function<bool(const std::uint8_t* data, std::size_t length, std::string& error)>;

// GETs url and hands the body to sink piece by piece, holding at most a bounded receive buffer.
// True only for a complete 200 reply whose body is at most maxBody bytes; the sink never receives
// more than that. On failure after part of the body was delivered, the caller discards what it
// got. Redirects (301, 302, 307, 308) are followed up to 5 times, never from https to http.
// extraHeaders are whole header lines without line ends, sent in order, and only to the origin
// (scheme, host, port) of url itself, never to a host a redirect names. cancel, when given, is
// polled at least every 100 ms and ends the call with "cancelled". statusOut, when given, is the
// status of the last server asked (after redirects), 0 while it has not replied. Besides the
// connect and idle limits, a request that receives less than a floor of bytes over a recent window
// ends with "the update server is too slow", however fast it was before. On failure error holds the
// reason; on success it is left untouched.
bool httpGetStream(const std::string& url, std::uint64_t maxBody, const BodySink& sink,
                   const ProgressFn& progress, const std::atomic<bool>* cancel, std::string& error,
                   const std::vector<std::string>& extraHeaders = {}, int* statusOut = nullptr);

// httpGetStream of the body from byte `from` on, for a download taken up where an earlier one
// stopped: the server is asked for that range (on every server a redirect leads to), and when it
// sends the whole body instead, the bytes before `from` are dropped here, so sink always receives
// the body from there. A partial reply must say it is that range and that it runs to the end;
// maxBody bounds the whole body, not the rest.
bool httpGetStreamFrom(const std::string& url, std::uint64_t from, std::uint64_t maxBody,
                       const BodySink& sink, const ProgressFn& progress,
                       const std::atomic<bool>* cancel, std::string& error, int* statusOut);

// httpGetStream collecting the body into body (cleared first, empty after every failure).
bool httpGet(const std::string& url, std::vector<std::uint8_t>& body, std::uint64_t maxBody,
             const ProgressFn& progress, const std::atomic<bool>* cancel, std::string& error,
             const std::vector<std::string>& extraHeaders = {}, int* statusOut = nullptr);

}  // namespace kd
