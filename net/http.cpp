#include "net/http.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>

#include "base/base.h"
#include "log/log.h"
#include "net/http_internal.h"
#include "net/socket.h"
#include "net/tls.h"

namespace kd {
namespace {

constexpr LogSource netLog{"net"};

using Clock = std::chrono::steady_clock;

constexpr std::string_view kPlainScheme = "http://";
constexpr std::string_view kSecureScheme = "https://";
constexpr std::uint16_t kPlainPort = 80;
constexpr std::uint16_t kSecurePort = 443;
constexpr int kStatusOk = 200;
constexpr int kStatusNotFound = 404;
constexpr int kStatusPartial = 206;
constexpr int kRedirectStatuses[] = {301, 302, 307, 308};
constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kHeaderEnd = "\r\n\r\n";
constexpr const char* kCutShort = "download cut short";
constexpr int kWindowSteps = 10;          // the slow-server window slides in tenths
constexpr std::size_t kMaxIdleLinks = 8;  // as many as the engine fetches at once
// Well below the minute or more servers keep an idle connection open, so a kept one is rarely
// found closed.
constexpr auto kIdleLinkLife = std::chrono::seconds(4);

// Bytes that cannot stand in a request line or header without changing its meaning.
bool isControlOrSpace(unsigned char c) { return c <= 0x20 || c == 0x7f; }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

std::uint16_t defaultPort(bool secure) { return secure ? kSecurePort : kPlainPort; }

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

// The connection of a request: a socket, with a TLS session over it for https.
struct Link {
    int fd = -1;
    std::unique_ptr<TlsSession> tls;

    Link() = default;
    Link(Link&& other) noexcept : fd(std::exchange(other.fd, -1)), tls(std::move(other.tls)) {}
    Link& operator=(Link&& other) noexcept {
        close();
        fd = std::exchange(other.fd, -1);
        tls = std::move(other.tls);
        return *this;
    }
    ~Link() { close(); }
    void close() {
        tls.reset();
        closeSocket(fd);
    }
    bool send(std::vector<std::uint8_t>& pending) {
        return tls ? tls->send(pending) : sendPending(fd, pending);
    }
    bool receive(std::vector<std::uint8_t>& buffer, std::size_t limit, int* failure) {
        return tls ? tls->receive(buffer, limit, failure) : recvSome(fd, buffer, limit, failure);
    }
    void wait(int timeoutMs) {
        if (tls)
            tls->wait(timeoutMs);
        else
            waitReadable(std::span<const int>(&fd, 1), timeoutMs);
    }
};

// Bytes received over the last window, counted in steps of a tenth of it. One step more than the
// window is kept, so a server is never cut while it met the floor over the exact window.
class RecentBytes {
public:
    RecentBytes(Clock::time_point start, int windowMs)
        : start_(start), step_(std::max(1, windowMs / kWindowSteps)) {}

    std::uint64_t add(Clock::time_point now, std::uint64_t bytes) {
        const auto index =
            std::chrono::duration_cast<std::chrono::milliseconds>(now - start_) / step_;
        if (steps_.empty() || steps_.back().first != index) steps_.emplace_back(index, 0);
        steps_.back().second += bytes;
        total_ += bytes;
        while (steps_.front().first < index - kWindowSteps) {
            total_ -= steps_.front().second;
            steps_.pop_front();
        }
        return total_;
    }

private:
    Clock::time_point start_;
    std::chrono::milliseconds step_;
    std::deque<std::pair<std::int64_t, std::uint64_t>> steps_;  // step index, bytes
    std::uint64_t total_ = 0;
};

// https connections kept open after a complete reply, for the next request to the same server: a
// release is thousands of requests to one server, and opening a TLS connection costs more than a
// typical object takes to fetch. Plain http opens one connection per request, as it always has.
class IdleLinks {
public:
    // A kept connection to origin that the server has not closed meanwhile, or none (fd -1).
    Link take(const std::string& origin) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto now = Clock::now();
        Link found;
        for (auto it = idle_.begin(); it != idle_.end();) {
            const bool expired = now - it->since > kIdleLinkLife;
            if (!expired && found.fd == -1 && it->origin == origin) {
                found = std::move(it->link);
                it = idle_.erase(it);
                // Anything to read on an idle connection is the server closing it.
                if (isReadable(found.fd)) found.close();
            } else {
                it = expired ? idle_.erase(it) : it + 1;
            }
        }
        return found;
    }
    void give(std::string origin, Link link) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (idle_.size() >= kMaxIdleLinks) idle_.pop_front();
        idle_.push_back({std::move(origin), std::move(link), Clock::now()});
    }

private:
    struct Idle {
        std::string origin;
        Link link;
        Clock::time_point since;
    };
    std::mutex mutex_;
    std::deque<Idle> idle_;  // oldest first
};

