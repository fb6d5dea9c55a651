#include "update/release_check.h"

#include <charconv>
#include <string_view>

#include "base/base.h"
#include "log/log.h"

namespace kd::launcher {

namespace {

constexpr std::uint64_t kMaxSerialsBytes = 4096;

}  // namespace

SerialRecord readSerials(const std::filesystem::path& installDir) {
    SerialRecord record;
    std::string text;
    if (readWholeFile(installDir / kSerialsName, text, kMaxSerialsBytes) != 0) return record;
    std::string_view rest = text;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        const std::size_t space = line.find(' ');
        if (space == 0 || space == std::string_view::npos) continue;
        std::uint64_t serial = 0;
        const std::string_view digits = line.substr(space + 1);
        const auto [ptr, ec] =
            std::from_chars(digits.data(), digits.data() + digits.size(), serial);
        if (ec != std::errc() || ptr != digits.data() + digits.size()) continue;
        record[std::string(line.substr(0, space))] = serial;
    }
    return record;
}

bool writeSerials(const std::filesystem::path& installDir, const SerialRecord& record) {
    std::string text;
    for (const auto& [channel, serial] : record)
        if (serial != 0) text += channel + " " + std::to_string(serial) + "\n";
    return writeFileAtomic(installDir / kSerialsName, text) == 0;
}

std::string acceptRelease(const std::filesystem::path& installDir, const Manifest& release,
                          const std::string& channel) {
    SerialRecord serials = readSerials(installDir);
    const std::string refusal = judgeRelease(release, channel, serials[channel]);
    if (!refusal.empty()) return refusal;
    if (release.serial > serials[channel]) {
        serials[channel] = release.serial;
        if (!writeSerials(installDir, serials))
            logWarn("launcher: cannot record the release serial in %s", installDir.c_str());
    }
    return {};
}

std::string judgeRelease(const Manifest& release, const std::string& channel,
                         std::uint64_t highestSeen) {
    for (const Entry& entry : release.files)
        if (isLauncherOwnedPath(entry.path))
            return "the release lists " + entry.path + ", a name the launcher keeps for itself";
    if (!release.channel.empty() && release.channel != channel)
        return "the server offered the " + release.channel + " release on the " + channel +
               " channel";
    // A release without a serial is older than any release that had one.
    if (release.serial < highestSeen)
        return "the server offered an older release than one this launcher has already seen";
    return {};
}

}  // namespace kd::launcher
