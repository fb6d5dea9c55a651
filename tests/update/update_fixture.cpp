#include "tests/update/update_fixture.h"

#include <chrono>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <thread>

#include "log/log.h"
#include "tests/support/child_process.h"

namespace kd::test {

namespace fs = std::filesystem;

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

JobRun runJob(Updater& updater, const std::function<void(Updater&)>& start) {
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
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
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
    writeGame(source, files);
    std::string output;
    ASSERT_TRUE(publishRelease(source, server, version, extra, &output)) << output;
}

std::string UpdateFixture::runDriver(const std::string& args, int* status) {
    return runShell(shellQuote(VEILSTONE_UPDATER_DRIVER) + " " + shellQuote(launcher) + " " +
                        shellQuote(nginx->url()) + " " + demoPublicKeyHex() + " " + args + " 2>&1",
                    status);
}

void UpdateFixture::serve(const std::string& testingKey) {
    nginx = std::make_unique<NginxServer>(server, testingKey);
    ASSERT_TRUE(nginx->start()) << nginx->errorLog();
}

std::unique_ptr<Updater> UpdateFixture::makeUpdater(const std::string& url) {
    return std::make_unique<Updater>(launcher, url.empty() ? nginx->url() : url, demoPublicKey());
}

std::string UpdateFixture::objectFile(const std::string& path) const {
    const Manifest manifest = serverManifest();
    const Entry* entry = findFile(manifest, path);
    EXPECT_NE(entry, nullptr) << path;
    return entry ? server + "/objects/" + entry->hash : std::string();
}

std::size_t UpdateFixture::logCount(const std::string& text) const {
    const std::string log = readText(dir / "logs/latest.log");
    std::size_t count = 0;
    for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
        ++count;
    return count;
}

}  // namespace kd::test