// Never destroyed: kept connections may outlive OpenSSL's own clean-up at exit.
IdleLinks& idleLinks() {
    static IdleLinks* const links = new IdleLinks;
    return *links;
}

std::string originOf(const Url& url) {
    return std::string(url.secure ? kSecureScheme : kPlainScheme) + lowerAscii(url.host) + ":" +
           std::to_string(url.port);
}

bool sameOrigin(const Url& a, const Url& b) {
    return a.secure == b.secure && a.port == b.port && lowerAscii(a.host) == lowerAscii(b.host);
}

// Stale: a kept connection turned out closed before any of the reply came; the caller asks again
// on a fresh one.
enum class Outcome { Done, Failed, Redirected, Stale };

}  // namespace

bool parseUrl(const std::string& url, Url& out) {
    const bool secure = url.starts_with(kSecureScheme);
    if (!secure && !url.starts_with(kPlainScheme)) return false;
    // A space, line end or NUL would split the request line or cut the host name short.
    for (unsigned char c : url)
        if (isControlOrSpace(c)) return false;

    const std::string_view rest =
        std::string_view(url).substr((secure ? kSecureScheme : kPlainScheme).size());
    const std::size_t slash = rest.find('/');
    const std::string_view authority = rest.substr(0, slash);
    std::string_view hostText = authority;
    std::string_view portText;
    const std::size_t colon = authority.rfind(':');
    if (colon != std::string_view::npos) {
        hostText = authority.substr(0, colon);
        portText = authority.substr(colon + 1);
    }

    unsigned value = defaultPort(secure);
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

    out.secure = secure;
    out.host = hostText;
    out.port = static_cast<std::uint16_t>(value);
    out.path = slash == std::string_view::npos ? std::string("/") : std::string(rest.substr(slash));
    return true;
}

std::string formatUrl(const Url& url) {
    std::string text(url.secure ? kSecureScheme : kPlainScheme);
    text += url.host;
    // A host with a colon in it needs its port written, or the colon would be read as the port's.
    if (url.port != defaultPort(url.secure) || url.host.find(':') != std::string::npos)
        text += ":" + std::to_string(url.port);
    return text + url.path;
}

std::string joinUrl(const std::string& base, const std::string& path) {
    if (!base.empty() && base.back() == '/') return base + path;
    return base + "/" + path;
}

bool resolveLocation(const Url& base, std::string_view location, Url& out) {
    location = location.substr(0, location.find('#'));
    if (location.empty()) return false;
    if (location.starts_with("//"))
        return parseUrl((base.secure ? "https:" : "http:") + std::string(location), out);
    // A scheme is letters, digits, '+', '-' and '.' before the first ':', starting with a letter.
    const std::size_t colon = location.find(':');
    const std::size_t schemeEnd = location.find_first_not_of(
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-.");
    if (colon != std::string_view::npos && schemeEnd == colon && isAlpha(location[0])) {
        std::string absolute(location);
        for (std::size_t i = 0; i < colon; ++i) absolute[i] = lowerAscii(absolute[i]);
        return parseUrl(absolute, out);
    }
    for (unsigned char c : location)
        if (isControlOrSpace(c)) return false;
    const std::string_view basePath = std::string_view(base.path).substr(0, base.path.find('?'));
    out = base;
    if (location[0] == '/')
        out.path = location;
    else if (location[0] == '?')
        out.path = std::string(basePath) + std::string(location);
    else
        out.path = std::string(basePath.substr(0, basePath.rfind('/') + 1)) + std::string(location);
    return true;
}

std::string buildRequest(const Url& url, const std::vector<std::string>& extraHeaders,
                         std::uint64_t from) {
    std::string request = "GET " + url.path + " HTTP/1.1\r\nHost: " + url.host;
    if (url.port != defaultPort(url.secure)) request += ":" + std::to_string(url.port);
    request += "\r\nUser-Agent: VeilstoneLauncher\r\nAccept-Encoding: identity\r\n";
    for (const std::string& line : extraHeaders) request += line + "\r\n";
    if (from > 0) request += "Range: bytes=" + std::to_string(from) + "-\r\n";
    // An https connection may serve the next request too; HTTP/1.1 keeps it open by default.
    if (!url.secure) request += "Connection: close\r\n";
    request += "\r\n";
    return request;
}

ReplyReader::ReplyReader(std::uint64_t maxBody, std::string path, int* statusOut,
                         std::uint64_t from)
    : maxBody_(maxBody), from_(from), path_(std::move(path)), statusOut_(statusOut) {
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
    if (!location_.empty()) return Next::Redirect;
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
        // The last chunk or the length ends the reply, whether or not the server closes.
        if (chunked_ ? chunk_ == Chunk::Done : lengthGiven_ && got >= contentLength_)
            return Next::Finish;
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
    if (skip_ > 0) {
        const auto skipped = static_cast<std::size_t>(std::min<std::uint64_t>(skip_, length));
        skip_ -= skipped;
        delivered_ += skipped;
        drop(skipped);
        length -= skipped;
        if (length == 0) return true;
    }
    if (sink && !sink(buffer_.data(), length, error)) return false;
    delivered_ += length;
    consumed_ += length;
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(length));
    return true;
}

