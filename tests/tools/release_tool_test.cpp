// The release tool from the command line, as a publisher uses it, against real folders. Every
// command runs in the test's own folder, so names in commands and messages are relative to it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <tuple>

#include "release/chunks.h"
#include "release/crypto.h"
#include "release/inflate.h"
#include "release/manifest.h"
#include "tests/support/child_process.h"
#include "tests/support/release_fixture.h"
#include "tests/support/temp_dir.h"

namespace kd {
namespace {

namespace fs = std::filesystem;

struct Result {
    int status = -1;
    std::string out, err;
};

// As the launcher unpacks it.
std::string inflateAll(const std::string& packed, std::size_t size) {
    std::vector<std::uint8_t> out;
    auto in = reinterpret_cast<const std::uint8_t*>(packed.data());
    return inflateZlib(in, packed.size(), size, out) ? std::string(out.begin(), out.end()) : "?";
}

class ReleaseTool : public ::testing::Test {
protected:
    std::string command(const std::string& args) const {
        return "cd " + dir.path() + " && " + test::shellQuote(VEILSTONE_RELEASE_TOOL) + " " + args;
    }
    Result run(const std::string& args) {
        Result r;
        r.out = test::runShell(command(args) + " 2>stderr </dev/null", &r.status);
        r.err = get("stderr");
        return r;
    }
    void put(const std::string& n, const std::string& t) { test::writeText(dir / n, t); }
    std::string get(const std::string& name) const { return test::readText(dir / name); }
    Result publish(const std::string& a) { return run("publish --secret k --version 1 " + a); }
    // The signed text's body under the tool's key; empty when it does not verify.
    std::string body(const std::string& name) {
        std::uint8_t key[32];
        std::string body;
        EXPECT_TRUE(hexDecode(publicKey, key, 32) && verifySignedText(get(name), key, body))
            << name;
        return body;
    }
    Manifest served(const std::string& name) {
        Manifest m;
        std::string error;
        EXPECT_TRUE(parseManifest(body(name), m, error)) << name << ": " << error;
        return m;
    }
    // Every object of the served manifest unpacks to the game file it names.
    void expectObjectsHold(const std::string& manifest, const std::string& game) {
        for (const Entry& e : served("server/" + manifest).files) {
            const std::string packed = get("server/objects/" + e.hash);
            EXPECT_EQ(packed.size(), e.packedSize) << e.path;
            EXPECT_TRUE(inflateAll(packed, e.size) == get(game + "/" + e.path)) << e.path;
        }
    }

