// Inside the update engine: the whole-file reads and writes its state files go through. A file
// written here is never seen half-written under its own name: the bytes go to name + ".part",
// which is then renamed onto the name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace kd::launcher {

// The whole file, read in binary mode. False when it cannot be opened or read, or when it is
// larger than maxBytes (a state file that big did not come from the launcher).
bool readFile(const std::filesystem::path& path, std::string& out, std::uint64_t maxBytes);

// Writes the bytes to path + ".part" and renames that onto path; a name held by an empty folder
// is taken over, one held by a folder with something in it is not. On false nothing is left
// under either name that was not there before, except the old file at path.
bool writeFileAtomic(const std::filesystem::path& path, const void* bytes, std::size_t length);

// Mode 0755; failures are ignored.
void makeExecutable(const std::filesystem::path& path);

}  // namespace kd::launcher
