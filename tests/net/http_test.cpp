// The HTTP client against a scripted in-process server: every reply a server may send, right or
// wrong, the sentences a user sees, the limits on time and size, and the body handed on in order.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <span>
#include <thread>

#include "net/http_internal.h"
#include "net/socket.h"
#include "tests/support/fault_server.h"
#include "tests/support/release_fixture.h"

namespace kd {
namespace {

using test::okReply;
using test::reply;
using test::Script;

struct Outcome {
    bool ok = false;
    std::string body, error;
    int status = -1;
    double seconds = 0;
    std::size_t largestPiece = 0;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> progress;
};

struct Call {
    std::uint64_t maxBody = 1 << 20;
    HttpLimits limits{1000, 1000, 60000, 0};
    int cancelAfterMs = -1;
    std::vector<std::string> headers = {};
};

Outcome get(const std::string& url, const Call& call = {}) {
    Outcome out;
    out.error = "untouched";
    std::atomic<bool> cancel{false};
    std::thread canceller([&] {
        if (call.cancelAfterMs < 0) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(call.cancelAfterMs));
        cancel = true;
    });
    const BodySink sink = [&](const std::uint8_t* data, std::size_t length, std::string&) {
        out.body.append(reinterpret_cast<const char*>(data), length);
        out.largestPiece = std::max(out.largestPiece, length);
        return true;
    };
    const auto start = std::chrono::steady_clock::now();
    const auto progress = [&](std::uint64_t got, std::uint64_t all) {
        out.progress.emplace_back(got, all);
    };
    out.ok = httpGetWithLimits(call.limits, url, call.maxBody, sink, progress, &cancel, out.error,
                               call.headers, &out.status);
    out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    canceller.join();
    return out;
}

Outcome get(const Script& script, const Call& call = {}) {
    test::FaultServer server(script);
    return get(server.url("/dir/f.txt?v=1"), call);
}

// Replies that hang on show that their end was recognised without waiting for a close.
Script hang(std::string bytes) { return Script().send(std::move(bytes)).hang(); }
Script shut(std::string bytes) { return Script().send(std::move(bytes)).close(); }
std::string with(std::string field, std::string_view body, const char* status = "200 OK") {
    return reply(std::string("HTTP/1.1 ") + status, {std::move(field)}, body);
}
std::string header(std::size_t bytes) {  // a 200 header of exactly this size
    return with("X-Pad: " + std::string(bytes - 28, 'p'), "");
}

const std::string kChunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
const std::string kLengthless = "HTTP/1.0 200 OK\r\n\r\n";
const std::string kFraming = "1;" + std::string(30000, 'e') + "\r\nx\r\n";
const std::string kTooLarge = "file larger than expected", kCut = "download cut short",
                  kHungUp = "the update server hung up", kNotHttp = "not an HTTP reply";
constexpr std::uint64_t kHuge = std::uint64_t{1} << 42;

struct Row {
    Script script;
    std::string expect;  // the body, or the error of a failure
    std::uint64_t maxBody = 1 << 20;
};

TEST(HttpGet, RepliesGiveTheirBodyOrTheirSentenceAtOnce) {
    const std::string cl10 = "Content-Length: 10", pieces = kChunked + "4;x=1\r\nWiki\r\n e \r\n";
    const std::string big = test::noise(3 << 20, 7);
    const Row bodies[] = {
        {hang(okReply("0123456789")), "0123456789"},
        {hang(okReply("")), ""},
        {shut(kLengthless + "hello"), "hello"},
        {Script().trickle(okReply("abcde"), 30, 4).hang(), "abcde"},  // split everywhere
        {hang(with("CONTENT-LENGTH: 3", "abc")), "abc"},
        {shut(with("Content-Length : 3", "abcdef")), "abcdef"},
        {hang(reply("HTTP/1.1 200", {"Content-Length: 9", "Content-Length: 3"}, "abc")), "abc"},
        {hang(okReply("12345678")), "12345678", 8},
        {shut(pieces + ", then the 2nd\r\n0\r\nT: x\r\n\r\n"), "Wiki, then the 2nd"},
        {shut(reply("HTTP/1.1 200 OK", {"Content-Length: 2", "transfer-encoding: gzip, Chunked"},
                    "3\r\nabc\r\n0\r\n\r\n")),
         "abc"},
        {Script().send(kChunked).trickle("2\r\nhi\r\n0\r\n\r\n", 3), "hi"},
        {shut(kChunked + "300000\r\n" + big + "\r\n0\r\n\r\n"), big, big.size()},
        {shut(header(kMaxHeaderBytes) + "body"), "body"},
    };
    const Row failures[] = {
        {hang("ICY 200 OK\r\n\r\nabc"), kNotHttp},
        {hang("HTTP/2 200\r\n\r\n"), kNotHttp},
        {hang(with("Content-Length: 0", "", "404 No")), "not on the update server: /dir/f.txt?v=1"},
        {hang(with("Location: /x", "", "301 Moved")), "the update server said 301"},
        {hang("HTTP/1.1\r\n\r\n"), "the update server said 0"},
        {hang("HTTP/1.1 4294967496 OK\r\n\r\n"), "the update server said 2147483647"},
        {shut(header(kMaxHeaderBytes + 1) + "body"), "reply header too long"},
        {Script().trickle(std::string(70000, 'h'), 0, 7000).hang(), "reply header too long"},
        {hang(okReply("123456789")), kTooLarge, 8},
        {hang(with("Content-Length: 18446744073709551626", "0")), kTooLarge},
        {hang(kLengthless + std::string(70000, 'z')), kTooLarge, 1000},
        {hang(kLengthless + "123456789"), kTooLarge, 8},
        {hang(kChunked + "9\r\n123456789\r\n0\r\n\r\n"), kTooLarge, 8},
        {hang(kChunked + kFraming + kFraming + kFraming), kTooLarge, 100},
        {Script().close(), kHungUp},
        {Script().reset(), kHungUp},
        {shut("HTTP/1.1 200 OK\r\nContent-Le"), kHungUp},
        {hang(with(cl10, "0123456789ab")), kCut},
        {shut(with(cl10, "01234")), kCut},
        {shut(with("Content-Length: 4398046511104", "0")), kCut, kHuge},
        {Script().send(kLengthless + "abc").pause(100).reset(), kCut},
        {shut(kChunked + "20\r\nabc\r\n0\r\n\r\n"), kCut},
        {shut(kChunked + "3\r\nabc"), kCut},
        {shut(pieces), kCut},
        {shut(kChunked), kCut},
        {hang(kChunked + "zz\r\nab\r\n0\r\n\r\n"), kCut},
        {hang(kChunked + "100000000000000004\r\nWiki\r\n"), kCut},
        {shut(kChunked + "FFFFFFFFFFFFFFFF\r\nWiki\r\n0\r\n\r\n"), kCut, kHuge},
        {hang(kChunked + std::string(70000, '1')), kCut},
    };
    for (const bool ok : {true, false}) {
        for (const Row& row : ok ? std::span<const Row>(bodies) : std::span<const Row>(failures)) {
            const Outcome out = get(row.script, Call{row.maxBody});
            EXPECT_EQ(ok ? out.body : out.error, row.expect) << out.error;
            EXPECT_EQ(out.ok, ok);
            if (ok) EXPECT_EQ(out.error, "untouched");
            EXPECT_LT(out.seconds, 0.9) << row.expect;  // none waits for the idle limit
            EXPECT_LE(out.largestPiece, kReceiveBufferBytes);
        }
    }
}

TEST(HttpGet, RefusesBadAddressesAndSendsTheExactRequest) {
    for (const char* url : {"https://h/", "HTTP://h/", "http:/h/", "http://", "http://:80/",
                            "http://h:0/", "http://h:65536/", "http://h:8o/", "http://h/a b"})
        EXPECT_EQ(get(url).error, std::string("bad address ") + url);
    EXPECT_EQ(get(std::string("http://h\0st/", 12)).error, "bad address http://h?st/");

    test::FaultServer server(hang(okReply("")));
    Call call{1, {}, -1, {"X-Veilstone-Key: k1", "X-Two: 2"}};
    ASSERT_TRUE(get(server.url("/a/b?c=d"), call).ok);
    EXPECT_EQ(server.requests().at(0).raw,
              "GET /a/b?c=d HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port()) +
                  "\r\nUser-Agent: VeilstoneLauncher\r\nAccept-Encoding: identity\r\n"
                  "X-Veilstone-Key: k1\r\nX-Two: 2\r\nConnection: close\r\n\r\n");
    call.headers = {"X-Evil: 1\r\nX-Smuggled: 2"};
    EXPECT_EQ(get(server.url("/"), call).error, "bad request header");
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST(HttpGet, ConnectionFailuresNameTheReason) {
    test::FullListener full;
    // A port whose server has gone, a name that cannot resolve, a queue that answers no one.
    const std::pair<std::string, std::string> cases[] = {
        {"127.0.0.1:" + std::to_string(test::FaultServer("").port()), netErrorText(ECONNREFUSED)},
        {"nonexistent.invalid", "cannot resolve nonexistent.invalid"},
        {"127.0.0.1:" + std::to_string(full.port), "timed out"}};
    for (const auto& [authority, reason] : cases) {
        const Outcome out = get("http://" + authority + "/f", Call{1, {300}});
        EXPECT_EQ(out.error, "cannot reach the update server (" + reason + ")");
        EXPECT_EQ(out.status, 0);
        EXPECT_LT(out.seconds, 2.0);
    }
    // A request far larger than the socket buffers, to a server that drops it unread.
    const Call huge{1, {}, -1, std::vector<std::string>(32, "X: " + std::string(1 << 20, 'p'))};
    EXPECT_EQ(get(Script().ignoreRequest().pause(100).reset(), huge).error,
              "connection lost while asking");
}

// Silence, a trickle and a cancel each end the call within a pass of their limit; a slow but
// steady server is neither idle nor too slow.
TEST(HttpGet, GivesUpOnSilenceTrickleAndCancelButNotOnASlowServer) {
    const std::string head = with("Content-Length: 10000", "");
    const Script trickle = Script().send(head).trickle(std::string(100, 't'), 50);
    const Script steady = Script().send(head).trickle(std::string(10000, 's'), 50, 500);
    const struct {
        Script script;
        HttpLimits limits;
        int cancelAfterMs;
        std::string error;
        double from, to;
    } cases[] = {
        {hang(""), {1000, 400}, -1, "the update server stopped answering", .4, .75},
        {hang(head + "part"), {1000, 400}, -1, "the update server stopped answering", .4, .75},
        {trickle, {1000, 400, 500, 2000}, -1, "the update server is too slow", .5, .85},
        {hang(""), {}, 400, "cancelled", .4, .7},
        {steady, {1000, 400, 300, 2000}, -1, "", .9, 2.0},
    };
    for (const auto& c : cases) {
        const Outcome out = get(c.script, Call{1 << 20, c.limits, c.cancelAfterMs});
        EXPECT_EQ(out.ok ? "" : out.error, c.error);
        EXPECT_TRUE(out.seconds >= c.from && out.seconds < c.to) << c.error << out.seconds;
    }
}

// A sink's refusal and its sentence end the call; httpGet keeps nothing of a failed body.
TEST(HttpGet, TheSinksRefusalEndsTheCallWithItsSentence) {
    test::FaultServer server(hang(with("Content-Length: 10", "0123")));
    std::string error = "before";
    int status = -1, calls = 0;
    const BodySink full = [&](const std::uint8_t*, std::size_t, std::string& why) {
        why = "the disk is full";
        return ++calls > 1;
    };
    EXPECT_FALSE(httpGetStream(server.url("/f"), 10, full, {}, nullptr, error, {}, &status));
    EXPECT_EQ(error, "the disk is full");
    EXPECT_EQ(status, 200);
    std::vector<std::uint8_t> body{'o', 'l', 'd'};
    EXPECT_FALSE(httpGet(server.url("/f"), body, 3, {}, nullptr, error));
    EXPECT_TRUE(error == kTooLarge && body.empty());
    EXPECT_EQ(get(shut(kLengthless + "12")).progress.back(), std::make_pair(2ul, 0ul));
}

// A disk slower than the link leaves bytes waiting after every pass. Each pass must still end
// within its step, or the cancel and the progress reports would wait for the whole body.
TEST(HttpGet, CancelAndProgressStayPromptWhileAFastServerStreams) {
    using Clock = std::chrono::steady_clock;
    const auto seconds = [](Clock::duration d) { return std::chrono::duration<double>(d).count(); };
    const std::string body(32 << 20, 'f');
    test::FaultServer server(hang(okReply(body)));
    const BodySink slowDisk = [](const std::uint8_t*, std::size_t, std::string&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return true;
    };
    std::atomic<bool> cancel{false};
    Clock::time_point last{}, cancelledAt{};
    double longestGap = 0;
    const ProgressFn progress = [&](std::uint64_t got, std::uint64_t all) {
        EXPECT_EQ(all, body.size());
        if (cancel) return;
        if (last != Clock::time_point{})
            longestGap = std::max(longestGap, seconds(Clock::now() - last));
        last = Clock::now();
        if (got < (8 << 20)) return;
        cancelledAt = last;
        cancel = true;
    };
    std::string error;
    EXPECT_FALSE(httpGetStream(server.url("/"), body.size(), slowDisk, progress, &cancel, error));
    EXPECT_EQ(error, "cancelled");
    EXPECT_LT(seconds(Clock::now() - cancelledAt), 0.25);
    EXPECT_LT(longestGap, 0.25);
}

}  // namespace
}  // namespace kd
