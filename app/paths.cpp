#include "app/paths.h"

#include <filesystem>
#include <system_error>

namespace kd {

namespace fs = std::filesystem;

std::string installDir(const std::string& exePath) {
    if (exePath.empty()) {
        std::error_code ec;
        fs::path cwd = fs::current_path(ec);
        return ec ? std::string(".") : cwd.string();
    }
    return fs::path(exePath).parent_path().string();
}

// platformName and productName are defined with the manifest format in release/.

void removeOldLauncher(const std::string& exePath) {
    if (exePath.empty()) return;
    std::error_code ec;
    fs::remove(exePath + ".old", ec);
}

}  // namespace kd
