// Plan, put in place and record: the install's stages after the release check and around the
// downloads, as plain functions over the game folder. The Updater runs them in order and reports.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "release/manifest.h"

namespace kd::launcher {

// The files of a release that need a download, in manifest order, and their packed bytes.
struct FilePlan {
    std::vector<const Entry*> entries;
    std::uint64_t packedBytes = 0;  // saturates instead of wrapping
};

// Compares latest with gameDir. A deep scan hashes every file whose size matches; a quick one
// trusts installed (the valid record, or null) for the content. scanned gets the share of a deep
// scan done after each file.
FilePlan planFiles(const std::filesystem::path& gameDir, const Manifest& latest,
                   const Manifest* installed, bool deep,
                   const std::function<void(double)>& scanned);

// Removes the files of installed that latest does not list: each file alone, never a folder and
// never through a link.
void removeDropped(const std::filesystem::path& gameDir, const Manifest& installed,
                   const Manifest& latest);

// Moves the staged objects (staging/hash) of plan onto their paths in gameDir; a content that
// several paths share is copied for the later ones. False with the player's sentence.
bool placeFiles(const std::filesystem::path& gameDir, const std::filesystem::path& staging,
                const std::vector<const Entry*>& plan, std::string& error);

// Makes the game runnable, then writes the signed manifest text as the installed record: a kill
// in between leaves a game that starts, never a record of one that cannot.
void recordInstalled(const std::filesystem::path& gameDir, const std::string& signedManifest);

}  // namespace kd::launcher
