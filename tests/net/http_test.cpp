#include "net/http.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <utility>

#include "net/http_internal.h"
#include "net/socket.h"
#include "tests/net/test_server.h"

namespace kd {
namespace {

using test::okReply;
using test::reply;
using test::Script;
using test::TestServer;
using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kDefaultMaxBody = 1 << 20;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Outcome {
    bool ok = false;
    std::string body;
    std::string error;
    int status = -1;
    double seconds = 0;
};

Outcome get(const std::string& url, std::uint64_t maxBody = kDefaultMaxBody,
            HttpLimits timeouts = {}, const std::atomic<bool>* cancel = nullptr,
            const ProgressFn& progress = {}, const std::vector<std::string>& headers = {}) {
    Outcome out;
    std::vector<std::uint8_t> body{'o', 'l', 'd'};
    const auto start = Clock::now();
    body.clear();
    const BodySink sink = [&](const std::uint8_t* d, std::size_t n, std::string&) {
        body.insert(body.end(), d, d + n);
        return true;
    };
    out.ok = httpGetWithLimits(timeouts, url, maxBody, sink, progress, cancel, out.error, headers,
                               &out.status);
    if (!out.ok) body.clear();
    out.seconds = secondsSince(start);
    out.body.assign(body.begin(), body.end());
    return out;
}

std::string chunkedHeader() { return "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"; }
std::string lengthless(std::string_view body) {
    return "HTTP/1.0 200 OK\r\n\r\n" + std::string(body);
}

// A 200 header of exactly `bytes` bytes, its blank line included, padded by one long field.
std::string headerOfSize(std::size_t bytes) {
    const std::string start = "HTTP/1.1 200 OK\r\nX-Pad: ";
    return start + std::string(bytes - start.size() - 4, 'p') + "\r\n\r\n";
}

// --- parseUrl -------------------------------------------------------------------------------

TEST(ParseUrl, SplitsHostPortAndPath) {
    struct Case {
        const char* url;
        const char* host;
        std::uint16_t port;
        const char* path;
    };
    const Case cases[] = {
        {"http://host", "host", 80, "/"},
        {"http://host/", "host", 80, "/"},
        {"http://host:8080/a?b=c", "host", 8080, "/a?b=c"},
        {"http://host:/x", "host", 80, "/x"},  // an empty port text means 80
        {"http://host:65535", "host", 65535, "/"},
        {"http://host:1//a%20b/..", "host", 1, "//a%20b/.."},  // verbatim, no decoding
        {"http://a:b:81/c:d", "a:b", 81, "/c:d"},              // the last colon of the authority
        {"http://host:007/", "host", 7, "/"},
    };
    for (const Case& c : cases) {
        std::string host = "?", path = "?";
        std::uint16_t port = 0;
        ASSERT_TRUE(parseUrl(c.url, host, port, path)) << c.url;
        EXPECT_EQ(host, c.host) << c.url;
        EXPECT_EQ(port, c.port) << c.url;
        EXPECT_EQ(path, c.path) << c.url;
    }
}

TEST(ParseUrl, RefusedUrlsAreBadAddresses) {
    const char* const urls[] = {
        "",
        "http:/",
        "http://",
        "https://host/",
        "HTTP://host/",
        "http:/host/",
        "ftp://host/",
        "http:///path",
        "http://:8080/",
        "http://host:0/",
        "http://host:65536/",
        "http://host:8o/",
        "http://host:-1/",
        "http://host:+80/",
        "http://host:99999999999999999999999/",
        "http://host/a b",                 // would split the request line
        "http://host/a\r\nX-Injected: 1",  // would add a header line
        "http://host\tname/",
        "http://exa\x7fmple/",
    };
    for (const char* url : urls) {
        std::string host, path;
        std::uint16_t port = 0;
        EXPECT_FALSE(parseUrl(url, host, port, path)) << url;
        const Outcome out = get(url);
        EXPECT_FALSE(out.ok);
        std::string shown = url;  // control bytes are masked in the message
        for (char& ch : shown)
            if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f) ch = '?';
        EXPECT_EQ(out.error, "bad address " + shown);
        EXPECT_EQ(out.body, "");
        EXPECT_EQ(out.status, 0);
    }
}

TEST(ParseUrl, NulInsideTheHostIsRefused) {
    // Name resolution would see only "good.example" and connect somewhere the URL does not say.
    const std::string url("http://good.example\0.evil/", 26);
    std::string host, path;
    std::uint16_t port = 0;
    EXPECT_FALSE(parseUrl(url, host, port, path));
}

// --- the request on the wire ----------------------------------------------------------------

TEST(HttpGet, SendsExactRequestWithPortQueryAndExtraHeaders) {
    TestServer server(Script().send(okReply("x")));
    const Outcome out = get(server.url("/a?b=c"), kDefaultMaxBody, {}, nullptr, {},
                            {"X-Veilstone-Key: K3Y-1", "X-Second: two"});
    ASSERT_TRUE(out.ok) << out.error;
    ASSERT_EQ(server.requests().size(), 1u);
    const std::string hostLine = "Host: 127.0.0.1:" + std::to_string(server.port()) + "\r\n";
    EXPECT_EQ(server.requests()[0], "GET /a?b=c HTTP/1.1\r\n" + hostLine +
                                        "User-Agent: VeilstoneLauncher\r\n"
                                        "Accept-Encoding: identity\r\n"
                                        "X-Veilstone-Key: K3Y-1\r\n"
                                        "X-Second: two\r\n"
                                        "Connection: close\r\n\r\n");
}

TEST(HttpGet, UrlWithoutPathAsksForRoot) {
    TestServer server(Script().send(okReply("x")));
    ASSERT_TRUE(get(server.url("")).ok);
    EXPECT_EQ(server.requests().at(0).substr(0, 16), "GET / HTTP/1.1\r\n");
}

TEST(HttpGet, HostLineOmitsPort80) {
    // Port 80 needs a privileged test process and a free port on this loopback address.
    TestServer server(Script().send(okReply("x")), "127.8.0.80", 80);
    if (!server.listening()) GTEST_SKIP() << "cannot listen on 127.8.0.80:80 here";
    for (const char* url : {"http://127.8.0.80/f", "http://127.8.0.80:80/f"}) {
        ASSERT_TRUE(get(url).ok) << url;
        EXPECT_EQ(server.requests().back(),
                  "GET /f HTTP/1.1\r\nHost: 127.8.0.80\r\nUser-Agent: VeilstoneLauncher\r\n"
                  "Accept-Encoding: identity\r\nConnection: close\r\n\r\n")
            << url;
    }
}

TEST(HttpGet, HeaderLineWithLineEndIsRefusedBeforeConnecting) {
    TestServer server(Script().send(okReply("x")));
    for (std::string line : {std::string("X-Veilstone-Key: a\r\nHost: elsewhere"),
                             std::string("X-Veilstone-Key: a\n"), std::string("X-A: \0b", 7)}) {
        const Outcome out = get(server.url("/f"), kDefaultMaxBody, {}, nullptr, {}, {line});
        EXPECT_FALSE(out.ok);
        EXPECT_EQ(out.error, "bad request header");
    }
    EXPECT_TRUE(server.requests().empty());
}

// --- replies that succeed -------------------------------------------------------------------

struct GoodReply {
    const char* name;
    Script script;
    std::string body;
    std::uint64_t maxBody = kDefaultMaxBody;
};

void PrintTo(const GoodReply& c, std::ostream* os) { *os << c.name; }

class HttpGetSucceeds : public testing::TestWithParam<GoodReply> {};

// Scripts that hang after their reply prove that the reply was recognised as complete without
// waiting for the server; those that close prove that the close ends the reply.
TEST_P(HttpGetSucceeds, WithTheExactBody) {
    const GoodReply& c = GetParam();
    TestServer server(c.script);
    const Outcome out = get(server.url("/f"), c.maxBody);
    ASSERT_TRUE(out.ok) << out.error;
    EXPECT_EQ(out.body, c.body);
    EXPECT_EQ(out.status, 200);
    EXPECT_LT(out.seconds, 3.0);
}

const std::string kMegabyte = [] {
    std::string text(1 << 20, '\0');
    for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>(i * 31 + i / 4099);
    return text;
}();

INSTANTIATE_TEST_SUITE_P(
    Replies, HttpGetSucceeds,
    testing::Values(
        GoodReply{"ExactLengthWithoutWaitingForClose", Script().send(okReply("0123456789")).hang(),
                  "0123456789"},
        GoodReply{"ZeroLength", Script().send(okReply("")).hang(), ""},
        GoodReply{"Http10WithoutLengthUntilClose", Script().send(lengthless("hello")).close(),
                  "hello"},
        GoodReply{"LargeBodyWithoutLength", Script().send(lengthless(kMegabyte)).close(),
                  kMegabyte},
        GoodReply{"HeaderAndBodyInPieces",
                  Script()
                      .send("HTTP/1.1 200 OK\r")
                      .pause(30)
                      .send("\nContent-Length: 5\r\n\r")
                      .pause(30)
                      .send("\nab")
                      .pause(30)
                      .send("cde")
                      .hang(),
                  "abcde"},
        GoodReply{"TrickledByteByByte", Script().trickle(okReply("trickle"), 3).hang(), "trickle"},
        GoodReply{"UppercaseFieldName",
                  Script().send(reply("HTTP/1.1 200 OK", {"CONTENT-LENGTH: 3"}, "abc")).hang(),
                  "abc"},
        GoodReply{"SpaceBeforeColonIsAnotherField",
                  Script().send(reply("HTTP/1.1 200 OK", {"Content-Length : 3"}, "abcdef")).close(),
                  "abcdef"},
        GoodReply{
            "LaterLengthWins",
            Script()
                .send(reply("HTTP/1.1 200 OK", {"Content-Length: 99", "Content-Length: 3"}, "abc"))
                .hang(),
            "abc"},
        GoodReply{"LengthEqualToLimit", Script().send(okReply("12345678")).hang(), "12345678", 8},
        GoodReply{"StatusWithoutReason",
                  Script().send(reply("HTTP/1.1 200", {"Content-Length: 2"}, "ok")).hang(), "ok"},
        GoodReply{"Chunked", Script().send(chunkedHeader() + "4\r\nWiki\r\n0\r\n\r\n").close(),
                  "Wiki"},
        GoodReply{"ChunkExtensionIgnored",
                  Script().send(chunkedHeader() + "4;ext=1\r\nWiki\r\n0\r\n\r\n").close(), "Wiki"},
        GoodReply{"ChunkedInAnyCase",
                  Script()
                      .send(reply("HTTP/1.1 200 OK", {"transfer-encoding: gzip, Chunked"},
                                  "3\r\nabc\r\n0\r\n\r\n"))
                      .close(),
                  "abc"},
        GoodReply{"ManyChunksAndTrailer",
                  Script()
                      .send(chunkedHeader() + "5\r\nfirst\r\n e \r\n, then the 2nd\r\n1\r\n!\r\n" +
                            "0\r\nX-Trailer: ignored\r\n\r\n")
                      .close(),
                  "first, then the 2nd!"},
        GoodReply{
            "ChunkedOverridesLength",
            Script()
                .send(reply("HTTP/1.1 200 OK", {"Content-Length: 2", "Transfer-Encoding: chunked"},
                            "4\r\nWiki\r\n0\r\n\r\n"))
                .close(),
            "Wiki"},
        GoodReply{"ChunkedTrickled",
                  Script().send(chunkedHeader()).trickle("2\r\nhi\r\n0\r\n\r\n", 3).close(), "hi"},
        GoodReply{"HeaderOfExactlyTheLimit",
                  Script().send(headerOfSize(kMaxHeaderBytes) + "body").close(), "body"}),
    [](const testing::TestParamInfo<GoodReply>& info) { return std::string(info.param.name); });

// --- replies that fail ----------------------------------------------------------------------

struct BadReply {
    const char* name;
    Script script;
    std::string error;
    std::uint64_t maxBody = kDefaultMaxBody;
};

void PrintTo(const BadReply& c, std::ostream* os) { *os << c.name; }

class HttpGetFails : public testing::TestWithParam<BadReply> {};

// Every row fails at once: none waits for the idle limit, even where the server hangs on.
TEST_P(HttpGetFails, WithTheMessageAndNoBody) {
    const BadReply& c = GetParam();
    TestServer server(c.script);
    const Outcome out = get(server.url("/dir/f.txt?v=1"), c.maxBody);
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.error, c.error);
    EXPECT_EQ(out.body, "");
    EXPECT_LT(out.seconds, 3.0);
}

