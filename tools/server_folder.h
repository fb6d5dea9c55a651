// The server folder as publish finds it: the lock that keeps a second publish waiting, the
// release already there, and what interrupted publishes left behind.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "base/base.h"
#include "release/manifest.h"

namespace kd::tool {

constexpr const char* kLockName = ".publish-lock";

// One publish at a time per server folder (created when missing): two at once would take the
// same serial, and the later cache would forget what the other packed. Says so on stderr when
// it must wait, unless quiet.
bool lockServerFolder(const std::filesystem::path& serverDir, bool quiet, FileLock& lock,
                      std::string& error);

// Part files of publishes that were killed, which a server must never serve: removed under the
// lock, when no other publish can be writing one.
void removeLeftoverParts(const std::filesystem::path& serverDir);

// The release already published in this manifest file; an empty record (serial 0) when there is
// none. A manifest signed by another key still counts: launchers that saw its serial would
// refuse anything lower.
bool readPreviousRelease(const std::filesystem::path& file, const std::uint8_t* publicKey,
                         Manifest& previous, std::string& error);

}  // namespace kd::tool
