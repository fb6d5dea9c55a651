#include "tests/update/update_fixture.h"

#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <thread>

#include "log/log.h"
#include "release/crypto.h"
#include "release/manifest.h"

namespace kd::test {

namespace fs = std::filesystem;

namespace {

struct DemoKey {
    std::uint8_t secret[kSecretKeyBytes] = {};
    Updater::ReleaseKey publicKey = {};
};

const DemoKey& demoKey() {
    static const DemoKey key = [] {
        DemoKey k;
        const std::string text = readText(demoSecretPath());
        const bool ok = text.size() >= 2 * kSecretKeyBytes &&
                        hexDecode(std::string_view(text).substr(0, 2 * kSecretKeyBytes), k.secret,
                                  kSecretKeyBytes);
        EXPECT_TRUE(ok) << "cannot read " << demoSecretPath();
        // The public half is the secret key's second half.
        std::copy(k.secret + kSeedBytes, k.secret + kSecretKeyBytes, k.publicKey.begin());
        return k;
    }();
    return key;
}

std::string quote(const std::string& arg) {
    std::string quoted = "'";
    for (char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}  // namespace

const Updater::ReleaseKey& demoPublicKey() { return demoKey().publicKey; }
std::string demoSecretPath() {
    return std::string(VEILSTONE_TEST_DATA_DIR) + "/demo-release-key.secret";
}
std::string signWithDemoKey(const std::string& text) { return signText(text, demoKey().secret); }

std::string noise(std::size_t length, std::uint32_t seed) {
    std::string out(length, '\0');
    std::uint32_t x = seed * 2654435761u + 1;
    for (char& c : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return out;
}

std::uint32_t number(UpdaterState state) { return static_cast<std::uint32_t>(state); }

std::vector<std::string> linesStartingWith(const std::string& text, const std::string& prefix) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.starts_with(prefix)) lines.push_back(line);
    return lines;
}

bool JobRun::saw(UpdaterState state, const std::string& message) const {
    for (const UpdaterStatus& s : changes)
        if (s.state == number(state) && s.message == message) return true;
    return false;
}

double JobRun::progressOf(const std::string& message) const {
    for (const UpdaterStatus& s : changes)
        if (s.message == message) return s.progress;
    return -2.0;
}

JobRun runJob(Updater& updater, const std::function<void(Updater&)>& start, int timeoutMs) {
    // Shared with the listener, which a job still running at the time limit may call later.
    struct Collected {
        std::mutex mutex;
        std::vector<UpdaterStatus> changes;
    };
    auto collected = std::make_shared<Collected>();
    updater.setStatusListener([collected](const UpdaterStatus& s) {
        std::lock_guard<std::mutex> lock(collected->mutex);
        collected->changes.push_back(s);
    });
    start(updater);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (updater.busy() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    JobRun run;
    run.finished = !updater.busy();
    run.last = updater.status();
    std::lock_guard<std::mutex> lock(collected->mutex);
    run.changes = collected->changes;
    return run;
}

void UpdateFixture::SetUp() {
    ASSERT_FALSE(dir.path().empty());
    server = dir / "server";
    launcher = dir / "launcher";
    fs::create_directories(server);
    fs::create_directories(launcher);
    logOpen((dir / "logs").c_str(), 1);
}

void UpdateFixture::TearDown() { logClose(); }

void UpdateFixture::publish(const Files& files, const std::string& version,
                            const std::vector<std::string>& extra) {
    const std::string source = dir / ("source" + std::to_string(published_++));
    fs::create_directories(source);
    for (const auto& [path, content] : files) writeText(source + "/" + path, content);
    if (files.count("veilstone")) fs::permissions(source + "/veilstone", fs::perms(0755));
    std::string command = std::string(VEILSTONE_RELEASE_TOOL) + " publish --secret " +
                          quote(demoSecretPath()) + " --version " + quote(version);
    for (const std::string& arg : extra) command += " " + quote(arg);
    command +=
        " " + quote(source) + " " + quote(server) + " >" + quote(dir / "publish.out") + " 2>&1";
    const int status = system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << readText(dir / "publish.out");
}

void UpdateFixture::serve(const std::string& testingKey) {
    nginx = std::make_unique<NginxServer>(server, testingKey);
    ASSERT_TRUE(nginx->start()) << nginx->errorLog();
}

std::unique_ptr<Updater> UpdateFixture::makeUpdater(const std::string& url) {
    return std::make_unique<Updater>(launcher, url.empty() ? nginx->url() : url, demoPublicKey());
}

Manifest UpdateFixture::serverManifest(bool testing) const {
    std::string body, error;
    Manifest manifest;
    const std::string file = server + (testing ? "/testing" : "") + "/manifest-linux64.txt";
    EXPECT_TRUE(verifySignedText(readText(file), demoPublicKey().data(), body) &&
                parseManifest(body, manifest, error))
        << file;
    return manifest;
}

std::string UpdateFixture::objectFile(const std::string& path) const {
    const Manifest manifest = serverManifest();
    const Entry* entry = findFile(manifest, path);
    EXPECT_NE(entry, nullptr) << path;
    return entry ? server + "/objects/" + entry->hash : std::string();
}

std::uint64_t UpdateFixture::packedSize(const std::vector<std::string>& paths) const {
    const Manifest manifest = serverManifest();
    std::uint64_t total = 0;
    for (const std::string& path : paths) {
        const Entry* entry = findFile(manifest, path);
        EXPECT_NE(entry, nullptr) << path;
        if (entry) total += entry->packedSize;
    }
    return total;
}

std::string UpdateFixture::logText() const { return readText(dir / "logs/latest.log"); }

std::size_t UpdateFixture::logCount(const std::string& line) const {
    std::size_t count = 0;
    const std::string text = logText();
    for (std::size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1))
        ++count;
    return count;
}

}  // namespace kd::test