const std::string kLargerThanExpected = "file larger than expected";
const std::string kCutShort = "download cut short";
const std::string kHungUp = "the update server hung up";

std::string paddedHeader(std::size_t padBytes) {
    std::string header = "HTTP/1.1 200 OK\r\n";
    while (padBytes > 0) {
        const std::size_t n = std::min<std::size_t>(padBytes, 1000);
        header += "X-Pad: " + std::string(n, 'p') + "\r\n";
        padBytes -= n;
    }
    return header;
}

INSTANTIATE_TEST_SUITE_P(
    Replies, HttpGetFails,
    testing::Values(
        BadReply{"OtherProtocol", Script().send("ICY 200 OK\r\n\r\nabc").hang(),
                 "not an HTTP reply"},
        BadReply{"Http2StatusLine", Script().send("HTTP/2 200\r\n\r\n").hang(),
                 "not an HTTP reply"},
        BadReply{"NoStatusLine", Script().send("\r\n\r\n").hang(), "not an HTTP reply"},
        BadReply{"NotFoundNamesThePath",
                 Script().send(reply("HTTP/1.1 404 Not Found", {"Content-Length: 0"}, "")).hang(),
                 "not on the update server: /dir/f.txt?v=1"},
        BadReply{"RedirectIsNotFollowed",
                 Script()
                     .send(reply("HTTP/1.1 301 Moved Permanently",
                                 {"Location: http://127.0.0.1/elsewhere", "Content-Length: 0"}, ""))
                     .hang(),
                 "the update server said 301"},
        BadReply{"ServerError", Script().send(reply("HTTP/1.0 500 Oops", {}, "")).hang(),
                 "the update server said 500"},
        BadReply{"StatusMissing", Script().send("HTTP/1.1\r\n\r\n").hang(),
                 "the update server said 0"},
        BadReply{"OverlongStatusDoesNotWrapTo200",
                 Script().send(reply("HTTP/1.1 4294967496 OK", {"Content-Length: 0"}, "")).hang(),
                 "the update server said 2147483647"},
        BadReply{"HeaderOverLimitInOnePiece", Script().send(paddedHeader(70000) + "\r\n").hang(),
                 "reply header too long"},
        BadReply{"HeaderOneByteOverLimit",
                 Script().send(headerOfSize(kMaxHeaderBytes + 1) + "body").close(),
                 "reply header too long"},
        BadReply{"HeaderWithoutEnd", Script().send(paddedHeader(70000)).hang(),
                 "reply header too long"},
        BadReply{"LengthOneAboveLimit", Script().send(okReply("123456789")).hang(),
                 kLargerThanExpected, 8},
        BadReply{"LengthBeyond64Bits",
                 Script()
                     .send(reply("HTTP/1.1 200 OK", {"Content-Length: 18446744073709551626"},
                                 "0123456789"))
                     .hang(),
                 kLargerThanExpected},
        BadReply{"StreamPastReceiveLimit",
                 Script().send(lengthless(std::string(1000 + kReceiveSlackBytes, 'z'))).hang(),
                 kLargerThanExpected, 1000},
        BadReply{"LengthlessBodyAboveLimit", Script().send(lengthless("123456789")).close(),
                 kLargerThanExpected, 8},
        BadReply{"ChunkedBodyAboveLimit",
                 Script().send(chunkedHeader() + "9\r\n123456789\r\n0\r\n\r\n").close(),
                 kLargerThanExpected, 8},
        BadReply{"ClosedWithoutReply", Script().close(), kHungUp},
        BadReply{"ResetWithoutReply", Script().reset(), kHungUp},
        BadReply{"ClosedInsideHeader", Script().send("HTTP/1.1 200 OK\r\nContent-Le").close(),
                 kHungUp},
        BadReply{
            "MoreThanTheLength",
            Script().send(reply("HTTP/1.1 200 OK", {"Content-Length: 10"}, "0123456789ab")).hang(),
            kCutShort},
        BadReply{"LessThanTheLength",
                 Script().send(reply("HTTP/1.1 200 OK", {"Content-Length: 10"}, "01234")).close(),
                 kCutShort},
        BadReply{"HugeLengthWithinHugeLimit",
                 Script()
                     .send(reply("HTTP/1.1 200 OK", {"Content-Length: 4398046511104"}, "0123"))
                     .close(),
                 kCutShort, std::uint64_t{1} << 42},
        BadReply{"ResetInsideLengthlessBody", Script().send(lengthless("abc")).pause(100).reset(),
                 kCutShort},
        BadReply{"ChunkLongerThanWhatArrived",
                 Script().send(chunkedHeader() + "20\r\nabc\r\n0\r\n\r\n").close(), kCutShort},
        BadReply{"ChunkWithoutItsLineEnd", Script().send(chunkedHeader() + "3\r\nabc").close(),
                 kCutShort},
        BadReply{"ChunkedWithoutLastChunk",
                 Script().send(chunkedHeader() + "4\r\nWiki\r\n").close(), kCutShort},
        BadReply{"ChunkSizeNotHex",
                 Script().send(chunkedHeader() + "zz\r\nab\r\n0\r\n\r\n").close(), kCutShort},
        BadReply{"ChunkSizeBeyond64Bits",
                 Script().send(chunkedHeader() + "100000000000000004\r\nWiki\r\n0\r\n\r\n").close(),
                 kCutShort},
        BadReply{"ChunkSizeAtMaximum",
                 Script().send(chunkedHeader() + "FFFFFFFFFFFFFFFF\r\nWiki\r\n0\r\n\r\n").close(),
                 kCutShort, std::uint64_t{1} << 42},
        BadReply{"EmptyChunkedBody", Script().send(chunkedHeader()).close(), kCutShort}),
    [](const testing::TestParamInfo<BadReply>& info) { return std::string(info.param.name); });

