// What the update engine's tests share: releases published with the real release tool and the
// development key, an nginx serving them, and jobs run to their end with every status change kept.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/nginx_server.h"
#include "tests/support/release_fixture.h"
#include "tests/support/temp_dir.h"
#include "update/updater.h"

namespace kd::test {

using launcher::Updater;
using launcher::UpdaterState;
using launcher::UpdaterStatus;

std::uint32_t number(UpdaterState state);

// The lines of text that begin with prefix, in order.
std::vector<std::string> linesStartingWith(const std::string& text, const std::string& prefix);

struct JobRun {
    std::vector<UpdaterStatus> changes;  // every status change, in order
    UpdaterStatus last;                  // status() after the job
    bool finished = false;               // false: still busy after a minute

    bool saw(UpdaterState state, const std::string& message) const;
    double progressOf(const std::string& message) const;  // of the first such change; -2: none
};

// Starts a job with start(updater) and waits for it to end.
JobRun runJob(Updater& updater, const std::function<void(Updater&)>& start);

class UpdateFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Publishes files as release `version` into the server folder with veilstone-release; extra
    // arguments go before the folders (for example {"--channel", "testing"}).
    void publish(const Files& files, const std::string& version,
                 const std::vector<std::string>& extra = {});
    // Starts nginx on the server folder, accepting `testingKey` under /testing/.
    void serve(const std::string& testingKey = "KEY-1");
    std::unique_ptr<Updater> makeUpdater(const std::string& url = "");
    // The headless driver on the launcher folder, its output (and errors) returned.
    std::string runDriver(const std::string& args, int* status = nullptr);

    std::string game(const std::string& path) const { return launcher + "/game/" + path; }
    // The live (or testing) release on the server, as the launcher would read it.
    Manifest serverManifest(bool testing = false) const { return servedManifest(server, testing); }
    std::string objectFile(const std::string& path) const;  // server object of the live release
    std::uint64_t packedSize(const std::vector<std::string>& paths) const {
        return servedPackedSize(server, paths);
    }
    std::size_t logCount(const std::string& text) const;  // occurrences in the engine's log

    TempDir dir;
    std::string server;    // served folder
    std::string launcher;  // the Updater's installDir
    std::unique_ptr<NginxServer> nginx;

private:
    int published_ = 0;
};

}  // namespace kd::test
