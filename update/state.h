// Inside the update engine: the launcher's own records between runs. The installed record
// (game/.installed, the signed manifest of the installed release) and the news caches (.news,
// .news-testing) are signed texts, checked again whenever they are read; a record that does not
// check out counts as missing.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>

#include "release/manifest.h"
#include "update/status.h"

namespace kd::launcher {

struct InstalledRecord {
    bool valid = false;  // read, signed by the release key and parsed
    Manifest manifest;
    std::string text;  // the signed text as it is on disk
};

InstalledRecord readInstalled(const std::filesystem::path& gameDir,
                              const std::array<std::uint8_t, 32>& releaseKey);

// Makes the game runnable, then writes the signed manifest text as the installed record: a kill
// in between leaves a game that starts, never a record of one that cannot.
void recordInstalled(const std::filesystem::path& gameDir, const std::string& signedManifest);

// The verified body of the channel's cached news; empty when there is none that checks out.
std::string loadNewsCache(const std::filesystem::path& installDir, Channel channel,
                          const std::array<std::uint8_t, 32>& releaseKey);
// The signed text as the server sent it; a cache that cannot be written costs nothing but the
// news at the next offline start.
void saveNewsCache(const std::filesystem::path& installDir, Channel channel,
                   const std::string& signedText);

// The word a manifest's channel line uses for the channel.
const char* channelWord(Channel channel);

}  // namespace kd::launcher
