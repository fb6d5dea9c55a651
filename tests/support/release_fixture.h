// Releases for end-to-end tests: game folders published with the real release tool and the
// development key of tests/data, and the served manifest read back as a launcher reads it.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "release/manifest.h"

namespace kd::test {

using Files = std::map<std::string, std::string>;  // path in the game folder -> content
using ReleaseKey = std::array<std::uint8_t, 32>;

// The development release key of tests/data.
const ReleaseKey& demoPublicKey();
std::string demoPublicKeyHex();
std::string signWithDemoKey(const std::string& text);

// Deterministic bytes that do not compress.
std::string noise(std::size_t length, std::uint32_t seed);

// Writes files into folder; "veilstone" gets mode 0755.
void writeGame(const std::string& folder, const Files& files);

// veilstone-release publish --secret DEMO --version V [extra...] GAME SERVER, for example with
// extra {"--channel", "testing"}. On failure output holds what the tool printed.
bool publishRelease(const std::string& gameFolder, const std::string& serverFolder,
                    const std::string& version, const std::vector<std::string>& extra = {},
                    std::string* output = nullptr);

// The release served from serverFolder (or its testing/ folder), checked with the demo key.
Manifest servedManifest(const std::string& serverFolder, bool testing = false);
// Sum of packedSize of the served release's files at these paths.
std::uint64_t servedPackedSize(const std::string& serverFolder,
                               const std::vector<std::string>& paths);

// One path for each name the launcher keeps for itself, fed to the launcher and the release tool
// alike: both must refuse every one.
inline const std::vector<std::string> kLauncherOwnedPaths = {
    ".installed", ".installed.part", ".news", ".news.part", ".news-testing", ".serials",
    ".serials.part", ".serials.damaged", ".staging/x", ".chunk-lists", "d/.veilstone-part-x"};

std::string shellQuote(const std::string& arg);

}  // namespace kd::test
