#include "update/status.h"

#include <cstdio>

namespace kd::launcher {

namespace {

constexpr std::size_t kSizeTextBytes = 32;
constexpr std::uint64_t kKiB = 1024;
constexpr std::uint64_t kMiB = kKiB * 1024;
constexpr std::uint64_t kGiB = kMiB * 1024;

}  // namespace

std::string sizeText(std::uint64_t bytes) {
    char text[kSizeTextBytes];
    if (bytes >= kGiB)
        snprintf(text, sizeof text, "%.1f GB", double(bytes) / double(kGiB));
    else if (bytes >= kMiB)
        snprintf(text, sizeof text, "%.1f MB", double(bytes) / double(kMiB));
    else if (bytes < kKiB)
        snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
    else
        snprintf(text, sizeof text, "%.0f KB", double(bytes) / double(kKiB));
    return text;
}

}  // namespace kd::launcher
