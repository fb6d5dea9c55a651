// The HTTP client against a scripted in-process server and a real nginx with TLS: every reply a
// server may send, right or wrong, redirects, certificates, the sentences a user sees, the limits
// on time and size, and the body handed on in order.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <span>
#include <thread>
#include <tuple>

#include "net/http_internal.h"
#include "net/socket.h"
#include "tests/support/fault_server.h"
#include "tests/support/nginx_server.h"
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
    std::uint64_t from = 0;
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
                               call.headers, &out.status, call.from);
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
Script moved(const char* status, const std::string& to) {
    return hang(with("Location: " + to, "", status));
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
    std::uint64_t from = 0;  // the first body byte asked for
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
        {hang(pieces + ", then the 2nd\r\n0\r\nT: x\r\n\r\n"), "Wiki, then the 2nd"},
        {hang(reply("HTTP/1.1 200 OK", {"Content-Length: 2", "transfer-encoding: gzip, Chunked"},
                    "3\r\nabc\r\n0\r\n\r\n")),
         "abc"},
        {Script().send(kChunked).trickle("2\r\nhi\r\n0\r\n\r\n", 3).hang(), "hi"},
        {shut(kChunked + "2\r\nhi\r\n0\r\n"), "hi"},
        {hang(kChunked + "300000\r\n" + big + "\r\n0\r\n\r\n"), big, big.size()},
        {shut(header(kMaxHeaderBytes) + "body"), "body"},
        {hang(reply("HTTP/1.1 206 Partial", {"Content-Range: bytes 3-9/10 ", "Content-Length: 7"},
                    "3456789")),
         "3456789", 10, 3},
        {hang(okReply("0123456789")), "3456789", 10, 3},  // the whole, when ranges are not kept
        {Script().send(kChunked).trickle("4\r\nWiki\r\n3\r\n-wo\r\n0\r\n\r\n", 2).hang(), "i-wo",
         1 << 20, 3},
    };
    const std::string wrongPart = "the update server sent the wrong part of a file";
    const auto partial = [](const char* range, std::string_view body) {
        return shut(reply("HTTP/1.1 206 Partial", {std::string("Content-Range: ") + range}, body));
    };
    const Row failures[] = {
        {hang("ICY 200 OK\r\n\r\nabc"), kNotHttp},
        {hang("HTTP/2 200\r\n\r\n"), kNotHttp},
        {hang(with("Content-Length: 0", "", "404 No")), "not on the update server: /dir/f.txt?v=1"},
        {moved("301 Moved", "/x"), "the update server redirected too many times"},
        {moved("302 Found", "ftp://x/"), "the update server redirected to a bad address"},
        {moved("303 See Other", "/x"), "the update server said 303"},
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
        {hang(kChunked + "0\r\n" + std::string(70000, 't')), kCut},
        {partial("bytes 3-9/10", "3456789"), "the update server said 206"},  // none was asked
        {partial("bytes 4-9/10", "456789"), wrongPart, 10, 3},
        {partial("bytes 3-8/10", "345678"), wrongPart, 10, 3},
        {partial("bytes 3-9/*", "3456789"), wrongPart, 10, 3},
        {partial("bytes 3-10/11", "34567890"), wrongPart, 10, 3},
        {partial("3-9/10", "3456789"), wrongPart, 10, 3},
        {hang(with("Content-Length: 8", "3456789", "206 Partial")), wrongPart, 10, 3},
        {hang(okReply("0123456789")), kTooLarge, 9, 3},
    };
    for (const bool ok : {true, false}) {
        for (const Row& row : ok ? std::span<const Row>(bodies) : std::span<const Row>(failures)) {
            const Outcome out = get(row.script, Call{.maxBody = row.maxBody, .from = row.from});
            EXPECT_EQ(ok ? out.body : out.error, row.expect) << out.error;
            EXPECT_EQ(out.ok, ok);
            if (ok) EXPECT_EQ(out.error, "untouched");
            EXPECT_LT(out.seconds, 0.9) << row.expect;  // none waits for the idle limit
            EXPECT_LE(out.largestPiece, kReceiveBufferBytes);
        }
    }
}

