// The release tool from the command line, as a publisher uses it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <zlib.h>

#include <filesystem>
#include <functional>

#include "release/crypto.h"
#include "release/manifest.h"
#include "tests/support/temp_dir.h"

namespace kd {
namespace {

namespace fs = std::filesystem;
using test::readText;
using test::TempDir;
using test::writeText;

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

std::string quote(const std::string& arg) {
    std::string quoted = "'";
    for (char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

class ReleaseTool : public ::testing::Test {
protected:
    Result run(const std::vector<std::string>& args) {
        std::string command = VEILSTONE_RELEASE_TOOL;
        for (const std::string& arg : args) command += " " + quote(arg);
        command += " >" + quote(dir / "stdout") + " 2>" + quote(dir / "stderr") + " </dev/null";
        Result result;
        int status = system(command.c_str());
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.out = readText(dir / "stdout");
        result.err = readText(dir / "stderr");
        return result;
    }

    // Makes a key pair through the tool; returns its public key text.
    std::string keygen(const std::string& secret) {
        Result r = run({"keygen", "--secret", secret});
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out.substr(0, 64);
    }

    TempDir dir;
};

std::string inflateAll(const std::string& packed, std::size_t size) {
    std::string out(size, '\0');
    uLongf length = size;
    if (uncompress(reinterpret_cast<Bytef*>(out.data()), &length,
                   reinterpret_cast<const Bytef*>(packed.data()), packed.size()) != Z_OK ||
        length != size)
        return "<bad object>";
    return out;
}

TEST_F(ReleaseTool, KeygenWritesAPrivateKeyFileOnce) {
    std::string secret = dir / "release.secret";
    std::string publicKey = keygen(secret);
    EXPECT_EQ(publicKey.size(), 64u);
    std::string text = readText(secret);
    ASSERT_EQ(text.size(), 129u);
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.substr(64, 64), publicKey);  // seed, then the public key
    struct stat info {};
    ASSERT_EQ(stat(secret.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    Result again = run({"keygen", "--secret", secret});
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(readText(secret), text);
    EXPECT_NE(again.err.find("already exists"), std::string::npos);

    Result pub = run({"pubkey", "--secret", secret});
    EXPECT_EQ(pub.status, 0);
    EXPECT_EQ(pub.out, publicKey + "\n");

    writeText(dir / "edited.secret", text.substr(0, 127) + (text[127] == '0' ? "1" : "0") + "\n");
    Result damaged = run({"pubkey", "--secret", dir / "edited.secret"});
    EXPECT_EQ(damaged.status, 1);
    EXPECT_NE(damaged.err.find("damaged"), std::string::npos) << damaged.err;
}

TEST_F(ReleaseTool, BadArgumentsPrintUsageAndExitTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"keygen"},
        {"keygen", "--secret"},
        {"keygen", "--public", "x"},
        {"hash"},
        {"sign", "--secret", "s"},
        {"verify", "FILE"},
        {"publish", "--secret", "s", "--version", "1", "game"},
        {"publish", "--secret", "s", "--version", "1", "--channel", "beta", "g", "s"},
    };
    for (const auto& args : cases) {
        Result r = run(args);
        EXPECT_EQ(r.status, 2) << (args.empty() ? "" : args[0]);
        EXPECT_EQ(r.err.rfind("usage: ", 0), 0u) << r.err;
    }
}

TEST_F(ReleaseTool, HashPrintsDigestAndName) {
    writeText(dir / "a.bin", "abc");
    Result r = run({"hash", dir / "a.bin"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, hashBuffer("abc", 3) + "  " + dir / "a.bin" + "\n");
    r = run({"hash", dir / "missing"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "cannot read " + dir / "missing" + "\n");
}

TEST_F(ReleaseTool, SignAndVerifyRoundTrip) {
    std::string secret = dir / "k.secret";
    std::string publicKey = keygen(secret);
    writeText(dir / "news.txt", "# Patch notes\nBetter.\n");
    Result signedOut = run({"sign", "--secret", secret, dir / "news.txt", dir / "news.signed"});
    ASSERT_EQ(signedOut.status, 0) << signedOut.err;
    std::string signedText = readText(dir / "news.signed");

    std::uint8_t key[32];
    ASSERT_TRUE(hexDecode(publicKey, key, 32));
    std::string body;
    ASSERT_TRUE(verifySignedText(signedText, key, body));
    EXPECT_EQ(body, "# Patch notes\nBetter.\n");

    Result toStdout = run({"sign", "--secret", secret, dir / "news.txt"});
    EXPECT_EQ(toStdout.out, signedText);  // deterministic signatures

    Result verified = run({"verify", "--public", publicKey, dir / "news.signed"});
    EXPECT_EQ(verified.status, 0);
    EXPECT_EQ(verified.out, body);

    std::string otherKey = keygen(dir / "other.secret");
    Result refused = run({"verify", "--public", otherKey, dir / "news.signed"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "not signed by this key\n");
    EXPECT_EQ(refused.out, "");

    writeText(dir / "open.txt", "no final line feed");
    Result unterminated = run({"sign", "--secret", secret, dir / "open.txt"});
    EXPECT_EQ(unterminated.status, 1);
    EXPECT_NE(unterminated.err.find("line feed"), std::string::npos);
}

TEST_F(ReleaseTool, CheckManifestReportsTheParsersMessage) {
    writeText(dir / "bad.txt", "veilstone-manifest 1\nversion 1\nfile x\n");
    Result bad = run({"check-manifest", dir / "bad.txt"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err, "bad file line 3\n");

    std::string hash(64, 'b');
    writeText(dir / "good.txt", "veilstone-manifest 1\nplatform linux64\nversion 7\nfile " + hash +
                                    " 10 4 a\nfile " + hash + " 5 2 b\n");
    Result good = run({"check-manifest", dir / "good.txt"});
    EXPECT_EQ(good.status, 0) << good.err;
    EXPECT_EQ(good.out, "platform linux64\nversion 7\nfiles 2\nsize 15\npacked 6\n");

    std::string publicKey = keygen(dir / "k.secret");
    Result unsigned_ = run({"check-manifest", "--public", publicKey, dir / "good.txt"});
    EXPECT_EQ(unsigned_.status, 1);
    EXPECT_EQ(unsigned_.err, "not signed by this key\n");
    run({"sign", "--secret", dir / "k.secret", dir / "good.txt", dir / "good.signed"});
    Result checked = run({"check-manifest", "--public", publicKey, dir / "good.signed"});
    EXPECT_EQ(checked.status, 0) << checked.err;
    EXPECT_EQ(checked.out, good.out);
}

TEST_F(ReleaseTool, PublishPacksEveryFileAndSignsTheManifest) {
    std::string secret = dir / "k.secret";
    std::string publicKey = keygen(secret);
    std::string game = dir / "game", server = dir / "server";
    writeText(game + "/veilstone", "#!/bin/sh\necho game\n");
    writeText(game + "/data/level 1.bin", std::string(200000, 'L'));
    writeText(game + "/data/copy.bin", std::string(200000, 'L'));  // same content, one object
    writeText(game + "/B.txt", "");
    writeText(dir / "news.md", "# News\nno final line feed");
    writeText(dir / "launcher.bin", "launcher v2");

    Result r = run({"publish", "--secret", secret, "--version", "1.4", "--news", dir / "news.md",
                    "--launcher", dir / "launcher.bin", game, server});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("4 files"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("4 new objects"), std::string::npos) << r.out;

    std::uint8_t key[32];
    ASSERT_TRUE(hexDecode(publicKey, key, 32));
    std::string body, error;
    ASSERT_TRUE(verifySignedText(readText(server + "/manifest-linux64.txt"), key, body));
    Manifest manifest;
    ASSERT_TRUE(parseManifest(body, manifest, error)) << error;
    EXPECT_EQ(manifest.platform, "linux64");
    EXPECT_EQ(manifest.version, "1.4");
    ASSERT_EQ(manifest.files.size(), 4u);
    // Byte-wise order: upper case before lower case.
    EXPECT_EQ(manifest.files[0].path, "B.txt");
    EXPECT_EQ(manifest.files[1].path, "data/copy.bin");
    EXPECT_EQ(manifest.files[2].path, "data/level 1.bin");
    EXPECT_EQ(manifest.files[3].path, "veilstone");
    for (const Entry& entry : manifest.files) {
        std::string packed = readText(server + "/objects/" + entry.hash);
        EXPECT_EQ(packed.size(), entry.packedSize) << entry.path;
        std::string content = inflateAll(packed, entry.size);
        EXPECT_EQ(content, readText(game + "/" + entry.path)) << entry.path;
        EXPECT_EQ(hashBuffer(content.data(), content.size()), entry.hash) << entry.path;
    }
    EXPECT_EQ(manifest.launcher.hash, hashBuffer("launcher v2", 11));
    EXPECT_EQ(inflateAll(readText(server + "/objects/" + manifest.launcher.hash), 11), "launcher v2");

    ASSERT_TRUE(verifySignedText(readText(server + "/news.txt"), key, body));
    EXPECT_EQ(body, "# News\nno final line feed\n");
    for (const auto& entry : fs::recursive_directory_iterator(server))
        EXPECT_NE(entry.path().extension(), ".part") << entry.path();

    // Publishing again packs nothing new.
    Result again = run({"publish", "--secret", secret, "--version", "1.5", game, server});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_NE(again.out.find(" 0 new objects"), std::string::npos) << again.out;

    // A damaged object is packed afresh.
    writeText(server + "/objects/" + manifest.files[3].hash, "garbage");
    Result repaired = run({"publish", "--secret", secret, "--version", "1.6", game, server});
    EXPECT_NE(repaired.out.find(" 1 new objects"), std::string::npos) << repaired.out;
    EXPECT_EQ(inflateAll(readText(server + "/objects/" + manifest.files[3].hash),
                         manifest.files[3].size),
              readText(game + "/veilstone"));
}

TEST_F(ReleaseTool, PublishToTestingWritesUnderTesting) {
    std::string secret = dir / "k.secret";
    keygen(secret);
    writeText(dir / "game/a", "a");
    Result r = run({"publish", "--secret", secret, "--version", "t1", "--channel", "testing",
                    "--platform", "other", dir / "game", dir / "server"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists(dir / "server/testing/manifest-other.txt"));
    EXPECT_FALSE(fs::exists(dir / "server/manifest-other.txt"));
    EXPECT_TRUE(fs::exists(dir / ("server/objects/" + hashBuffer("a", 1))));
}

TEST_F(ReleaseTool, PublishRefusesWhatTheLauncherCouldNotReproduce) {
    std::string secret = dir / "k.secret";
    keygen(secret);
    struct Case {
        const char* name;
        std::function<void(const std::string&)> make;
        std::string message;
    };
    const Case cases[] = {
        {"symbolic link", [](const std::string& g) { fs::create_symlink("a", g + "/link"); },
         "cannot publish a symbolic link: link"},
        {"fifo", [](const std::string& g) { mkfifo((g + "/pipe").c_str(), 0600); },
         "cannot publish a special file: pipe"},
        {"backslash", [](const std::string& g) { writeText(g + "/a\\b", "x"); },
         "cannot publish a file under this name: a\\b"},
        {"leading space", [](const std::string& g) { writeText(g + "/ x", "x"); },
         "cannot publish a file under this name:  x"},
    };
    int n = 0;
    for (const Case& c : cases) {
        std::string game = dir / ("game" + std::to_string(n)), server = dir / ("srv" + std::to_string(n));
        ++n;
        writeText(game + "/a", "a");
        c.make(game);
        Result r = run({"publish", "--secret", secret, "--version", "1", game, server});
        EXPECT_EQ(r.status, 1) << c.name;
        EXPECT_EQ(r.err, c.message + "\n") << c.name;
        EXPECT_FALSE(fs::exists(server + "/manifest-linux64.txt")) << c.name;
        EXPECT_FALSE(fs::exists(server + "/objects/" + hashBuffer("a", 1))) << c.name;
    }
    Result word = run({"publish", "--secret", secret, "--version", "1 beta", dir / "game0", dir / "s"});
    EXPECT_EQ(word.status, 1);
    EXPECT_EQ(word.err, "the version must be one word\n");
}

}  // namespace
}  // namespace kd
