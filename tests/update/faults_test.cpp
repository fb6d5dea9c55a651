// The Updater against a server with faults nginx does not produce on demand: a reply that stops
// in the middle, statuses on chosen paths, a manifest that takes its time.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "tests/support/fault_server.h"
#include "tests/update/update_fixture.h"

namespace kd::test {
namespace {

namespace fs = std::filesystem;
using S = UpdaterState;
using Clock = std::chrono::steady_clock;

const Files kRelease = {{"veilstone", "#!/bin/sh\n"}, {"data.bin", std::string(200000, 'd')}};

class UpdaterFaults : public UpdateFixture {
protected:
    void SetUp() override {
        UpdateFixture::SetUp();
        publish(kRelease, "1");
        faults = std::make_unique<FaultServer>(server);
        ASSERT_TRUE(faults->listening());
        dataObject = "/objects/" + fs::path(objectFile("data.bin")).filename().string();
    }

    std::unique_ptr<FaultServer> faults;
    std::string dataObject;
};

bool waitFor(const std::function<bool()>& condition, int timeoutMs = 20000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TEST_F(UpdaterFaults, ObjectThatStopsHalfWayIsFetchedAgain) {
    faults->stallAfter(dataObject, 100, 1);
    auto u = makeUpdater(faults->url());
    const JobRun run = runJob(*u, [](Updater& x) { x.update(false); });
    EXPECT_EQ(run.last.state, number(S::UpToDate)) << run.last.message;
    EXPECT_EQ(faults->count(dataObject), 2u);
    EXPECT_EQ(logCount("launcher: object " + dataObject.substr(9) +
                       ", attempt 1: the update server stopped answering"),
              1u);
    EXPECT_EQ(readText(game("data.bin")), kRelease.at("data.bin"));
}

TEST_F(UpdaterFaults, ShutdownDuringADownloadEndsReadyToUpdateWithoutRetrying) {
    faults->stallAfter(dataObject, 100);
    auto u = makeUpdater(faults->url());
    auto changes = std::make_shared<std::vector<UpdaterStatus>>();
    u->setStatusListener([changes](const UpdaterStatus& s) { changes->push_back(s); });
    u->update(false);
    ASSERT_TRUE(waitFor([&] { return faults->count(dataObject) == 1; }));
    const UpdaterStatus running = u->status();
    EXPECT_EQ(running.state, number(S::Working));
    EXPECT_TRUE(running.message.starts_with("Downloading ")) << running.message;

    // A job start while one runs is dropped and leaves its status alone.
    u->check(true);
    EXPECT_TRUE(u->busy());
    EXPECT_EQ(u->status().message, running.message);

    const auto start = Clock::now();
    u.reset();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    ASSERT_FALSE(changes->empty());
    EXPECT_EQ(changes->back().state, number(S::ReadyToUpdate));
    EXPECT_EQ(changes->back().message, "cancelled");
    EXPECT_EQ(faults->count(dataObject), 1u);
    EXPECT_EQ(logCount(", attempt "), 0u);
}

TEST_F(UpdaterFaults, ForbiddenInLiveIsAnOrdinaryFailure) {
    faults->answerStatus("/manifest-linux64.txt", 403);
    auto u = makeUpdater(faults->url());
    const JobRun run = runJob(*u, [](Updater& x) { x.check(false); });
    EXPECT_EQ(run.last.state, number(S::Failed));
    EXPECT_EQ(run.last.message, "the update server said 403");
    EXPECT_EQ(run.last.keyState, 0u);
    EXPECT_EQ(logCount("following Live"), 0u);
}

TEST_F(UpdaterFaults, KeyRefusedForTheNewsAloneEndsAccepted) {
    publish(kRelease, "t1", {"--channel", "testing"});
    faults->answerStatus("/testing/news.txt", 403);
    auto u = makeUpdater(faults->url());
    u->setChannel(1, "K-1");
    const JobRun run = runJob(*u, [](Updater& x) { x.check(false); });
    EXPECT_EQ(run.last.state, number(S::ReadyToInstall));
    EXPECT_EQ(run.last.keyState, 2u);
    EXPECT_EQ(run.last.shownChannel, 1u);
    EXPECT_EQ(run.last.latestVersion, "t1");
    EXPECT_EQ(logCount("launcher: news: playtester key not accepted"), 1u);
    for (const FaultServer::Request& request : faults->requests())
        EXPECT_EQ(request.key, "K-1") << request.path;
}

TEST_F(UpdaterFaults, ChannelChangeWhileTheManifestTravelsLeavesNothingToInstall) {
    publish(kRelease, "t1", {"--channel", "testing"});
    faults->delay("/manifest-linux64.txt", 400, 1);
    auto u = makeUpdater(faults->url());
    const JobRun run = runJob(*u, [this](Updater& x) {
        x.check(false);
        ASSERT_TRUE(waitFor([this] { return faults->count("/manifest-linux64.txt") == 1; }));
        x.setChannel(1, "K-1");
    });
    EXPECT_EQ(run.last.state, number(S::Failed));
    EXPECT_EQ(run.last.message, "no release to install");

    // The Live manifest was not kept for the Testing channel.
    const JobRun installed = runJob(*u, [](Updater& x) { x.update(false); });
    EXPECT_EQ(installed.last.state, number(S::UpToDate));
    EXPECT_EQ(installed.last.installedVersion, "t1");
    EXPECT_EQ(faults->count("/testing/manifest-linux64.txt"), 1u);
}

}  // namespace
}  // namespace kd::test
