// Arbitrary bytes through the settings reader: no crash, and what it reads survives being written
// and read again (values are trimmed, so writing cannot add or lose anything).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    kd::LauncherSettings settings = kd::parseSettings(text);
    // A value with a line feed inside cannot come from one line.
    if (settings.server.find('\n') != std::string::npos) abort();
    if (settings.testerKey.find('\n') != std::string::npos) abort();
    kd::LauncherSettings back = kd::parseSettings(kd::formatSettings(settings));
    if (back.server != settings.server || back.testerKey != settings.testerKey) abort();
    if (!settings.testerKey.empty() && back.testingChannel != settings.testingChannel) abort();
    return 0;
}