void ReplyReader::drop(std::size_t length) {
    consumed_ += length;
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(length));
}

// Where the line at the front of the buffer ends: npos while it is incomplete. A line that does
// not fit the buffer with its line end is a broken reply.
bool ReplyReader::frontLine(std::size_t& end, std::string& error) const {
    end = findIn(buffer_, 0, buffer_.size(), kLineEnd);
    if (end != std::string::npos || buffer_.size() < kReceiveBufferBytes) return true;
    error = kCutShort;
    return false;
}

bool ReplyReader::decodeChunks(const BodySink& sink, std::string& error) {
    for (;;) {
        std::size_t end = 0;
        switch (chunk_) {
            case Chunk::SizeLine: {
                if (!frontLine(end, error)) return false;
                if (end == std::string::npos) return true;
                // The size is the hex number at the start of the line; an extension is ignored.
                std::size_t i = 0;
                while (i < end && (buffer_[i] == ' ' || buffer_[i] == '\t')) ++i;
                if (i == end || hexValue(static_cast<char>(buffer_[i])) < 0) {
                    error = kCutShort;
                    return false;
                }
                std::uint64_t size = 0;
                for (; i < end && hexValue(static_cast<char>(buffer_[i])) >= 0; ++i) {
                    // More than 64 bits cannot fit in the body anyway.
                    if (size > (UINT64_MAX >> 4)) {
                        error = kCutShort;
                        return false;
                    }
                    size = size * 16 +
                           static_cast<std::uint64_t>(hexValue(static_cast<char>(buffer_[i])));
                }
                drop(end + kLineEnd.size());
                // Size 0 is the last chunk; the trailer's fields follow, then an empty line.
                chunk_ = size == 0 ? Chunk::Trailer : Chunk::Data;
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
                drop(n);
                chunkLeft_ -= n;
                if (chunkLeft_ != 0) return true;
                chunk_ = Chunk::SizeLine;
                break;
            }
            case Chunk::Trailer:
                // Trailer fields are ignored; the empty line ends the reply.
                if (!frontLine(end, error)) return false;
                if (end == std::string::npos) return true;
                drop(end + kLineEnd.size());
                if (end == 0) chunk_ = Chunk::Done;
                break;
            case Chunk::Done:
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
    drop(headerLength_);
    return true;
}

bool ReplyReader::readHeader(std::string_view header, std::string& error) {
    if (header.size() < 7 || header.substr(0, 7) != "HTTP/1.") {
        error = "not an HTTP reply";
        return false;
    }
    http11_ = header[7] == '1';
    std::size_t lineEnd = header.find(kLineEnd);
    const int status = readStatus(header.substr(0, lineEnd));
    if (statusOut_ != nullptr) *statusOut_ = status;

    std::string_view location, range;
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
        } else if (name == "connection") {
            if (lowerAscii(value).find("close") != std::string::npos) closes_ = true;
        } else if (name == "content-range") {
            range = value;
        } else if (name == "location") {
            location = value.substr(0, value.find_last_not_of(" \t") + 1);
        }
    }

    // A redirect without a Location leads nowhere and fails like any other status.
    if (!location.empty() && std::find(std::begin(kRedirectStatuses), std::end(kRedirectStatuses),
                                       status) != std::end(kRedirectStatuses)) {
        location_ = location;
        return true;
    }
    // A range only when one was asked for, and only the one asked for.
    if (status == kStatusPartial && from_ > 0) {
        if (!readRange(range)) {
            error = "the update server sent the wrong part of a file";
            return false;
        }
    } else if (status != kStatusOk) {
        error = status == kStatusNotFound ? "not on the update server: " + path_
                                          : "the update server said " + std::to_string(status);
        return false;
    }
    if (status == kStatusOk) skip_ = from_;
    if (lengthGiven_ && contentLength_ > maxBody_) {
        error = "file larger than expected";
        return false;
    }
    return true;
}

