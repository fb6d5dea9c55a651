#include "net/http.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <utility>

#include "log/log.h"
#include "net/http_internal.h"
#include "net/socket.h"

namespace kd {
namespace {

constexpr std::string_view kScheme = "http://";
constexpr std::uint16_t kDefaultPort = 80;
constexpr int kStatusOk = 200;
constexpr int kStatusNotFound = 404;
constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kHeaderEnd = "\r\n\r\n";

// Bytes that cannot stand in a request line or header without changing its meaning.
bool isControlOrSpace(unsigned char c) { return c <= 0x20 || c == 0x7f; }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = lowerAscii(c);
    return out;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The URL as it may appear in a one-line message.
std::string printable(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return out;
}

// Leading decimal digits; a value past 64 bits sticks at the maximum, which no body limit
// reaches, instead of wrapping to a small length.
std::uint64_t readLength(std::string_view text) {
    std::uint64_t value = 0;
    for (char c : text) {
        if (!isDigit(c)) break;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        value = value > (UINT64_MAX - digit) / 10 ? UINT64_MAX : value * 10 + digit;
    }
    return value;
}

// The status code starts at byte 9 of the status line, after "HTTP/1.x ". Saturates rather than
// wrapping, so no overlong number can come out as 200.
int readStatus(std::string_view statusLine) {
    std::size_t i = 9;
    while (i < statusLine.size() && (statusLine[i] == ' ' || statusLine[i] == '\t')) ++i;
    bool negative = false;
    if (i < statusLine.size() && (statusLine[i] == '+' || statusLine[i] == '-'))
        negative = statusLine[i++] == '-';
    long long value = 0;
    for (; i < statusLine.size() && isDigit(statusLine[i]); ++i)
        value = std::min<long long>(value * 10 + (statusLine[i] - '0'), INT_MAX);
    return static_cast<int>(negative ? -value : value);
}

void discard(std::vector<std::uint8_t>& bytes) {
    bytes.clear();
    bytes.shrink_to_fit();
}

std::size_t findIn(const std::vector<std::uint8_t>& bytes, std::size_t from, std::size_t to,
                   std::string_view needle) {
    const auto* begin = bytes.data() + from;
    const auto* end = bytes.data() + to;
    const auto* hit = std::search(begin, end, needle.begin(), needle.end());
    return hit == end ? std::string::npos : static_cast<std::size_t>(hit - bytes.data());
}

struct Connection {
    int fd = -1;
    ~Connection() { closeSocket(fd); }
};

}  // namespace

bool parseUrl(const std::string& url, std::string& host, std::uint16_t& port, std::string& path) {
    if (url.size() < kScheme.size() || url.compare(0, kScheme.size(), kScheme) != 0) return false;
    // A space, line end or NUL would split the request line or cut the host name short.
    for (unsigned char c : url)
        if (isControlOrSpace(c)) return false;

    const std::string_view rest = std::string_view(url).substr(kScheme.size());
    const std::size_t slash = rest.find('/');
    const std::string_view authority = rest.substr(0, slash);
    std::string_view hostText = authority;
    std::string_view portText;
    const std::size_t colon = authority.rfind(':');
    if (colon != std::string_view::npos) {
        hostText = authority.substr(0, colon);
        portText = authority.substr(colon + 1);
    }

    unsigned value = kDefaultPort;
    if (!portText.empty()) {
        value = 0;
        for (char c : portText) {
            if (!isDigit(c)) return false;
            value = value * 10 + static_cast<unsigned>(c - '0');
            if (value > UINT16_MAX) return false;
        }
        if (value == 0) return false;
    }
    if (hostText.empty()) return false;

    host = hostText;
    port = static_cast<std::uint16_t>(value);
    path = slash == std::string_view::npos ? std::string("/") : std::string(rest.substr(slash));
    return true;
}

std::string buildRequest(const std::string& host, std::uint16_t port, const std::string& path,
                         const std::vector<std::string>& extraHeaders) {
    std::string request = "GET " + path + " HTTP/1.1\r\nHost: " + host;
    if (port != kDefaultPort) request += ":" + std::to_string(port);
    request += "\r\nUser-Agent: VeilstoneLauncher\r\nAccept-Encoding: identity\r\n";
    for (const std::string& line : extraHeaders) request += line + "\r\n";
    request += "Connection: close\r\n\r\n";
    return request;
}

bool decodeChunked(std::vector<std::uint8_t>& body) {
    std::size_t pos = 0;
    std::size_t out = 0;
    for (;;) {
        const std::size_t lineEnd = findIn(body, pos, body.size(), kLineEnd);
        if (lineEnd == std::string::npos) return false;

        // The size is the hex number at the start of the line; an extension after it is ignored.
        std::size_t i = pos;
        while (i < lineEnd && (body[i] == ' ' || body[i] == '\t')) ++i;
        if (i == lineEnd || hexValue(static_cast<char>(body[i])) < 0) return false;
        std::uint64_t size = 0;
        for (; i < lineEnd && hexValue(static_cast<char>(body[i])) >= 0; ++i) {
            // More than 64 bits cannot fit in the body anyway.
            if (size > (UINT64_MAX >> 4)) return false;
            size = size * 16 + static_cast<std::uint64_t>(hexValue(static_cast<char>(body[i])));
        }
        if (size == 0) break;  // the last chunk; trailer fields are ignored

        // The data and the two bytes that end it must lie inside what arrived.
        const std::size_t start = lineEnd + kLineEnd.size();
        const std::size_t left = body.size() - start;
        if (size > left || left - size < kLineEnd.size()) return false;
        std::memmove(body.data() + out, body.data() + start, size);
        out += size;
        pos = start + size + kLineEnd.size();
    }
    body.resize(out);
    return true;
}

ReplyReader::ReplyReader(std::uint64_t maxBody, std::string path, int* statusOut)
    : maxBody_(maxBody), path_(std::move(path)), statusOut_(statusOut) {
    const std::uint64_t limit =
        maxBody > UINT64_MAX - kReceiveSlackBytes ? UINT64_MAX : maxBody + kReceiveSlackBytes;
    receiveLimit_ = static_cast<std::size_t>(std::min<std::uint64_t>(limit, SIZE_MAX));
}

ReplyReader::Next ReplyReader::pass(bool open, const ProgressFn& progress, std::string& error) {
    if (!headerDone() && !findHeaderEnd(error)) return Next::Fail;
    if (headerDone()) {
        const std::uint64_t got = received_.size() - headerLength_;
        if (progress) progress(got, lengthGiven_ ? contentLength_ : 0);
        // Chunked replies end only when the server closes; a length ends the reply at once.
        if (lengthGiven_ && !chunked_ && got >= contentLength_) return Next::Finish;
    }
    if (received_.size() >= receiveLimit_) {
        error = "file larger than expected";
        return Next::Fail;
    }
    return open ? Next::Wait : Next::Finish;
}

bool ReplyReader::findHeaderEnd(std::string& error) {
    // Only the first kMaxHeaderBytes can hold the header's end, whichever way the bytes were split
    // into receives; the search resumes where the last one stopped.
    const std::size_t searchTo = std::min(received_.size(), kMaxHeaderBytes);
    const std::size_t from = headerSearchFrom_ > 3 ? headerSearchFrom_ - 3 : 0;
    const std::size_t end = findIn(received_, from, searchTo, kHeaderEnd);
    if (end == std::string::npos) {
        if (received_.size() >= kMaxHeaderBytes) {
            error = "reply header too long";
            return false;
        }
        headerSearchFrom_ = searchTo;
        return true;
    }
    headerLength_ = end + kHeaderEnd.size();
    const std::string_view header(reinterpret_cast<const char*>(received_.data()), headerLength_);
    return readHeader(header, error);
}

bool ReplyReader::readHeader(std::string_view header, std::string& error) {
    if (header.size() < 7 || header.substr(0, 7) != "HTTP/1.") {
        error = "not an HTTP reply";
        return false;
    }
    std::size_t lineEnd = header.find(kLineEnd);
    const int status = readStatus(header.substr(0, lineEnd));
    if (statusOut_ != nullptr) *statusOut_ = status;

    std::size_t pos = lineEnd + kLineEnd.size();
    while (pos < header.size()) {
        lineEnd = header.find(kLineEnd, pos);
        if (lineEnd == std::string_view::npos) lineEnd = header.size();
        const std::string_view line = header.substr(pos, lineEnd - pos);
        pos = lineEnd + kLineEnd.size();
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;

        // Names match in any letter case but are not trimmed: "Content-Length :" is another field.
        const std::string name = lowerAscii(line.substr(0, colon));
        std::string_view value = line.substr(colon + 1);
        while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
        if (name == "content-length") {
            contentLength_ = readLength(value);
            lengthGiven_ = true;
        } else if (name == "transfer-encoding") {
            if (lowerAscii(value).find("chunked") != std::string::npos) chunked_ = true;
        }
    }

    if (status != kStatusOk) {
        error = status == kStatusNotFound ? "not on the update server: " + path_
                                          : "the update server said " + std::to_string(status);
        return false;
    }
    if (lengthGiven_ && contentLength_ > maxBody_) {
        error = "file larger than expected";
        return false;
    }
    return true;
}

bool ReplyReader::finish(bool endedByError, bool requestUnsent, std::vector<std::uint8_t>& body,
                         std::string& error) {
    discard(body);
    if (!headerDone()) {
        error = requestUnsent ? "connection lost while asking" : "the update server hung up";
        return false;
    }
    body = std::move(received_);
    body.erase(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(headerLength_));

    bool whole = true;
    if (chunked_)
        whole = decodeChunked(body);
    else if (lengthGiven_)
        whole = body.size() == contentLength_;
    else
        // Without a length only an orderly close marks the end; a reset connection cut it off.
        whole = !endedByError;
    if (!whole) {
        discard(body);
        error = "download cut short";
        return false;
    }
    // Replies without a length, and chunked ones, are only bounded by the receive limit, which
    // leaves room for a header; the body itself must still fit the caller's limit.
    if (body.size() > maxBody_) {
        discard(body);
        error = "file larger than expected";
        return false;
    }
    return true;
}

bool httpGetWithTimeouts(const HttpTimeouts& timeouts, const std::string& url,
                         std::vector<std::uint8_t>& body, std::uint64_t maxBody,
                         const ProgressFn& progress, const std::atomic<bool>* cancel,
                         std::string& error, const std::vector<std::string>& extraHeaders,
                         int* statusOut) {
    using Clock = std::chrono::steady_clock;
    discard(body);
    if (statusOut != nullptr) *statusOut = 0;

    std::string host;
    std::uint16_t port = 0;
    std::string path;
    if (!parseUrl(url, host, port, path)) {
        error = "bad address " + printable(url);
        return false;
    }
    // A line end inside a header line would smuggle further lines into the request.
    for (const std::string& line : extraHeaders) {
        if (line.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
            error = "bad request header";
            return false;
        }
    }

    std::string reason;
    Connection connection{tcpConnect(host, port, timeouts.connectMs, reason)};
    if (connection.fd == -1) {
        error = "cannot reach the update server (" + reason + ")";
        logDebug("net: GET %s: %s", url.c_str(), error.c_str());
        return false;
    }

    const std::string request = buildRequest(host, port, path, extraHeaders);
    std::vector<std::uint8_t> pending;
    bool sendable = queueSend(connection.fd, pending, request.data(), request.size());
    auto lastActivity = Clock::now();
    const auto idleLimit = std::chrono::milliseconds(timeouts.idleMs);

    ReplyReader reply(maxBody, path, statusOut);
    int failure = 0;
    auto fail = [&](const char* text) {
        if (text != nullptr) error = text;
        closeSocket(connection.fd);
        discard(body);
        logDebug("net: GET %s: %s", url.c_str(), error.c_str());
        return false;
    };
    for (;;) {
        if (cancel != nullptr && cancel->load()) return fail("cancelled");
        if (!pending.empty()) sendable = sendPending(connection.fd, pending);
        if (!sendable) return fail("connection lost while asking");

        waitReadable(std::span<const int>(&connection.fd, 1), kWaitStepMs);
        const std::size_t before = reply.received().size();
        const bool open = recvSome(connection.fd, reply.received(), reply.receiveLimit(), &failure);
        const auto now = Clock::now();
        if (reply.received().size() > before)
            lastActivity = now;
        else if (now - lastActivity > idleLimit)
            return fail("the update server stopped answering");

        const ReplyReader::Next next = reply.pass(open, progress, error);
        if (next == ReplyReader::Next::Fail) return fail(nullptr);
        if (next == ReplyReader::Next::Finish) break;
    }
    closeSocket(connection.fd);
    if (!reply.finish(failure != 0, !pending.empty(), body, error)) return fail(nullptr);
    logDebug("net: GET %s: %zu bytes", url.c_str(), body.size());
    return true;
}

bool httpGet(const std::string& url, std::vector<std::uint8_t>& body, std::uint64_t maxBody,
             const ProgressFn& progress, const std::atomic<bool>* cancel, std::string& error,
             const std::vector<std::string>& extraHeaders, int* statusOut) {
    return httpGetWithTimeouts(HttpTimeouts{}, url, body, maxBody, progress, cancel, error,
                               extraHeaders, statusOut);
}

}  // namespace kd
