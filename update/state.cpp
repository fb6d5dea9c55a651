#include "update/state.h"

#include "base/base.h"
#include "release/crypto.h"
#include "update/job.h"

namespace kd::launcher {

namespace fs = std::filesystem;

namespace {

fs::path newsCache(const fs::path& installDir, Channel channel) {
    return installDir / (channel == Channel::Testing ? kNewsCacheTesting : kNewsCacheLive);
}

}  // namespace

InstalledRecord readInstalled(const fs::path& gameDir,
                              const std::array<std::uint8_t, 32>& releaseKey) {
    InstalledRecord record;
    std::string body, error;
    record.valid = readWholeFile(gameDir / kInstalledName, record.text, kMaxSignedTextBytes) == 0 &&
                   verifySignedText(record.text, releaseKey.data(), body) &&
                   parseManifest(body, record.manifest, error);
    if (!record.valid) record = InstalledRecord();
    return record;
}

void recordInstalled(const fs::path& gameDir, const std::string& signedManifest) {
    std::error_code ec;
    fs::create_directories(gameDir, ec);
    makeExecutable(gameDir / productName());
    (void)writeFileAtomic(gameDir / kInstalledName, signedManifest);
}

std::string loadNewsCache(const fs::path& installDir, Channel channel,
                          const std::array<std::uint8_t, 32>& releaseKey) {
    std::string text, body;
    if (readWholeFile(newsCache(installDir, channel), text, kMaxSignedTextBytes) != 0) return {};
    if (!verifySignedText(text, releaseKey.data(), body)) return {};
    return body;
}

void saveNewsCache(const fs::path& installDir, Channel channel, const std::string& signedText) {
    (void)writeFileAtomic(newsCache(installDir, channel), signedText, Durability::Cached);
}

const char* channelWord(Channel channel) {
    return channel == Channel::Testing ? "testing" : "live";
}

}  // namespace kd::launcher
