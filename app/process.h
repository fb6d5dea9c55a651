// Starting outside programs (the game, the folder opener, a new launcher copy) fully detached, so
// the launcher can exit right after without taking them down or leaving a zombie behind.
#pragma once

#include <string>
#include <vector>

namespace kd {

// Runs program (no PATH search) with these arguments in workingDir, in a session of its own and
// parented to init. True when the detached child was created; a missing program or folder shows
// only in the child, which then exits with status 127.
bool startProcess(const std::string& program, const std::vector<std::string>& arguments,
                  const std::string& workingDir, std::string& errorText);

// Opens the folder in the desktop's file manager. False, with error, when the opener cannot be
// run; what the opener itself then does is not seen.
bool openFolder(const std::string& folder, std::string& error);

}  // namespace kd
