// What the update engine's tests share: releases published with the real release tool and the
// development key, an nginx serving them, and jobs run to their end with every status change kept.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <sstream>

#include "log/log.h"
#include "release/chunks.h"
#include "release/inflate.h"
#include "tests/support/child_process.h"
#include "tests/support/nginx_server.h"
#include "tests/support/release_fixture.h"
#include "tests/support/temp_dir.h"
#include "update/updater.h"

namespace kd::test {

using launcher::Updater;
using launcher::UpdaterState;
using launcher::UpdaterStatus;

inline std::uint32_t number(UpdaterState state) { return static_cast<std::uint32_t>(state); }
using launcher::Channel;
using launcher::KeyState;

// The lines of text that begin with prefix, in order.
inline std::vector<std::string> linesStartingWith(const std::string& text,
                                                  const std::string& prefix) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.starts_with(prefix)) lines.push_back(line);
    return lines;
}

struct JobRun {
    std::vector<UpdaterStatus> changes;  // every status change, in order
    UpdaterStatus last;                  // status() after the job, or after a minute

    bool saw(UpdaterState state, const std::string& message) const {
        for (const UpdaterStatus& s : changes)
            if (s.state == state && s.message == message) return true;
        return false;
    }
    double progressOf(const std::string& message) const {  // of the first such change; -2: none
        for (const UpdaterStatus& s : changes)
            if (s.message == message) return s.progress;
        return -2.0;
    }
};

inline JobRun runJob(Updater& updater, const std::function<void(Updater&)>& start) {
    // Shared with the listener, which a job still running at the time limit may call later.
    auto collected = std::make_shared<std::pair<std::mutex, std::vector<UpdaterStatus>>>();
    updater.setStatusListener([collected](const UpdaterStatus& s) {
        std::lock_guard<std::mutex> lock(collected->first);
        collected->second.push_back(s);
    });
    start(updater);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (updater.busy() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    JobRun run{.last = updater.status()};
    std::lock_guard<std::mutex> lock(collected->first);
    run.changes = collected->second;
    return run;
}

class UpdateFixture : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(server);
        std::filesystem::create_directories(launcher);
        logOpen((dir / "logs").c_str(), 1);
    }
    void TearDown() override { logClose(); }

    // Publishes files as release `version`; extra options go before the folders.
    void publish(const Files& files, const std::string& version,
                 const std::vector<std::string>& extra = {}) {
        const std::string source = dir / ("source" + std::to_string(published_++));
        writeGame(source, files);
        std::string output;
        ASSERT_TRUE(publishRelease(source, server, version, extra, &output)) << output;
    }
    void serve(const std::string& testingKey = "KEY-1", std::size_t bytesPerSecond = 0) {
        nginx = std::make_unique<NginxServer>(server, testingKey);
        if (bytesPerSecond != 0) nginx->limitRate(bytesPerSecond);
        ASSERT_TRUE(nginx->start()) << nginx->errorLog();
    }
    std::unique_ptr<Updater> makeUpdater(const std::string& url = "") {
        return std::make_unique<Updater>(launcher, url.empty() ? nginx->url() : url,
                                         demoPublicKey());
    }
    // The headless driver on the launcher folder, its output (and errors) returned.
    std::string runDriver(const std::string& args, int* status = nullptr) {
        return runShell(shellQuote(VEILSTONE_UPDATER_DRIVER) + " " + shellQuote(launcher) + " " +
                            shellQuote(nginx->url()) + " " + demoPublicKeyHex() + " " + args +
                            " 2>&1",
                        status);
    }

    std::string game(const std::string& path) const { return launcher + "/game/" + path; }
    Manifest serverManifest(bool testing = false) const { return servedManifest(server, testing); }
    std::uint64_t packedSize(const std::vector<std::string>& paths) const {
        return servedPackedSize(server, paths);
    }
    std::string objectFile(const std::string& path) const {  // of the live release
        return server + "/objects/" + findFile(serverManifest(), path)->hash;
    }
    // The chunks the served manifest's list for path names; the file's whole object, which only
    // launchers that predate chunks fetch, was never asked for.
    std::vector<Chunk> servedChunks(const std::string& path) const {
        const Entry file = *findFile(serverManifest(), path);
        const std::string packed = readText(server + "/objects/" + file.chunksHash);
        std::vector<std::uint8_t> text;
        std::vector<Chunk> chunks;
        std::string error;
        EXPECT_TRUE(inflateZlib(reinterpret_cast<const std::uint8_t*>(packed.data()), packed.size(),
                                file.chunksSize, text));
        EXPECT_TRUE(parseChunkList({reinterpret_cast<const char*>(text.data()), text.size()}, file,
                                   chunks, error))
            << error;
        EXPECT_EQ(nginx->countRequests("/objects/" + file.hash), 0u);
        return chunks;
    }
    std::size_t logCount(const std::string& text) const {  // occurrences in the engine's log
        const std::string log = readText(dir / "logs/latest.log");
        std::size_t count = 0;
        for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
            ++count;
        return count;
    }

    TempDir dir;
    std::string server = dir / "server";      // served folder
    std::string launcher = dir / "launcher";  // the Updater's installDir
    std::unique_ptr<NginxServer> nginx;

private:
    int published_ = 0;
};

}  // namespace kd::test