// --- failures outside the reply -------------------------------------------------------------

TEST(HttpGet, ClosedPortCannotBeReached) {
    const std::uint16_t port = test::closedLoopbackPort();
    ASSERT_NE(port, 0);
    const Outcome out = get("http://127.0.0.1:" + std::to_string(port) + "/f");
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.error, "cannot reach the update server (" + netErrorText(ECONNREFUSED) + ")");
    EXPECT_EQ(out.body, "");
    EXPECT_EQ(out.status, 0);
}

TEST(HttpGet, UnknownNameCannotBeReached) {
    const Outcome out = get("http://nonexistent.invalid/news.txt");
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.error, "cannot reach the update server (cannot resolve nonexistent.invalid)");
}

TEST(HttpGet, UnansweredConnectTimesOut) {
    test::FullListener listener;
    HttpLimits timeouts;
    timeouts.connectMs = 300;
    const Outcome out = get("http://127.0.0.1:" + std::to_string(listener.port()) + "/f",
                            kDefaultMaxBody, timeouts);
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.error, "cannot reach the update server (timed out)");
    EXPECT_GE(out.seconds, 0.29);
    EXPECT_LT(out.seconds, 2.0);
}

TEST(HttpGet, ServerLeavingWhileRequestIsSentLosesConnection) {
    // A request far larger than the socket buffers, to a server that drops it unread once the
    // connection stands.
    TestServer server(Script().ignoreRequest().pause(100).reset());
    const std::vector<std::string> huge(32, "X-Pad: " + std::string(1 << 20, 'p'));
    const Outcome out = get(server.url("/f"), kDefaultMaxBody, {}, nullptr, {}, huge);
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.error, "connection lost while asking");
    EXPECT_EQ(out.body, "");
}

