#include "update/release_check.h"

#include <charconv>
#include <cstdint>
#include <map>
#include <string_view>
#include <vector>

#include "base/base.h"
#include "log/log.h"
#include "release/crypto.h"
#include "update/job.h"

namespace kd::launcher {

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kMaxSerialsBytes = 4096;
constexpr std::size_t kLineCheckDigits = 16;

struct Accepted {
    std::uint64_t serial = 0;
    std::string manifestHash;  // empty: not known (a line an earlier launcher wrote)
};

using SerialRecord = std::map<std::string, Accepted, std::less<>>;

std::string lineCheck(std::string_view line) {
    return hashBuffer(line.data(), line.size()).substr(0, kLineCheckDigits);
}

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    while (!line.empty()) {
        const std::size_t space = line.find(' ');
        out.push_back(line.substr(0, space));
        line = space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
    }
    return out;
}

bool readSerial(std::string_view digits, std::uint64_t& serial) {
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), serial);
    return ec == std::errc() && end == digits.data() + digits.size() && !digits.empty() &&
           digits[0] != '0';
}

bool isDigest(std::string_view text) {
    if (text.size() != 2 * kDigestBytes) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

// One line: "word serial hash check", or "word serial" as launchers before the hash wrote it.
bool readLine(std::string_view line, std::string& channel, Accepted& accepted) {
    const std::vector<std::string_view> w = words(line);
    if ((w.size() != 2 && w.size() != 4) || w[0].empty() || !readSerial(w[1], accepted.serial))
        return false;
    if (w.size() == 4) {
        const std::string_view body = line.substr(0, line.size() - kLineCheckDigits - 1);
        if (!isDigest(w[2]) || w[3] != lineCheck(body)) return false;
        accepted.manifestHash = w[2];
    }
    channel = w[0];
    return true;
}

std::string formatRecord(const SerialRecord& record) {
    std::string text;
    for (const auto& [channel, accepted] : record) {
        if (accepted.serial == 0) continue;
        std::string line = channel + " " + std::to_string(accepted.serial);
        if (!accepted.manifestHash.empty()) {
            line += " " + accepted.manifestHash;
            line += " " + lineCheck(line);
        }
        text += line + "\n";
    }
    return text;
}

// The record as far as the file proves it. A file that is there but does not read whole (cut
// short, a changed byte, too large, a folder, unreadable) is damaged: its good lines are kept,
// its bytes are kept aside when they can be read, and damaged is set so that the caller writes
// the record anew.
SerialRecord readSerials(const fs::path& installDir, bool& damaged) {
    SerialRecord record;
    const fs::path file = installDir / kSerialsName;
    std::string text;
    const FileError error = readWholeFile(file, text, kMaxSerialsBytes);
    damaged = false;
    if (error == ENOENT) return record;
    damaged = error != 0 || text.empty() || text.back() != '\n';
    std::string_view rest = text;
    while (error == 0 && !rest.empty()) {
        const std::size_t end = rest.find('\n');
        if (end == std::string_view::npos) break;  // a line cut short
        const std::string_view line = rest.substr(0, end);
        rest = rest.substr(end + 1);
        std::string channel;
        Accepted accepted;
        // The first line of a channel counts; the writer never writes two.
        if (!readLine(line, channel, accepted) || record.count(channel) != 0)
            damaged = true;
        else
            record[channel] = accepted;
    }
    if (damaged) {
        fs::path aside = file;
        aside += kDamagedSuffix;
        const bool kept = error == 0 && writeFileAtomic(aside, text, Durability::Cached) == 0;
        launcherLog.warn("%s is damaged%s", file.c_str(),
                         kept ? "; kept aside as .serials.damaged" : "");
    }
    return record;
}

std::string judgeRelease(const Manifest& release, const std::string& manifestHash,
                         const std::string& channel, const Accepted& floor) {
    for (const Entry& entry : release.files)
        if (isLauncherOwnedPath(entry.path))
            return "the release lists " + entry.path + ", a name the launcher keeps for itself";
    if (!release.channel.empty() && release.channel != channel)
        return "the server offered the " + release.channel + " release on the " + channel +
               " channel";
    // A release without a serial is older than any release that had one.
    if (release.serial < floor.serial)
        return "the server offered an older release than one this launcher has already seen";
    // A serial names one release of its channel: a second text under it is not that release.
    if (release.serial != 0 && release.serial == floor.serial && !floor.manifestHash.empty() &&
        floor.manifestHash != manifestHash)
        return "the server offered another release under a serial this launcher has already "
               "accepted";
    return {};
}

}  // namespace

std::string acceptRelease(const fs::path& installDir, const Manifest& release,
                          const std::string& text, const std::string& channel,
                          const InstalledRecord& installed) {
    bool damaged = false;
    SerialRecord record = readSerials(installDir, damaged);
    // The installed record is signed: whatever became of the file, its serial was accepted. The
    // file is brought up to it, so that the floor outlives a record of another channel.
    bool behind = damaged;
    if (installed.valid && installed.manifest.channel == channel &&
        installed.manifest.serial > record[channel].serial) {
        record[channel] = {installed.manifest.serial,
                           hashBuffer(installed.text.data(), installed.text.size())};
        behind = true;
    }
    const std::string manifestHash = hashBuffer(text.data(), text.size());
    Accepted& floor = record[channel];
    const std::string refusal = judgeRelease(release, manifestHash, channel, floor);

    // A release that raises the floor (or names the text of its serial for the first time) must
    // be recorded before it is offered; a damaged or stale file is written anew with what the
    // launcher still proves, refused release or not.
    const bool raises = refusal.empty() && (release.serial > floor.serial ||
                                            (release.serial != 0 && floor.manifestHash.empty()));
    if (raises) floor = {release.serial, manifestHash};
    if (!raises && !behind) return refusal;
    const fs::path file = installDir / kSerialsName;
    std::error_code ec;
    fs::create_directories(installDir, ec);
    const FileError error = writeFileAtomic(file, formatRecord(record));
    if (error != 0 && raises) return cannotWrite(file, error);
    // The floor in memory held for this check, and the file still proves what it did.
    if (error != 0) launcherLog.warn("cannot write %s: %s", file.c_str(), errorText(error).c_str());
    return refusal;
}

}  // namespace kd::launcher