// "bytes FROM-LAST/TOTAL" running from from_ to the body's end, within the limit, which from then
// on bounds the rest.
bool ReplyReader::readRange(std::string_view value) {
    constexpr std::string_view kUnit = "bytes ";
    if (value.substr(0, kUnit.size()) != kUnit) return false;
    value.remove_prefix(kUnit.size());
    const std::size_t dash = value.find('-'), slash = value.find('/');
    if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash)
        return false;
    const std::string_view first = value.substr(0, dash),
                           last = value.substr(dash + 1, slash - dash - 1),
                           total = value.substr(slash + 1, value.find_last_not_of(" \t") - slash);
    const auto number = [](std::string_view text, std::uint64_t& out) {
        if (text.empty() || text.size() > 19) return false;
        for (const char c : text)
            if (!isDigit(c)) return false;
        out = readLength(text);
        return true;
    };
    std::uint64_t a = 0, b = 0, t = 0;
    if (!number(first, a) || !number(last, b) || !number(total, t)) return false;
    if (a != from_ || b < a || b + 1 != t || t > maxBody_) return false;
    maxBody_ -= from_;
    return true;
}

bool ReplyReader::reusable() const {
    // Only a reply that ended by its own framing, with nothing after it, leaves the connection
    // where the next reply starts.
    if (!http11_ || closes_ || !buffer_.empty()) return false;
    return chunked_ ? chunk_ == Chunk::Done : lengthGiven_ && bodyBytes() == contentLength_;
}

bool ReplyReader::finish(bool endedByError, bool requestUnsent, std::string& error) {
    if (!headerDone()) {
        error = requestUnsent ? "connection lost while asking" : "the update server hung up";
        return false;
    }
    bool whole = true;
    if (chunked_)
        // A server that closes after the last chunk has sent the whole body, trailer or not.
        whole = chunk_ == Chunk::Trailer || chunk_ == Chunk::Done;
    else if (lengthGiven_)
        whole = bodyBytes() == contentLength_;
    else
        // Without a length only an orderly close marks the end; a reset connection cut it off.
        whole = !endedByError;
    if (!whole) {
        error = kCutShort;
        return false;
    }
    return true;
}

namespace {

// One GET, on a kept connection to the server when there is one and mayReuse allows it, else on a
// fresh one. A redirect's Location goes to location, its body unread.
Outcome requestOnce(const HttpLimits& limits, const Url& url, bool mayReuse, std::uint64_t maxBody,
                    const BodySink& sink, const ProgressFn& progress,
                    const std::atomic<bool>* cancel, std::string& error,
                    const std::vector<std::string>& extraHeaders, int* statusOut,
                    std::uint64_t from, std::string& location) {
    const std::string shown = printable(formatUrl(url)), origin = originOf(url);
    const auto connectStart = Clock::now();
    Link link;
    if (url.secure && mayReuse) link = idleLinks().take(origin);
    const bool reused = link.fd != -1;
    std::uint64_t received = 0;
    // closed: the connection ended. On a kept one before any of the reply came, the server closed
    // it as we asked: nothing was lost.
    auto fail = [&](const char* text, bool closed = false) {
        link.close();
        if (closed && reused && received == 0) return Outcome::Stale;
        if (text != nullptr) error = text;
        netLog.debug("GET %s: %s", shown.c_str(), error.c_str());
        return Outcome::Failed;
    };
    if (!reused) {
        std::string reason;
        link.fd = tcpConnect(url.host, url.port, limits.connectMs, reason);
        if (link.fd == -1) {
            error = "cannot reach the update server (" + reason + ")";
            return fail(nullptr);
        }
    }
    if (url.secure && !reused) {
        // The handshake belongs to connecting: both together get the connect time-out.
        const auto spent =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - connectStart);
        link.tls = std::make_unique<TlsSession>();
        if (!link.tls->connect(link.fd, url.host, url.port,
                               std::max<int>(0, limits.connectMs - int(spent.count())), cancel,
                               error))
            return fail(nullptr);
    }

    const std::string request = buildRequest(url, extraHeaders, from);
    std::vector<std::uint8_t> pending(request.begin(), request.end());
    bool sendable = link.send(pending);
    const auto sentAt = Clock::now();
    auto lastActivity = sentAt;
    const auto idleLimit = std::chrono::milliseconds(limits.idleMs);
    const auto window = std::chrono::milliseconds(limits.slowWindowMs);
    RecentBytes recent(sentAt, limits.slowWindowMs);

