#include "update/job.h"

#include <algorithm>

#include "base/base.h"
#include "log/log.h"

namespace kd::launcher {

Servers::Servers(std::vector<std::string> urls) : urls_(std::move(urls)) {
    if (urls_.empty()) urls_.push_back({});
}

void Servers::failed(std::size_t i) {
    std::size_t expected = i % urls_.size();
    const std::size_t next = (expected + 1) % urls_.size();
    if (next != expected && first_.compare_exchange_strong(expected, next))
        launcherLog.warn("%s does not answer; asking %s first", urls_[expected].c_str(),
                         urls_[next].c_str());
}

std::string cannotWrite(const std::filesystem::path& where, int error) {
    if (isDiskFull(error)) return "cannot write to " + where.string() + ": the disk is full";
    if (isNotAllowed(error)) return "not allowed to write to " + where.string();
    return "cannot write to " + where.string();
}

double downloadProgress(std::uint64_t received, std::uint64_t packedSize, std::uint64_t done,
                        std::uint64_t total) {
    if (total == 0) return -1.0;
    return (double(std::min(received, packedSize)) + double(done)) / double(total);
}

}  // namespace kd::launcher