    test::TempDir dir;
    std::string publicKey = run("keygen --secret k").out.substr(0, 64);
};

// Help on stdout with 0, usage errors as usage on stderr with 2, failures one sentence with 1.
TEST_F(ReleaseTool, KeysSignVerifyAndCheckManifestsAsAPublisherUsesThem) {
    for (const auto& [args, status] : {std::pair{"--help", 0},
                                       {"publish -h", 0},
                                       {"frobnicate", 2},
                                       {"sign --secret k", 2},
                                       {"pubkey --secret missing", 1}}) {
        const Result r = run(args);
        EXPECT_EQ(r.status, status) << args;
        EXPECT_EQ(r.out.rfind("usage: veilstone-release ", 0) == 0, status == 0) << args;
        EXPECT_EQ(r.err.rfind("usage: veilstone-release ", 0) == 0, status == 2) << args;
    }
    const std::string secret = get("k");
    EXPECT_EQ(secret.substr(64), publicKey + "\n");  // seed, then the public key
    EXPECT_EQ(fs::status(dir / "k").permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(run("keygen --secret k").err, "k already exists\n");
    EXPECT_EQ(get("k"), secret);
    EXPECT_EQ(run("pubkey --secret k").out, publicKey + "\n");
    put("edited", secret.substr(0, 127) + (secret[127] == '0' ? "1" : "0") + "\n");
    EXPECT_EQ(run("pubkey --secret edited").err, "the secret key file edited is damaged\n");

    put("news", "# Patch notes\nBetter.\n");
    ASSERT_EQ(run("sign --secret k news news.signed").status, 0);
    EXPECT_EQ(run("sign --secret k news").out, get("news.signed"));  // deterministic
    EXPECT_EQ(run("verify --public " + publicKey + " news.signed").out, "# Patch notes\nBetter.\n");
    const std::string otherKey = run("keygen --secret other").out.substr(0, 64);
    EXPECT_EQ(run("verify --public " + otherKey + " news.signed").err, "not signed by this key\n");
    put("open", "no final line feed");
    EXPECT_EQ(run("sign --secret k open").err, "open does not end with a line feed\n");
    // hash writes what b2sum writes, escapes and all, so that b2sum --check reads it.
    for (const char* name : {"b\\s", "l\nf", "c\rr", "it's"}) put(name, name);
    const std::string names = "- 'b\\s' 'l\nf' 'c\rr' \"it's\" nothere <news";
    const std::string b2sum = test::runShell("cd " + dir.path() + " && b2sum -l 256 " + names);
    EXPECT_EQ(test::runShell(command("hash " + names) + " 2>stderr"), b2sum);
    EXPECT_EQ(get("stderr"), "cannot read nothere\n");

    const std::string head = "veilstone-manifest 1\nplatform linux64\nversion 7\n", lower(64, 'b');
    const std::string upper = "B" + lower.substr(1);
    const std::pair<std::string, std::string> cases[] = {
        {head + "file x\n", "bad file line 4"},
        {head + "file " + upper + " 1 1 a\n", "hash not in lower case for a"},
        {head + "launcher " + upper + " 1 1\n", "the launcher hash is not in lower case"},
        {head + "file " + lower +
             " 1 1 \x9b"
             "2J\nfile " +
             lower +
             " 1 1 \x9b"
             "2J\n",
         "file listed twice: ''$'\\233''2J'"},
    };
    for (const auto& [text, message] : cases) {
        put("m", text);
        EXPECT_EQ(run("check-manifest m").err, message + "\n");
    }
    put("m", head + "serial 4\nfile " + lower + " 10 4 a\nfile " + lower + " 5 2 b\n");
    const std::string sum = "platform linux64\nversion 7\nserial 4\nfiles 2\nsize 15\npacked 6\n";
    EXPECT_EQ(run("check-manifest m").out, sum);
    EXPECT_EQ(run("check-manifest --public " + publicKey + " m").err, "not signed by this key\n");
    run("sign --secret k m m.signed");
    EXPECT_EQ(run("check-manifest --public " + publicKey + " m.signed").out, sum);
}

TEST_F(ReleaseTool, PublishPacksSignsNumbersEachChannelAndWritesObjectsFirst) {
    test::writeGame(dir / "game", {{"veilstone", "#!/bin/sh\necho game\n"},
                                   {"data/level 1.bin", std::string(200000, 'L')},
                                   {"data/copy.bin", std::string(200000, 'L')},  // one object
                                   {"B.txt", ""}});
    put("news", "# News\nno final line feed");
    put("launcher", "launcher v2");
    Result r = publish("--version 1.4 --news news --launcher launcher game server");
    EXPECT_NE(r.out.find(" 4 new objects, 0 reused"), std::string::npos) << r.out << r.err;
    const Manifest live = served("server/manifest-linux64.txt");
    EXPECT_EQ(live.platform + " " + live.version + " " + live.channel, "linux64 1.4 live");
    EXPECT_EQ(live.serial, 1u);
    ASSERT_EQ(live.files.size(), 4u);
    EXPECT_EQ(inflateAll(get("server/objects/" + live.launcher.hash), 11), "launcher v2");
    EXPECT_EQ(body("server/news.txt"), "# News\nno final line feed\n");

    // Each channel counts its own serials; nothing is packed twice.
    EXPECT_NE(publish("game server").out.find(" 0 new objects, 3 reused"), std::string::npos);
    ASSERT_EQ(publish("--channel testing --platform other game server").status, 0);
    const Manifest testing = served("server/testing/manifest-other.txt");
    EXPECT_EQ(testing.channel + std::to_string(testing.serial), "testing1");
    // Unchanged files are not read, one rewritten keeping size and time is; bad objects are redone.
    usleep(300000);
    publish("game server");
    const auto time = fs::last_write_time(dir / "game/veilstone");
    put("game/veilstone", "#!/bin/sh\necho GAME\n");
    fs::last_write_time(dir / "game/veilstone", time);
    r = publish("game server");
    EXPECT_NE(r.out.find("1 new objects, 2 reused, 3 files unchanged"), std::string::npos) << r.out;
    // An object damaged in place, keeping size and time, is redone; killed publishes' parts go.
    const std::string level =
        "server/objects/" + served("server/manifest-linux64.txt").files[2].hash;
    std::string damaged = get(level);
    damaged[damaged.size() / 2] ^= 1;
    const auto objectTime = fs::last_write_time(dir / level);
    put(level, damaged);
    fs::last_write_time(dir / level, objectTime);
    put(level + ".4242-0.part", "debris");
    put("server/manifest-linux64.txt.4242-1.part", "debris");
    r = publish("--quiet game server");
    EXPECT_EQ(r.status + r.out.size(), 0u) << r.out;
    EXPECT_EQ(r.err, "warning: " + level + " was damaged and is written again; upload it again\n");
    EXPECT_EQ(served("server/manifest-linux64.txt").serial, 5u);
    expectObjectsHold("manifest-linux64.txt", "game");
    for (const auto& entry : fs::recursive_directory_iterator(dir / "server"))
        EXPECT_EQ(entry.path().string().find(".part"), std::string::npos) << entry.path();
    // One wrong digit in the cache: a damaged cache is dropped with a warning, a record that
    // disagrees with its file (its check made good again) is only a miss. The record is B.txt's,
    // untouched since the first publish: a file changed within the last moment has none yet.
    const std::string cache = get("server/.publish-cache");
    const std::size_t digit = cache.find(" " + served("server/manifest-linux64.txt").files[0].hash);
    ASSERT_NE(digit, std::string::npos) << cache;
    for (const bool checked : {false, true}) {
        std::string text = cache;
        text[digit + 1] = text[digit + 1] == '0' ? '1' : '0';
        const std::string body = text.substr(0, text.rfind("check "));
        put("server/.publish-cache",
            checked ? body + "check " + hashBuffer(body.data(), body.size()) + "\n" : text);
        r = publish("--quiet game server");
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, checked ? ""
                                 : "warning: the publish cache server/.publish-cache is damaged; "
                                   "every file is read and every object checked again\n");
        expectObjectsHold("manifest-linux64.txt", "game");
    }

    // An object that cannot be written fails the publish before either text changes.
    const std::string manifest = get("server/manifest-linux64.txt"), news = get("server/news.txt");
    put("game/new", "new");
    put("server/objects/" + hashBuffer("new", 3) + "/in-the-way", "");
    EXPECT_EQ(publish("--news launcher game server").err,
              "cannot write server/objects/" + hashBuffer("new", 3) + "\n");
    EXPECT_EQ(get("server/manifest-linux64.txt"), manifest);
    EXPECT_EQ(get("server/news.txt"), news);

    // A big file goes in chunks as well as whole, for the launchers that read only "file" lines:
    // a byte inserted in its middle costs a chunk or two, and unchanged it is not read again.
    std::string pak = test::noise(8 << 20, 7), error;
    std::set<std::string> before;
    for (const int round : {0, 1, 2}) {
        if (round == 1) pak.insert(pak.size() / 2, 1, 'x');
        if (round < 2) put("big/pak", pak);
        usleep(200000);  // for the cache to trust the file's times
        r = publish("--platform big big server");
        const Manifest m = served("server/manifest-big.txt");
        ASSERT_EQ(m.files.size(), 1u);
        const Entry& e = m.files[0];
        std::vector<Chunk> chunks;
        const std::string list = inflateAll(get("server/objects/" + e.chunksHash), e.chunksSize);
        ASSERT_TRUE(parseChunkList(list, e, chunks, error)) << error;
        std::string joined;
        std::size_t shared = 0;
        for (const Chunk& c : chunks) {
            const std::string packed = get("server/objects/" + c.hash);
            EXPECT_EQ(packed.size(), c.packedSize);
            joined += inflateAll(packed, c.size);
            shared += before.erase(c.hash);
        }
        EXPECT_EQ(hashBuffer(joined.data(), joined.size()), e.hash);
        if (round == 1) EXPECT_GE(shared + 2, chunks.size());
        if (round == 2) EXPECT_NE(r.out.find(" 0 new objects, "), std::string::npos) << r.out;
        if (round == 2) EXPECT_NE(r.out.find(" 1 files unchanged"), std::string::npos) << r.out;
        for (const Chunk& c : chunks) before.insert(c.hash);
        expectObjectsHold("manifest-big.txt", "big");
        std::string text = body("server/manifest-big.txt");
        const std::size_t line = text.find("\nchunks ") + 1;
        Manifest old, whole = m;
        ASSERT_TRUE(parseManifest(text.erase(line, text.find('\n', line) + 1 - line), old, error));
        whole.files[0] = Entry{e.hash, e.size, e.packedSize, e.path};
        EXPECT_EQ(old, whole);
    }
}

TEST_F(ReleaseTool, PublishRefusesReleasesThatWouldHurtPlayersAndWritesNothing) {
    const std::string owned = "cannot publish a name the launcher keeps for itself: ";
    const std::string none =
        "the game folder holds no files; give --allow-empty to publish an empty release";
    const std::string inside = "the server folder must not be the game folder or inside it";
    // 17 folders, 3,400 bytes: with a name of 184 bytes the longest path a release may hold.
    std::string deep;
    for (int i = 0; i < 17; ++i) deep += std::string(199, 'd') + "/";
    // A shell command that spoils the game folder g (which holds the file a), the server folder.
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"ln -s a g/link", "s", "cannot publish a symbolic link: link"},
        {"mkfifo g/pipe", "s", "cannot publish a special file: pipe"},
        {"touch 'g/a\\b'", "s", "cannot publish a file under this name: 'a\\b'"},
        {"touch 'g/ x'", "s", "cannot publish a file under this name: ' x'"},
        {"ln -s a \"g/$(printf '\\033[2J')\"", "s",
         "cannot publish a symbolic link: ''$'\\033''[2J'"},
        {"mkfifo \"g/it's\"", "s", "cannot publish a special file: \"it's\""},
        {"touch g/" + std::string(240, 'n'), "s",
         "cannot publish a name longer than 239 bytes: " + std::string(240, 'n')},
        {"mkdir -p g/" + deep + " && touch g/" + deep + std::string(185, 'f'), "s",
         "cannot publish a path longer than 3584 bytes: " + deep + std::string(185, 'f')},
        {"mkdir g/.staging", "s", owned + ".staging"},
        {"rm g/a", "s", none},
        {"rm g/a && mkdir -p g/d/e", "s", none},
        {"true", "g", inside},
        {"true", "g/server", inside},
        {"mkdir g/d", "g/d/../d/./s", inside},
    };
    std::vector<std::tuple<std::string, std::string, std::string>> table(std::begin(cases),
                                                                         std::end(cases));
    for (const std::string& path : test::kLauncherOwnedPaths) {
        // A folder is refused before what it holds.
        const std::string refused = path.starts_with(".staging/") ? ".staging" : path;
        table.emplace_back("mkdir -p $(dirname g/" + path + ") && touch g/" + path, "s",
                           owned + refused);
    }
    auto spoil = [&](const std::string& how) {
        test::runShell("cd " + dir.path() + " && rm -rf g s && mkdir g && echo a >g/a && " + how);
    };
    for (const auto& [how, server, message] : table) {
        spoil(how);
        Result r = publish("g " + server);
        EXPECT_EQ(r.status, 1) << how;
        EXPECT_EQ(r.err, message + "\n");
        EXPECT_FALSE(fs::exists(dir / (server + "/objects"))) << how;
    }
    EXPECT_EQ(publish("--version '1 beta' g s").err, "the version must be one word\n");
    // An empty release when asked for; the game folder may be reached through a link.
    spoil("rm g/a");
    EXPECT_EQ(publish("--allow-empty g s").status, 0);
    EXPECT_TRUE(served("s/manifest-linux64.txt").files.empty());
    spoil("mkdir -p g/" + deep + " && touch g/" + deep + std::string(184, 'f') + " g/" +
          std::string(239, 'n'));
    EXPECT_EQ(publish("g s").status, 0);
    spoil("ln -s g linked");
    EXPECT_EQ(publish("linked s").status, 0);
    EXPECT_EQ(served("s/manifest-linux64.txt").files.at(0).path, "a");
}