    ReplyReader reply(maxBody, url.path, statusOut, from);
    int failure = 0;
    bool open = true;
    for (;;) {
        if (cancel != nullptr && cancel->load()) return fail("cancelled");
        if (!pending.empty()) sendable = link.send(pending);
        if (!sendable) return fail("connection lost while asking", true);

        link.wait(kWaitStepMs);
        const std::size_t before = reply.received().size();
        open = link.receive(reply.received(), reply.receiveLimit(), &failure);
        const auto now = Clock::now();
        const std::size_t got = reply.received().size() - before;
        received += got;
        if (got > 0)
            lastActivity = now;
        else if (now - lastActivity > idleLimit)
            return fail("the update server stopped answering");
        const std::uint64_t lately = recent.add(now, got);

        const ReplyReader::Next next = reply.pass(open, sink, progress, error);
        if (next == ReplyReader::Next::Fail) return fail(nullptr);
        if (next == ReplyReader::Next::Redirect) {
            location = reply.location();
            if (link.tls) link.tls->closeNotify();
            return Outcome::Redirected;
        }
        if (next == ReplyReader::Next::Finish) break;
        // A trickle resets the idle limit with every byte; the bytes over the last window catch
        // it, however fast the start was.
        if (lately < limits.slowFloorBytes && now - sentAt >= window)
            return fail("the update server is too slow");
    }
    if (!reply.finish(failure != 0, !pending.empty(), error)) return fail(nullptr, true);
    netLog.debug("GET %s: %llu bytes", shown.c_str(),
                 static_cast<unsigned long long>(reply.bodyBytes()));
    if (link.tls && open && reply.reusable()) {
        idleLinks().give(origin, std::move(link));
    } else if (link.tls) {
        link.tls->closeNotify();
    }
    return Outcome::Done;
}

}  // namespace

bool httpGetWithLimits(const HttpLimits& limits, const std::string& urlText, std::uint64_t maxBody,
                       const BodySink& sink, const ProgressFn& progress,
                       const std::atomic<bool>* cancel, std::string& error,
                       const std::vector<std::string>& extraHeaders, int* statusOut,
                       std::uint64_t from) {
    if (statusOut != nullptr) *statusOut = 0;
    Url url;
    if (!parseUrl(urlText, url)) {
        error = "bad address " + printable(urlText);
        return false;
    }
    // A line end inside a header line would smuggle further lines into the request.
    for (const std::string& line : extraHeaders) {
        if (line.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
            error = "bad request header";
            return false;
        }
    }

    const Url origin = url;
    const std::vector<std::string> none;
    for (int followed = 0;; ++followed) {
        // The caller's header lines (a playtester key) are for its own server, not for a host
        // that server sends us to.
        std::string location;
        // The status is the last server's: 0 says that the server a redirect named never replied.
        if (statusOut != nullptr) *statusOut = 0;
        const std::vector<std::string>& headers = sameOrigin(url, origin) ? extraHeaders : none;
        Outcome outcome = requestOnce(limits, url, true, maxBody, sink, progress, cancel, error,
                                      headers, statusOut, from, location);
        if (outcome == Outcome::Stale)
            outcome = requestOnce(limits, url, false, maxBody, sink, progress, cancel, error,
                                  headers, statusOut, from, location);
        if (outcome != Outcome::Redirected) return outcome == Outcome::Done;

        Url next;
        const char* refusal = nullptr;
        if (followed == kMaxRedirects)
            refusal = "the update server redirected too many times";
        else if (!resolveLocation(url, location, next))
            refusal = "the update server redirected to a bad address";
        else if (url.secure && !next.secure)
            refusal = "the update server redirected to an insecure address";
        netLog.debug("GET %s: redirected to %s", printable(formatUrl(url)).c_str(),
                     printable(location).c_str());
        if (refusal != nullptr) {
            error = refusal;
            netLog.debug("GET %s: %s", printable(urlText).c_str(), refusal);
            return false;
        }
        url = next;
    }
}

bool httpGetStream(const std::string& url, std::uint64_t maxBody, const BodySink& sink,
                   const ProgressFn& progress, const std::atomic<bool>* cancel, std::string& error,
                   const std::vector<std::string>& extraHeaders, int* statusOut) {
    return httpGetWithLimits(HttpLimits{}, url, maxBody, sink, progress, cancel, error,
                             extraHeaders, statusOut);
}

bool httpGetStreamFrom(const std::string& url, std::uint64_t from, std::uint64_t maxBody,
                       const BodySink& sink, const ProgressFn& progress,
                       const std::atomic<bool>* cancel, std::string& error, int* statusOut) {
    return httpGetWithLimits(HttpLimits{}, url, maxBody, sink, progress, cancel, error, {},
                             statusOut, from);
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
