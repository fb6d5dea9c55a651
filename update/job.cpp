#include "update/job.h"

#include <algorithm>

#include "base/base.h"

namespace kd::launcher {

std::string cannotWrite(const std::filesystem::path& where, int error) {
    if (isDiskFull(error)) return "cannot write to " + where.string() + ": the disk is full";
    if (isNotAllowed(error)) return "not allowed to write to " + where.string();
    return "cannot write to " + where.string();
}

std::string joinUrl(const std::string& base, const std::string& path) {
    if (!base.empty() && base.back() == '/') return base + path;
    return base + "/" + path;
}

double downloadProgress(std::uint64_t received, std::uint64_t packedSize, std::uint64_t done,
                        std::uint64_t total) {
    if (total == 0) return -1.0;
    return (double(std::min(received, packedSize)) + double(done)) / double(total);
}

}  // namespace kd::launcher
