#include "net/http.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <utility>

#include "base/base.h"
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

ReplyReader::ReplyReader(std::uint64_t maxBody, std::string path, int* statusOut)
    : maxBody_(maxBody), path_(std::move(path)), statusOut_(statusOut) {
    totalLimit_ =
        maxBody > UINT64_MAX - kReceiveSlackBytes ? UINT64_MAX : maxBody + kReceiveSlackBytes;
}

std::size_t ReplyReader::receiveLimit() const {
    const std::uint64_t total = consumed_ + buffer_.size();
    const std::uint64_t left = total >= totalLimit_ ? 0 : totalLimit_ - total;
    const std::size_t room = kReceiveBufferBytes - std::min(buffer_.size(), kReceiveBufferBytes);
    return buffer_.size() + static_cast<std::size_t>(std::min<std::uint64_t>(left, room));
}

std::uint64_t ReplyReader::bodyBytes() const {
    return headerDone() ? consumed_ + buffer_.size() - headerLength_ : 0;
}

ReplyReader::Next ReplyReader::pass(bool open, const BodySink& sink, const ProgressFn& progress,
                                    std::string& error) {
    if (!headerDone() && !findHeaderEnd(error)) return Next::Fail;
    if (headerDone()) {
        bool handedOn = true;
        if (chunked_) {
            handedOn = decodeChunks(sink, error);
        } else if (lengthGiven_) {
            // Bytes past the length stay behind; finish calls the body cut short for them.
            const std::uint64_t due = contentLength_ - delivered_;
            handedOn = deliver(
                sink, static_cast<std::size_t>(std::min<std::uint64_t>(due, buffer_.size())),
                error);
        } else {
            handedOn = deliver(sink, buffer_.size(), error);
        }
        if (!handedOn) return Next::Fail;
        const std::uint64_t got = bodyBytes();
        if (progress) progress(got, lengthGiven_ ? contentLength_ : 0);
        // Chunked replies end only when the server closes; a length ends the reply at once.
        if (lengthGiven_ && !chunked_ && got >= contentLength_) return Next::Finish;
    }
    if (consumed_ + buffer_.size() >= totalLimit_) {
        error = "file larger than expected";
        return Next::Fail;
    }
    return open ? Next::Wait : Next::Finish;
}

// Hands the first length bytes of the buffer to the sink and drops them.
bool ReplyReader::deliver(const BodySink& sink, std::size_t length, std::string& error) {
    if (length == 0) return true;
    if (length > maxBody_ - delivered_) {
        error = "file larger than expected";
        return false;
    }
    if (sink && !sink(buffer_.data(), length, error)) return false;
    delivered_ += length;
    consumed_ += length;
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(length));
    return true;
}

bool ReplyReader::decodeChunks(const BodySink& sink, std::string& error) {
    for (;;) {
        switch (chunk_) {
            case Chunk::SizeLine: {
                const std::size_t lineEnd = findIn(buffer_, 0, buffer_.size(), kLineEnd);
                if (lineEnd == std::string::npos) {
                    // A size line must fit the buffer with its line end.
                    if (buffer_.size() < kReceiveBufferBytes) return true;
                    error = "download cut short";
                    return false;
                }
                // The size is the hex number at the start of the line; an extension is ignored.
                std::size_t i = 0;
                while (i < lineEnd && (buffer_[i] == ' ' || buffer_[i] == '\t')) ++i;
                if (i == lineEnd || hexValue(static_cast<char>(buffer_[i])) < 0) {
                    error = "download cut short";
                    return false;
                }
                std::uint64_t size = 0;
                for (; i < lineEnd && hexValue(static_cast<char>(buffer_[i])) >= 0; ++i) {
                    // More than 64 bits cannot fit in the body anyway.
                    if (size > (UINT64_MAX >> 4)) {
                        error = "download cut short";
                        return false;
                    }
                    size = size * 16 +
                           static_cast<std::uint64_t>(hexValue(static_cast<char>(buffer_[i])));
                }
                const std::size_t lineLength = lineEnd + kLineEnd.size();
                consumed_ += lineLength;
                buffer_.erase(buffer_.begin(),
                              buffer_.begin() + static_cast<std::ptrdiff_t>(lineLength));
                // Size 0 is the last chunk; trailer fields are ignored.
                chunk_ = size == 0 ? Chunk::Done : Chunk::Data;
                chunkLeft_ = size;
                break;
            }
            case Chunk::Data: {
                const auto n =
                    static_cast<std::size_t>(std::min<std::uint64_t>(chunkLeft_, buffer_.size()));
                if (!deliver(sink, n, error)) return false;
                chunkLeft_ -= n;
                if (chunkLeft_ != 0) return true;
                chunk_ = Chunk::DataEnd;
                chunkLeft_ = kLineEnd.size();
                break;
            }
            case Chunk::DataEnd: {
                // The two bytes after the data are skipped without looking at them.
                const auto n =
                    static_cast<std::size_t>(std::min<std::uint64_t>(chunkLeft_, buffer_.size()));
                consumed_ += n;
                buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(n));
                chunkLeft_ -= n;
                if (chunkLeft_ != 0) return true;
                chunk_ = Chunk::SizeLine;
                break;
            }
            case Chunk::Done:
                consumed_ += buffer_.size();
                buffer_.clear();
                return true;
        }
    }
}