TEST(HttpGet, SilentServerStopsAnsweringAfterTwentySeconds) {
    TestServer server(Script().hang());
    std::vector<std::uint8_t> body;
    std::string error;
    const auto start = Clock::now();
    EXPECT_FALSE(httpGet(server.url("/f"), body, kDefaultMaxBody, {}, nullptr, error));
    const double seconds = secondsSince(start);
    EXPECT_EQ(error, "the update server stopped answering");
    EXPECT_GT(seconds, 20.0);
    EXPECT_LT(seconds, 21.5);
}

TEST(HttpGet, ServerFallingSilentMidBodyStopsAnswering) {
    TestServer server(
        Script().send(reply("HTTP/1.1 200 OK", {"Content-Length: 100"}, "part")).hang());
    HttpLimits timeouts;
    timeouts.idleMs = 400;
    const Outcome out = get(server.url("/f"), kDefaultMaxBody, timeouts);
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.error, "the update server stopped answering");
    EXPECT_EQ(out.body, "");
    EXPECT_GT(out.seconds, 0.4);
    EXPECT_LT(out.seconds, 1.0);
}

TEST(HttpGet, SlowButSteadyServerIsNotIdle) {
    // Every pause is shorter than the idle limit, all of them together much longer.
    TestServer server(Script()
                          .send(reply("HTTP/1.1 200 OK", {"Content-Length: 8"}, ""))
                          .trickle("12345678", 120)
                          .hang());
    HttpLimits timeouts;
    timeouts.idleMs = 400;
    const Outcome out = get(server.url("/f"), kDefaultMaxBody, timeouts);
    ASSERT_TRUE(out.ok) << out.error;
    EXPECT_EQ(out.body, "12345678");
    EXPECT_GT(out.seconds, 0.8);
}

