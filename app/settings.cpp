#include "app/settings.h"

#include <filesystem>

#include "base/base.h"

namespace kd {
namespace {

constexpr const char* kSettingsName = "launcher.cfg";
constexpr std::uint64_t kMaxSettingsBytes = 65536;  // a few lines; anything larger is not ours
constexpr const char* kHeaderLine = "# Veilstone launcher settings. Written by the launcher.\n";

// Trailing '\r' and '\n' go too, so files saved with Windows line ends read the same.
std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                             text.back() == '\n'))
        text.remove_suffix(1);
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    return text;
}

std::string settingsPath(const std::string& installDir) {
    return (std::filesystem::path(installDir) / kSettingsName).string();
}

}  // namespace

LauncherSettings parseSettings(std::string_view text) {
    LauncherSettings settings;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);

        std::size_t equals = line.find('=');
        if (line.empty() || equals == std::string_view::npos) continue;
        if (trim(line).front() == '#') continue;
        std::string_view key = trim(line.substr(0, equals));
        std::string_view value = trim(line.substr(equals + 1));
        if (key == "server") {
            settings.server = value;
        } else if (key == "tester_key") {
            settings.testerKey = value;
        } else if (key == "channel") {
            settings.testingChannel = value == "testing";
        } else if (key == "mirror" && !value.empty()) {
            settings.mirrors.emplace_back(value);
        }
    }
    return settings;
}

std::string formatSettings(const LauncherSettings& settings) {
    std::string text = kHeaderLine;
    if (!settings.server.empty()) text += "server = " + settings.server + "\n";
    for (const std::string& mirror : settings.mirrors) text += "mirror = " + mirror + "\n";
    // The channel matters only with a key: without one the next start shows Live.
    if (!settings.testerKey.empty()) {
        text += "tester_key = " + settings.testerKey + "\n";
        text += std::string("channel = ") + (settings.testingChannel ? "testing" : "live") + "\n";
    }
    return text;
}

LauncherSettings readSettings(const std::string& installDir) {
    std::string text;
    if (readWholeFile(settingsPath(installDir), text, kMaxSettingsBytes) != 0) return {};
    return parseSettings(text);
}

bool writeSettings(const std::string& installDir, const LauncherSettings& settings,
                   std::string& error) {
    const std::string path = settingsPath(installDir);
    const FileError written = writeFileAtomic(path, formatSettings(settings));
    if (written == 0) return true;
    error = isDiskFull(written) ? "cannot save the settings: the disk is full"
                                : "cannot save the settings in " + path;
    return false;
}

}  // namespace kd
