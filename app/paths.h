// Where the launcher lives and the fixed names it goes by. The launcher folder holds the
// executable, "launcher.cfg", "logs" and the game folder.
#pragma once

#include <string>

namespace kd {

// Parent folder of the executable; the current working folder when exePath is empty.
std::string installDir(const std::string& exePath);
const char* platformName();  // "linux64"
const char* productName();   // "veilstone", the game executable's file name

// A self-update leaves the previous launcher as exePath + ".old"; errors are ignored.
void removeOldLauncher(const std::string& exePath);

}  // namespace kd
