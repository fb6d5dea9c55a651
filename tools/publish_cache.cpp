#include "tools/publish_cache.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/base.h"
#include "tools/text.h"

namespace kd::tool {

namespace {

constexpr const char* kCacheHeader = "veilstone-publish-cache 1";
constexpr std::int64_t kFineSettleNs = 100'000'000;
constexpr std::int64_t kCoarseSettleNs = 3'000'000'000;  // for file systems with whole seconds
constexpr std::uint64_t kMaxCacheBytes = std::uint64_t(1) << 30;

}  // namespace

bool identify(const std::filesystem::path& file, Identity& identity) {
    struct stat info {};
    if (stat(file.c_str(), &info) != 0) return false;
    auto ns = [](const timespec& t) { return std::int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec; };
    identity = {std::uint64_t(info.st_dev), std::uint64_t(info.st_ino), std::uint64_t(info.st_size),
                ns(info.st_mtim), ns(info.st_ctim)};
    return true;
}

bool settled(const Identity& identity, std::int64_t lookedAtNs) {
    if (identity.inode == 0) return false;  // never looked at
    bool coarse =
        identity.modifiedNs % 1'000'000'000 == 0 && identity.changedNs % 1'000'000'000 == 0;
    return lookedAtNs - identity.changedNs > (coarse ? kCoarseSettleNs : kFineSettleNs);
}

std::int64_t wallClockNs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return std::int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

Cache readCache(const std::filesystem::path& file) {
    Cache cache;
    std::string text;
    if (readWholeFile(file, text, kMaxCacheBytes) != 0 ||
        text.rfind(std::string(kCacheHeader) + "\n", 0) != 0)
        return cache;
    std::size_t at = text.find('\n') + 1;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) break;
        std::string line = text.substr(at, end - at);
        at = end + 1;
        Known known;
        char hash[65] = {};
        unsigned long long dev, ino, size, packed;
        long long modified, changed;
        int used = 0;
        if (sscanf(line.c_str(), "%llu %llu %llu %lld %lld %64s %llu %n", &dev, &ino, &size,
                   &modified, &changed, hash, &packed, &used) != 7 ||
            used == 0 || std::strlen(hash) != 64 || !isLowerHex(hash))
            continue;
        known.identity = {dev, ino, size, modified, changed};
        known.hash = hash;
        known.packedSize = packed;
        cache[line.substr(std::size_t(used))] = known;
    }
    return cache;
}

void writeCache(const std::filesystem::path& file, const Cache& cache) {
    std::string text = std::string(kCacheHeader) + "\n";
    char numbers[160];
    for (const auto& [path, known] : cache) {
        if (path.find('\n') != std::string::npos) continue;
        const Identity& id = known.identity;
        snprintf(numbers, sizeof numbers, "%llu %llu %llu %lld %lld ",
                 (unsigned long long)id.device, (unsigned long long)id.inode,
                 (unsigned long long)id.size, (long long)id.modifiedNs, (long long)id.changedNs);
        text += numbers + known.hash + " " + std::to_string(known.packedSize) + " " + path + "\n";
    }
    (void)writeFileAtomic(file, text);
}

}  // namespace kd::tool