// --- cancel, progress and the caller's variables --------------------------------------------

TEST(HttpGet, CancelEndsTheCallWithinAPass) {
    struct Case {
        const char* name;
        Script script;
    };
    const Case cases[] = {
        {"trickling", Script()
                          .send(reply("HTTP/1.1 200 OK", {"Content-Length: 1000"}, ""))
                          .trickle(std::string(1000, 't'), 20)},
        {"silent", Script().hang()},
    };
    for (const Case& c : cases) {
        TestServer server(c.script);
        std::atomic<bool> cancel{false};
        Clock::time_point setAt;
        std::thread canceller([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
            setAt = Clock::now();
            cancel = true;
        });
        const Outcome out = get(server.url("/f"), kDefaultMaxBody, {}, &cancel);
        const double late = secondsSince(setAt);
        canceller.join();
        EXPECT_FALSE(out.ok) << c.name;
        EXPECT_EQ(out.error, "cancelled") << c.name;
        EXPECT_EQ(out.body, "") << c.name;
        EXPECT_LT(late, 0.25) << c.name;  // one wait of 100 ms, plus scheduling
    }
}

TEST(HttpGet, ProgressStartsWithTheHeaderAndRepeatsEveryPass) {
    TestServer server(Script()
                          .send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n")
                          .pause(250)
                          .send("\r\nabc")
                          .pause(450)
                          .send("defghij")
                          .hang());
    std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;
    const Outcome out =
        get(server.url("/f"), kDefaultMaxBody, {}, nullptr,
            [&](std::uint64_t got, std::uint64_t total) { calls.emplace_back(got, total); });
    ASSERT_TRUE(out.ok) << out.error;
    ASSERT_GE(calls.size(), 4u);
    // Nothing before the header; then the bytes that came with it, again on every silent pass.
    EXPECT_EQ(calls.front(), std::make_pair(std::uint64_t{3}, std::uint64_t{10}));
    EXPECT_EQ(calls[2], calls.front());
    EXPECT_EQ(calls.back(), std::make_pair(std::uint64_t{10}, std::uint64_t{10}));
}

