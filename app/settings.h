// The user's settings file "launcher.cfg" in the launcher folder: key = value lines a person may
// also edit by hand. Read once at start; rewritten whole when the key or the channel changes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kd {

struct LauncherSettings {
    std::string server;                // empty: the compiled-in default
    std::string testerKey;             // empty: no playtester key
    bool testingChannel = false;       // only meaningful with a key
    std::vector<std::string> mirrors;  // "mirror = URL" lines: more servers, tried in order
};

// Missing or unreadable file: the defaults. Never reports an error.
LauncherSettings readSettings(const std::string& installDir);
// Replaces the file whole (a crash leaves the old or the new one); an unwritable file leaves the
// previous one in place and error says so.
bool writeSettings(const std::string& installDir, const LauncherSettings& settings,
                   std::string& error);

// The line-by-line reading of the file's text, separate so it can be fed any bytes.
LauncherSettings parseSettings(std::string_view text);
std::string formatSettings(const LauncherSettings& settings);

}  // namespace kd