TEST(HttpGet, RefusesBadAddressesAndSendsTheExactRequest) {
    for (const char* url :
         {"https:/h/", "HTTPS://h/", "HTTP://h/", "http:/h/", "http://", "http://:80/",
          "http://h:0/", "http://h:65536/", "http://h:8o/", "http://h/a b"})
        EXPECT_EQ(get(url).error, std::string("bad address ") + url);
    EXPECT_EQ(get(std::string("http://h\0st/", 12)).error, "bad address http://h?st/");

    test::FaultServer server(hang(okReply("")));
    Call call{1, {}, -1, {"X-Veilstone-Key: k1", "X-Two: 2"}};
    call.from = 7;
    ASSERT_TRUE(get(server.url("/a/b?c=d"), call).ok);
    EXPECT_EQ(
        server.requests().at(0).raw,
        "GET /a/b?c=d HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port()) +
            "\r\nUser-Agent: VeilstoneLauncher\r\nAccept-Encoding: identity\r\n"
            "X-Veilstone-Key: k1\r\nX-Two: 2\r\nRange: bytes=7-\r\nConnection: close\r\n\r\n");
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

// Silence, a trickle (even after a fast start) and a cancel each end the call within a pass of
// their limit; a slow but steady server is neither idle nor too slow.
TEST(HttpGet, GivesUpOnSilenceTrickleAndCancelButNotOnASlowServer) {
    const std::string head = with("Content-Length: 10000", "");
    const Script trickle = Script().send(head).trickle(std::string(100, 't'), 50);
    const Script fastStart =
        Script().send(head + std::string(5000, 'f')).trickle(std::string(100, 't'), 50);
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
        {trickle, {1000, 400, 500, 100}, -1, "the update server is too slow", .5, .85},
        {fastStart, {1000, 400, 500, 100}, -1, "the update server is too slow", .5, .9},
        {hang(""), {}, 400, "cancelled", .4, .7},
        {steady, {1000, 400, 300, 100}, -1, "", .9, 2.0},
    };
    for (const auto& c : cases) {
        const Outcome out = get(c.script, Call{1 << 20, c.limits, c.cancelAfterMs});
        EXPECT_EQ(out.ok ? "" : out.error, c.error);
        EXPECT_TRUE(out.seconds >= c.from && out.seconds < c.to) << c.error << out.seconds;
    }
}

// Redirects are followed five times at most, to any path or host; the caller's header lines only
// go to the server it asked.
TEST(HttpGet, FollowsRedirectsButSendsTheKeyOnlyToItsOwnServer) {
    test::FaultServer home(""), other(hang(okReply("elsewhere")));
    home.play("/d/ok", hang(okReply("here")));
    for (int i = 0; i < 6; ++i)
        home.play("/n" + std::to_string(i), moved("308 P", "/n" + std::to_string(i + 1)));
    home.play("/n6", hang(okReply("five")));
    home.play("/abs", moved("301 M", home.url("/d/ok")));
    home.play("/d/rel", moved("302 F", "ok#part"));
    home.play("/away", moved("307 T", "//localhost:" + std::to_string(other.port()) + "/f"));
    home.play("/gone", moved("302 F", "http://127.0.0.1:1/"));
    // The status is the last server's: 0 when it never replied.
    const std::tuple<const char*, std::string, int> cases[] = {
        {"/abs", "here", 200},
        {"/d/rel", "here", 200},
        {"/n1", "five", 200},
        {"/away", "elsewhere", 200},
        {"/n0", "the update server redirected too many times", 308},
        {"/gone", "cannot reach the update server (" + netErrorText(ECONNREFUSED) + ")", 0}};
    for (const auto& [path, expect, status] : cases) {
        const Outcome out = get(home.url(path), Call{1 << 20, {}, -1, {"X-Veilstone-Key: k1"}});
        EXPECT_EQ(out.ok ? out.body : out.error, expect);
        EXPECT_EQ(out.status, status) << path;
    }
    for (const auto& request : home.requests())
        EXPECT_NE(request.raw.find("\r\nX-Veilstone-Key: k1\r\n"), std::string::npos);
    ASSERT_EQ(other.requests().size(), 1u);
    EXPECT_EQ(other.requests()[0].raw.find("X-Veilstone-Key"), std::string::npos);
}

