#include "tests/support/release_fixture.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <random>

#include "release/crypto.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace kd::test {

namespace {

const std::string kSecretPath = VEILSTONE_TEST_DATA_DIR "/demo-release-key.secret";

struct DemoKey {
    std::uint8_t secret[kSecretKeyBytes] = {};
    ReleaseKey publicKey = {};
};

const DemoKey& demoKey() {
    static const DemoKey key = [] {
        DemoKey k;
        const std::string text = readText(kSecretPath).substr(0, 2 * kSecretKeyBytes);
        EXPECT_TRUE(hexDecode(text, k.secret, kSecretKeyBytes)) << "cannot read " << kSecretPath;
        // The public half is the secret key's second half.
        std::copy(k.secret + kSeedBytes, k.secret + kSecretKeyBytes, k.publicKey.begin());
        return k;
    }();
    return key;
}

}  // namespace

const ReleaseKey& demoPublicKey() { return demoKey().publicKey; }
std::string demoPublicKeyHex() { return hexEncode(demoPublicKey().data(), demoPublicKey().size()); }
std::string signWithDemoKey(const std::string& text) { return signText(text, demoKey().secret); }

std::string noise(std::size_t length, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::string out(length, '\0');
    for (char& c : out) c = static_cast<char>(random());
    return out;
}

std::string shellQuote(const std::string& arg) {
    std::string quoted = "'";
    for (char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

void writeGame(const std::string& folder, const Files& files) {
    std::filesystem::create_directories(folder);
    for (const auto& [path, content] : files) writeText(folder + "/" + path, content);
    if (files.count("veilstone")) chmod((folder + "/veilstone").c_str(), 0755);
}

bool publishRelease(const std::string& gameFolder, const std::string& serverFolder,
                    const std::string& version, const std::vector<std::string>& extra,
                    std::string* output) {
    std::string command = shellQuote(VEILSTONE_RELEASE_TOOL) + " publish --secret " +
                          shellQuote(kSecretPath) + " --version " + shellQuote(version);
    for (const std::string& arg : extra) command += " " + shellQuote(arg);
    int status = -1;
    const std::string printed = runShell(
        command + " " + shellQuote(gameFolder) + " " + shellQuote(serverFolder) + " 2>&1", &status);
    if (output != nullptr) *output = printed;
    return status == 0;
}

Manifest servedManifest(const std::string& serverFolder, bool testing) {
    std::string body, error;
    Manifest manifest;
    const std::string file = serverFolder + (testing ? "/testing" : "") + "/manifest-linux64.txt";
    EXPECT_TRUE(verifySignedText(readText(file), demoPublicKey().data(), body) &&
                parseManifest(body, manifest, error))
        << file;
    return manifest;
}

std::uint64_t servedPackedSize(const std::string& serverFolder,
                               const std::vector<std::string>& paths) {
    const Manifest manifest = servedManifest(serverFolder);
    std::uint64_t total = 0;
    for (const std::string& path : paths) {
        const Entry* entry = findFile(manifest, path);
        EXPECT_NE(entry, nullptr) << path;
        total += entry ? entry->packedSize : 0;
    }
    return total;
}

}  // namespace kd::test