bool ReplyReader::findHeaderEnd(std::string& error) {
    // Only the first kMaxHeaderBytes can hold the header's end, whichever way the bytes were split
    // into receives; the search resumes where the last one stopped.
    const std::size_t searchTo = std::min(buffer_.size(), kMaxHeaderBytes);
    const std::size_t from = headerSearchFrom_ > 3 ? headerSearchFrom_ - 3 : 0;
    const std::size_t end = findIn(buffer_, from, searchTo, kHeaderEnd);
    if (end == std::string::npos) {
        if (buffer_.size() >= kMaxHeaderBytes) {
            error = "reply header too long";
            return false;
        }
        headerSearchFrom_ = searchTo;
        return true;
    }
    headerLength_ = end + kHeaderEnd.size();
    const std::string_view header(reinterpret_cast<const char*>(buffer_.data()), headerLength_);
    if (!readHeader(header, error)) return false;
    consumed_ += headerLength_;
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(headerLength_));
    return true;
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

bool ReplyReader::finish(bool endedByError, bool requestUnsent, std::string& error) {
    if (!headerDone()) {
        error = requestUnsent ? "connection lost while asking" : "the update server hung up";
        return false;
    }
    bool whole = true;
    if (chunked_)
        whole = chunk_ == Chunk::Done;
    else if (lengthGiven_)
        whole = bodyBytes() == contentLength_;
    else
        // Without a length only an orderly close marks the end; a reset connection cut it off.
        whole = !endedByError;
    if (!whole) {
        error = "download cut short";
        return false;
    }
    return true;
}

bool httpGetWithLimits(const HttpLimits& limits, const std::string& url, std::uint64_t maxBody,
                       const BodySink& sink, const ProgressFn& progress,
                       const std::atomic<bool>* cancel, std::string& error,
                       const std::vector<std::string>& extraHeaders, int* statusOut) {
    using Clock = std::chrono::steady_clock;
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
    Connection connection{tcpConnect(host, port, limits.connectMs, reason)};
    if (connection.fd == -1) {
        error = "cannot reach the update server (" + reason + ")";
        logDebug("net: GET %s: %s", url.c_str(), error.c_str());
        return false;
    }

    const std::string request = buildRequest(host, port, path, extraHeaders);
    std::vector<std::uint8_t> pending;
    bool sendable = queueSend(connection.fd, pending, request.data(), request.size());
    const auto sentAt = Clock::now();
    auto lastActivity = sentAt;
    const auto idleLimit = std::chrono::milliseconds(limits.idleMs);
    const auto slowGrace = std::chrono::milliseconds(limits.slowGraceMs);

    ReplyReader reply(maxBody, path, statusOut);
    int failure = 0;
    auto fail = [&](const char* text) {
        if (text != nullptr) error = text;
        closeSocket(connection.fd);
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

        const ReplyReader::Next next = reply.pass(open, sink, progress, error);
        if (next == ReplyReader::Next::Fail) return fail(nullptr);
        if (next == ReplyReader::Next::Finish) break;

        // A trickle resets the idle limit with every byte; the average rate catches it.
        const auto elapsed = now - sentAt;
        if (elapsed >= slowGrace) {
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
            const long double floorBytes = static_cast<long double>(limits.floorBytesPerSecond) *
                                           static_cast<long double>(ms) / 1000.0L;
            if (static_cast<long double>(reply.bodyBytes()) < floorBytes)
                return fail("the update server is too slow");
        }
    }
    closeSocket(connection.fd);
    if (!reply.finish(failure != 0, !pending.empty(), error)) return fail(nullptr);
    logDebug("net: GET %s: %llu bytes", url.c_str(),
             static_cast<unsigned long long>(reply.bodyBytes()));
    return true;
}

bool httpGetStream(const std::string& url, std::uint64_t maxBody, const BodySink& sink,
                   const ProgressFn& progress, const std::atomic<bool>* cancel, std::string& error,
                   const std::vector<std::string>& extraHeaders, int* statusOut) {
    return httpGetWithLimits(HttpLimits{}, url, maxBody, sink, progress, cancel, error,
                             extraHeaders, statusOut);
}

bool httpGet(const std::string& url, std::vector<std::uint8_t>& body, std::uint64_t maxBody,
             const ProgressFn& progress, const std::atomic<bool>* cancel, std::string& error,
             const std::vector<std::string>& extraHeaders, int* statusOut) {
    discard(body);
    const BodySink collect = [&body](const std::uint8_t* data, std::size_t length, std::string&) {
        body.insert(body.end(), data, data + length);
        return true;
    };
    if (httpGetStream(url, maxBody, collect, progress, cancel, error, extraHeaders, statusOut))
        return true;
    discard(body);
    return false;
}

}  // namespace kd
