// Judging a signed release before anything is planned from it: names it may not use, the channel
// it was published for, and whether it is older than a release this launcher has already seen on
// that channel (a replayed manifest is signed too).
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

#include "release/manifest.h"

namespace kd::launcher {

// Channel word -> the highest release serial accepted on it.
using SerialRecord = std::map<std::string, std::uint64_t>;

// installDir/".serials", one "channel serial" line each. A missing or unreadable file is an empty
// record; lines that do not read are skipped.
SerialRecord readSerials(const std::filesystem::path& installDir);
bool writeSerials(const std::filesystem::path& installDir, const SerialRecord& record);

// Judges a checked manifest of channel (its word) against what this launcher has accepted there,
// and records its serial when it is the highest yet. Empty when it may be offered, otherwise the
// sentence to show.
std::string acceptRelease(const std::filesystem::path& installDir, const Manifest& release,
                          const std::string& channel);

// Empty when the release may be offered on channel (its word), otherwise the sentence to show.
// highestSeen is 0 when no serial was ever accepted there.
std::string judgeRelease(const Manifest& release, const std::string& channel,
                         std::uint64_t highestSeen);

}  // namespace kd::launcher
