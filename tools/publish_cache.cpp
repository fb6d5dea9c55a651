#include "tools/publish_cache.h"

#include <sys/stat.h>

#include <charconv>
#include <ctime>
#include <string_view>

#include "base/base.h"
#include "release/crypto.h"
#include "tools/text.h"

namespace kd::tool {

namespace {

// Lines: the header, then "file STAMP HASH KEY" (a big file's followed by "chunks HASH SIZE
// PACKED KEY") and "object STAMP HASH", then "check" and the hash of every byte before that line,
// so that damage anywhere shows. The second version, without chunks lines, reads as it is.
constexpr std::string_view kCacheHeader = "veilstone-publish-cache 3\n";
constexpr std::string_view kOlderHeader = "veilstone-publish-cache 2\n";
static_assert(kOlderHeader.size() == kCacheHeader.size());
constexpr std::string_view kHeaderWord = "veilstone-publish-cache ";
constexpr std::string_view kCheckWord = "check ";
constexpr std::int64_t kFineSettleNs = 100'000'000;
constexpr std::int64_t kCoarseSettleNs = 3'000'000'000;  // for file systems with whole seconds
constexpr std::uint64_t kMaxCacheBytes = std::uint64_t(1) << 30;

// Takes one number and the blank after it off the front of the line.
template <typename Number>
bool takeNumber(std::string_view& line, Number& number) {
    const auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), number);
    if (error != std::errc() || end == line.data() + line.size() || *end != ' ') return false;
    line.remove_prefix(std::size_t(end - line.data()) + 1);
    return true;
}

bool takeStamp(std::string_view& line, Stamp& stamp) {
    return takeNumber(line, stamp.device) && takeNumber(line, stamp.inode) &&
           takeNumber(line, stamp.size) && takeNumber(line, stamp.modifiedNs) &&
           takeNumber(line, stamp.changedNs);
}

bool takeHash(std::string_view& line, std::string& hash, bool last) {
    const std::size_t digits = 2 * kDigestBytes;
    if (line.size() < digits || !isLowerHex(line.substr(0, digits)) ||
        (last ? line.size() != digits : line.size() == digits || line[digits] != ' '))
        return false;
    hash = line.substr(0, digits);
    line.remove_prefix(last ? digits : digits + 1);
    return true;
}

bool readLine(std::string_view line, PublishCache& cache) {
    Stamp stamp;
    std::string hash;
    if (line.starts_with("file ")) {
        line.remove_prefix(5);
        if (!takeStamp(line, stamp) || !takeHash(line, hash, false) || line.empty()) return false;
        cache.files[std::string(line)] = {stamp, hash};
        return true;
    }
    if (line.starts_with("chunks ")) {
        line.remove_prefix(7);
        FileRecord list;
        if (!takeHash(line, list.chunksHash, false) || !takeNumber(line, list.chunksSize) ||
            !takeNumber(line, list.chunksPackedSize))
            return false;
        const auto file = cache.files.find(std::string(line));
        if (file == cache.files.end() || !file->second.chunksHash.empty()) return false;
        file->second.chunksHash = std::move(list.chunksHash);
        file->second.chunksSize = list.chunksSize;
        file->second.chunksPackedSize = list.chunksPackedSize;
        return true;
    }
    if (line.starts_with("object ")) {
        line.remove_prefix(7);
        if (!takeStamp(line, stamp) || !takeHash(line, hash, true)) return false;
        cache.objects[hash] = stamp;
        return true;
    }
    return false;
}

void appendStamp(std::string& text, const Stamp& stamp) {
    for (std::uint64_t number : {stamp.device, stamp.inode, stamp.size})
        text += std::to_string(number) + ' ';
    for (std::int64_t number : {stamp.modifiedNs, stamp.changedNs})
        text += std::to_string(number) + ' ';
}

bool parse(std::string_view text, PublishCache& cache) {
    const std::size_t checkAt = text.rfind(std::string("\n") + std::string(kCheckWord));
    if (checkAt == std::string_view::npos) return false;
    const std::string_view body = text.substr(0, checkAt + 1);
    std::string_view check = text.substr(checkAt + 1 + kCheckWord.size());
    std::string expected;
    if (!check.ends_with('\n') || (check.remove_suffix(1), !takeHash(check, expected, true)) ||
        hashBuffer(body.data(), body.size()) != expected)
        return false;
    for (std::size_t at = kCacheHeader.size(); at < body.size();) {
        const std::size_t end = body.find('\n', at);
        if (!readLine(body.substr(at, end - at), cache)) return false;
        at = end + 1;
    }
    return true;
}

}  // namespace

bool stampOf(const std::filesystem::path& file, Stamp& stamp) {
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) return false;
    auto ns = [](const timespec& t) { return std::int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec; };
    stamp = {std::uint64_t(info.st_dev), std::uint64_t(info.st_ino), std::uint64_t(info.st_size),
             ns(info.st_mtim), ns(info.st_ctim)};
    return true;
}

bool settled(const Stamp& stamp, std::int64_t lookedAtNs) {
    if (stamp.inode == 0) return false;  // never looked at
    const bool coarse =
        stamp.modifiedNs % 1'000'000'000 == 0 && stamp.changedNs % 1'000'000'000 == 0;
    return lookedAtNs - stamp.changedNs > (coarse ? kCoarseSettleNs : kFineSettleNs);
}

std::int64_t wallClockNs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return std::int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

PublishCache readPublishCache(const std::filesystem::path& file, std::string& warning) {
    PublishCache cache;
    std::string text;
    warning.clear();
    const FileError error = readWholeFile(file, text, kMaxCacheBytes);
    if (error == ENOENT) return cache;
    // Another version's cache is no damage: it is only not understood.
    const bool known = text.starts_with(kCacheHeader) || text.starts_with(kOlderHeader);
    if (error == 0 && text.starts_with(kHeaderWord) && !known) return cache;
    if (error == 0 && known && parse(text, cache)) return cache;
    warning = "the publish cache " + quoteName(file.string()) +
              " is damaged; every file is read and every object checked again";
    return PublishCache();
}

void writePublishCache(const std::filesystem::path& file, const PublishCache& cache) {
    std::string text(kCacheHeader);
    for (const auto& [key, record] : cache.files) {
        if (key.empty() || key.find('\n') != std::string::npos) continue;
        text += "file ";
        appendStamp(text, record.stamp);
        text += record.hash + ' ' + key + '\n';
        if (!record.chunksHash.empty())
            text += "chunks " + record.chunksHash + ' ' + std::to_string(record.chunksSize) + ' ' +
                    std::to_string(record.chunksPackedSize) + ' ' + key + '\n';
    }
    for (const auto& [hash, stamp] : cache.objects) {
        text += "object ";
        appendStamp(text, stamp);
        text += hash + '\n';
    }
    text += std::string(kCheckWord) + hashBuffer(text.data(), text.size()) + '\n';
    (void)writeFileAtomic(file, text);
}

}  // namespace kd::tool