// The launcher executable carries the URL it was built with; the first one published, and any
// with the same URL, go out as they are.
TEST_F(ReleaseTool, PublishAsksBeforeALauncherMovesPlayersToAnotherServer) {
    const std::string built = test::readText(VEILSTONE_LAUNCHER), url = VEILSTONE_SERVER_URL;
    const std::string other = "http://moved.example/";
    const std::size_t found = built.find(url);
    ASSERT_NE(found, std::string::npos);
    const std::string launcher = built.substr(found < 4096 ? 0 : found - 4096, 8192);  // quick
    const std::size_t at = launcher.find(url);
    put("l1", launcher);
    put("l2", launcher + "2");
    put("moved", launcher.substr(0, at) + other + launcher.substr(at + url.size()));
    put("none", "no url\n");
    put("g/a", "a");
    const std::string ask = "; give --launcher-server-ok to publish it all the same";
    const std::pair<std::string, std::string> steps[] = {
        {"l1", ""},
        {"l2", ""},
        {"moved", "moved names the server " + other + ", but players' launchers name " + url},
        {"none", "cannot find the server url in none"},
        {"l1", "cannot find the server url in the launcher players have"},
    };
    for (const auto& [file, problem] : steps) {
        const std::string before = get("s/manifest-linux64.txt");
        Result r = publish("--launcher " + file + " g s");
        EXPECT_EQ(r.err, problem.empty() ? "" : problem + ask + "\n") << file;
        if (problem.empty()) continue;
        EXPECT_EQ(get("s/manifest-linux64.txt"), before);
        r = publish("--launcher-server-ok --launcher " + file + " g s");
        EXPECT_EQ(std::to_string(r.status) + r.err, "0warning: " + problem + "\n");
    }
}

// One waits for the other: both succeed, and their serials rise one by one.
TEST_F(ReleaseTool, TwoPublishesIntoOneServerFolderAtOnceBothSucceed) {
    for (int i = 0; i < 24; ++i) put("g/" + std::to_string(i), test::noise(60000, i));
    const std::string both =
        "(" + command("publish --secret k --version 1 g server") + "; echo $? >s1) & (" +
        command("publish --secret k --version 2 g server") + "; echo $? >s2); wait";
    for (int round = 0; round < 3; ++round) {
        fs::remove_all(dir / "server/objects");  // both pack every object again
        test::runShell("(" + both + ") >/dev/null 2>&1");
        EXPECT_EQ(get("s1") + get("s2"), "0\n0\n") << "round " << round;
    }
    expectObjectsHold("manifest-linux64.txt", "g");
    EXPECT_EQ(served("server/manifest-linux64.txt").serial, 6u);
}

}  // namespace
}  // namespace kd
