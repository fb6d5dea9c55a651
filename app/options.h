// The launcher's command line and the values compiled into it (default server URL, release key).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kd {

struct LaunchOptions {
    std::string serverUrl;
    bool autoInstall = false;     // "--install"
    bool autoVerify = false;      // "--verify"
    bool allowSelfUpdate = true;  // cleared by "--no-self-update" and "--updated"
    double shotDelay = -1.0;      // "--shot": seconds after start; negative means no screenshot
    std::string shotPath;         // "--shot": "launcher.png" unless a file name is given
    std::vector<std::string> restartArgs;  // the arguments to restart with after a self-update
    bool help = false;                     // "--help" or "-h": print the usage and open no window
};

// The short usage "--help" prints, ending in a newline.
const char* usageText();

// args are the arguments after the program name. serverUrl is the value before the command line
// (settings file or compiled-in default); "--server" replaces it. Unknown arguments are ignored.
LaunchOptions readCommandLine(const std::vector<std::string>& args, const std::string& serverUrl);

// Compiled in from the build's VEILSTONE_SERVER_URL and VEILSTONE_RELEASE_KEY (build_config.cpp,
// linked into each executable so a test build can carry a different key).
const char* defaultServerUrl();
// VEILSTONE_MIRROR_URLS: more servers beside it, tried in order after the settings file's.
std::vector<std::string> defaultMirrorUrls();
const char* releaseKeyText();
// True when the compiled-in key is the public demo key, whose secret anyone can read.
bool trustsDemoKey();
// False when the compiled-in key text is not 64 hex digits; the launcher cannot run without it.
bool decodeReleaseKey(const char* text, std::uint8_t key[32]);

}  // namespace kd
