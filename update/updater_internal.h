// Inside the update engine: the fixed names and limits its jobs share, and the small pieces of
// them that are worth testing on their own.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "release/manifest.h"

namespace kd::launcher {

// Signed texts (manifests and news) are read up to this size, from the server and from disk.
constexpr std::uint64_t kMaxSignedTextBytes = 4194304;

// base + "/" + path, without doubling a "/" that base already ends with.
std::string joinUrl(const std::string& base, const std::string& path);

// Progress of a job whose planned downloads total `total` packed bytes, `done` of them finished
// before this object, `received` of this one so far; -1 when there is nothing to measure. A
// server that sends more than announced does not push the bar past this object's share.
double downloadProgress(std::uint64_t received, std::uint64_t packedSize, std::uint64_t done,
                        std::uint64_t total);

// True when the file for entry under gameDir needs no download. Deep: its size and content hash
// match. Quick: its size matches and the installed release had the same hash at this path
// (installed may be null when no valid installed state exists; then only deep can pass).
bool fileIsCurrent(const std::filesystem::path& gameDir, const Entry& entry,
                   const FileIndex* installed, bool deep);

}  // namespace kd::launcher
