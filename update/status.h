// The engine's status record and the words it is told in: what the screen reads every frame and
// every stage of a job reports through.
#pragma once

#include <cstdint>
#include <string>

namespace kd::launcher {

// The numbers are what the engine driver prints.
enum class UpdaterState : std::uint32_t {
    Checking = 0,
    UpToDate = 1,
    ReadyToInstall = 2,
    ReadyToUpdate = 3,
    Working = 4,
    Offline = 5,
    Failed = 6,
    Restarting = 7,
};

enum class KeyState : std::uint32_t {
    None = 0,       // no playtester key
    Unchecked = 1,  // a key is set and the server has not answered yet
    Accepted = 2,   // a Testing request with the key succeeded
    Refused = 3,    // the server answered 403 to a Testing request
};

enum class Channel : std::uint32_t { Live = 0, Testing = 1 };

// A copy of the engine's status, taken under its lock.
struct UpdaterStatus {
    UpdaterState state = UpdaterState::Checking;
    Channel shownChannel = Channel::Live;  // whose release this describes
    KeyState keyState = KeyState::None;
    std::string message;              // one line for the status bar
    double progress = -1.0;           // 0..1; -1 means no bar
    std::uint64_t downloadBytes = 0;  // packed bytes the current plan needs
    std::string installedVersion;     // empty when nothing is installed
    std::string latestVersion;
    std::string news;  // verified news body of the shown channel
    bool gameInstalled = false;
    bool busy = false;  // a job runs: check and update would be ignored
};

// "1023 bytes", "2 KB", "1.5 MB", "1.0 GB" (powers of 1024).
std::string sizeText(std::uint64_t bytes);

}  // namespace kd::launcher