// Certificates from the system's trust store, here a root of the test's own named by
// SSL_CERT_FILE, and for the host asked; a handshake that stalls or trickles is cut within the
// connect time-out; redirects never lead from https to http nor take the key to another host.
TEST(HttpGet, HttpsNeedsATrustedCertificateForTheHostAndStaysSecure) {
    test::TempDir dir;
    test::TestCa ca(dir / "ca"), stranger(dir / "stranger");
    ASSERT_TRUE(ca.ok() && stranger.ok());
    setenv("SSL_CERT_FILE", ca.rootFile().c_str(), 1);
    const std::string big = test::noise(3 << 20, 9);
    test::writeText(dir / "site/f.bin", big);
    test::writeText(dir / "site/testing/f.txt", "for testers");
    std::vector<std::unique_ptr<test::NginxServer>> servers;
    for (const test::TlsFiles& files :
         {ca.issue("good"), ca.issue("expired", "DNS:localhost,IP:127.0.0.1", -1),
          ca.issue("other", "DNS:update.example"), stranger.issue("good")}) {
        servers.push_back(std::make_unique<test::NginxServer>(dir / "site", "k1"));
        servers.back()->serveTls(files);
        servers.back()->redirect("/hop", 301, "/testing/f.txt");
        servers.back()->redirect("/away", 302, "https://127.0.0.1:$server_port/testing/f.txt");
        servers.back()->redirect("/down", 307, "http://127.0.0.1:1/f.bin");
        ASSERT_TRUE(servers.back()->start()) << servers.back()->errorLog();
    }
    const test::NginxServer &good = *servers[0], &expired = *servers[1], &other = *servers[2],
                            &untrusted = *servers[3];
    test::FaultServer stall(Script().ignoreRequest().hang());
    test::FaultServer trickle(
        Script().ignoreRequest().send("\x16\x03\x03\x10\x10").trickle(std::string(60, 'x'), 50));
    const auto https = [](std::uint16_t port) {
        return "https://127.0.0.1:" + std::to_string(port) + "/";
    };
    const std::string noSecure = "a secure connection could not be made";
    const struct {
        std::string url, expect;
        int cancelAfterMs = -1;
        double from = 0;
        std::uint64_t maxBody = 4 << 20;
    } cases[] = {
        {good.secureUrl() + "f.bin", big},
        {good.secureUrl("127.0.0.1") + "testing/f.txt", "for testers"},
        {good.secureUrl() + "hop", "for testers"},
        {good.secureUrl() + "away", "the update server said 403"},
        {good.secureUrl() + "down", "the update server redirected to an insecure address"},
        {good.secureUrl() + "f.bin", kTooLarge, -1, 0, 1000},
        {expired.secureUrl(), "the update server's certificate has expired"},
        {other.secureUrl(), "the update server's certificate is for another name"},
        {other.secureUrl("127.0.0.1"), "the update server's certificate is for another name"},
        {untrusted.secureUrl(), "the update server's certificate is not trusted"},
        {https(good.port()), noSecure},
        {https(stall.port()), noSecure, -1, .95},
        {https(trickle.port()), noSecure, -1, .95},
        {https(stall.port()), "cancelled", 300, .3},
    };
    for (const auto& c : cases) {
        const Outcome out =
            get(c.url,
                Call{c.maxBody, {1000, 1000, 60000, 0}, c.cancelAfterMs, {"X-Veilstone-Key: k1"}});
        EXPECT_EQ(out.ok ? out.body : out.error, c.expect) << c.url;
        EXPECT_TRUE(out.seconds >= c.from && out.seconds < c.from + 0.5) << c.url << out.seconds;
    }
    // The key went with every request to localhost, never to 127.0.0.1 after a redirect.
    for (const std::string& line : good.accessLog())
        EXPECT_EQ(line.ends_with(" -"), line.starts_with("40")) << line;
    // A connection serves the next request to its server; one the server closed is not used.
    const std::size_t connections = good.connections(), requests = good.accessLog().size();
    for (int round = 0; round < 3; ++round) {
        if (round == 2) servers[0]->stop();
        ASSERT_TRUE(servers[0]->start());
        const Outcome out = get(good.secureUrl() + "f.bin", Call{4 << 20});
        EXPECT_TRUE(out.ok && out.body == big) << round << out.error;
    }
    EXPECT_EQ(good.connections() - connections, 2u);
    EXPECT_EQ(good.accessLog().size() - requests, 3u);
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
