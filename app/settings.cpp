#include "app/settings.h"

#include <cstdio>
#include <filesystem>

namespace kd {
namespace {

constexpr const char* kSettingsName = "launcher.cfg";
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
        }
    }
    return settings;
}

std::string formatSettings(const LauncherSettings& settings) {
    std::string text = kHeaderLine;
    if (!settings.server.empty()) text += "server = " + settings.server + "\n";
    // The channel matters only with a key: without one the next start shows Live.
    if (!settings.testerKey.empty()) {
        text += "tester_key = " + settings.testerKey + "\n";
        text += std::string("channel = ") + (settings.testingChannel ? "testing" : "live") + "\n";
    }
    return text;
}

LauncherSettings readSettings(const std::string& installDir) {
    FILE* file = fopen(settingsPath(installDir).c_str(), "rb");
    if (!file) return {};
    std::string text;
    char buffer[4096];
    std::size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
    fclose(file);
    return parseSettings(text);
}

void writeSettings(const std::string& installDir, const LauncherSettings& settings) {
    FILE* file = fopen(settingsPath(installDir).c_str(), "wb");
    if (!file) return;
    std::string text = formatSettings(settings);
    fwrite(text.data(), 1, text.size(), file);
    fclose(file);
}

}  // namespace kd