TEST(HttpGet, ProgressTotalIsZeroWithoutLength) {
    TestServer server(Script().send("HTTP/1.0 200 OK\r\n\r\n12").pause(150).send("345").close());
    std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;
    const Outcome out =
        get(server.url("/f"), kDefaultMaxBody, {}, nullptr,
            [&](std::uint64_t got, std::uint64_t total) { calls.emplace_back(got, total); });
    ASSERT_TRUE(out.ok) << out.error;
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front().first, 2u);
    EXPECT_EQ(calls.back().first, 5u);
    for (const auto& call : calls) EXPECT_EQ(call.second, 0u);
}

TEST(HttpGet, StatusOutHoldsTheReplyStatus) {
    struct Case {
        std::string reply;
        int status;
    };
    const Case cases[] = {
        {okReply("k"), 200},
        {reply("HTTP/1.1 403 Forbidden", {"Content-Length: 0"}, ""), 403},
        {"HTTP/1.1 -7 Odd\r\n\r\n", -7},
        {"garbage\r\n\r\n", 0},
    };
    for (const Case& c : cases) {
        TestServer server(Script().send(c.reply));
        EXPECT_EQ(get(server.url("/f")).status, c.status) << c.reply;
    }
}

TEST(HttpGet, ErrorIsUntouchedOnSuccess) {
    TestServer server(Script().send(okReply("fresh")));
    std::vector<std::uint8_t> body{'s', 't', 'a', 'l', 'e'};
    std::string error = "earlier failure";
    ASSERT_TRUE(httpGet(server.url("/f"), body, kDefaultMaxBody, {}, nullptr, error));
    EXPECT_EQ(std::string(body.begin(), body.end()), "fresh");
    EXPECT_EQ(error, "earlier failure");
}

}  // namespace
}  // namespace kd
