#include "app/options.h"

#include <cstdlib>

#include "release/crypto.h"

namespace kd {

namespace {
constexpr const char* kDefaultShotName = "launcher.png";
}

LaunchOptions readCommandLine(const std::vector<std::string>& args, const std::string& serverUrl) {
    LaunchOptions options;
    options.serverUrl = serverUrl;
    const std::size_t count = args.size();
    for (std::size_t i = 0; i < count; ++i) {
        const std::string& arg = args[i];
        bool hasValue = i + 1 < count;
        if (arg == "--server" && hasValue) {
            options.serverUrl = args[++i];
        } else if (arg == "--shot" && hasValue) {
            const std::string& spec = args[++i];
            std::size_t colon = spec.find(':');
            if (colon != std::string::npos) {
                options.shotDelay = strtod(spec.substr(0, colon).c_str(), nullptr);
                options.shotPath = spec.substr(colon + 1);
                // "2:" names no file: an empty path could never be written.
                if (options.shotPath.empty()) options.shotPath = kDefaultShotName;
            } else {
                options.shotDelay = strtod(spec.c_str(), nullptr);
                options.shotPath = kDefaultShotName;
            }
        } else if (arg == "--install") {
            options.autoInstall = true;
        } else if (arg == "--verify") {
            options.autoVerify = true;
        } else if (arg == "--no-self-update" || arg == "--updated") {
            options.allowSelfUpdate = false;
        } else if (arg == "--help" || arg == "-h") {
            options.help = true;
        }
    }
    // A restarted launcher gets exactly one "--updated", appended by the self-update.
    for (const std::string& arg : args)
        if (arg != "--updated") options.restartArgs.push_back(arg);
    return options;
}

const char* usageText() {
    return "usage: veilstone-launcher [--server URL] [--install] [--verify]\n"
           "                          [--shot SECONDS[:FILE]] [--no-self-update]\n"
           "  --server URL        the update server, instead of the settings file's or the "
           "built-in one\n"
           "  --install           install the game by itself when nothing is installed yet\n"
           "  --verify            check every installed file once the game is up to date\n"
           "  --shot SECONDS[:FILE]\n"
           "                      write a PNG of the window (launcher.png in the current folder\n"
           "                      unless FILE names another) after SECONDS, then exit\n"
           "  --no-self-update    keep this launcher even when a release names a newer one\n"
           "  -h, --help          print this and exit\n"
           "Other arguments are ignored. Exit status 0 after every orderly end, 1 when the\n"
           "launcher could not start (details in logs/latest.log beside it).\n";
}

bool decodeReleaseKey(const char* text, std::uint8_t key[32]) { return hexDecode(text, key, 32); }

}  // namespace kd
