#include "tools/launcher_server.h"

#include <fcntl.h>

#include <cstdint>
#include <cstdio>
#include <set>
#include <string_view>
#include <vector>

#include "base/base.h"
#include "release/crypto.h"
#include "release/inflate.h"
#include "tools/text.h"

namespace kd::tool {

namespace fs = std::filesystem;

namespace {

// Must stay the marker that app/build_config.cpp writes before the URL, which ends at a zero byte.
constexpr std::string_view kUrlMarker = "veilstone-server-url=";
constexpr std::size_t kMaxUrlBytes = 4096;
constexpr std::size_t kPieceBytes = 1 << 20;

// Finds every marked URL in bytes that come in pieces split anywhere.
class UrlScanner {
public:
    void add(const std::uint8_t* data, std::size_t length) {
        window_.append(reinterpret_cast<const char*>(data), length);
        std::size_t from = 0;
        for (;;) {
            const std::size_t marker = window_.find(kUrlMarker, from);
            if (marker == std::string::npos) {
                // Only the start of a marker can still be completed by the next piece.
                const std::size_t keep = std::min(window_.size(), kUrlMarker.size() - 1);
                window_.erase(0, window_.size() - keep);
                return;
            }
            const std::size_t url = marker + kUrlMarker.size();
            const std::size_t end = window_.find('\0', url);
            if (end == std::string::npos && window_.size() - url <= kMaxUrlBytes) {
                window_.erase(0, marker);  // the rest of this URL is still to come
                return;
            }
            if (end != std::string::npos && end > url && end - url <= kMaxUrlBytes)
                if (found_.size() < 2) found_.insert(window_.substr(url, end - url));
            from = marker + 1;
        }
    }
    // The one URL found; empty when there was none, or more than one (two are enough to know).
    std::string url() const { return found_.size() == 1 ? *found_.begin() : std::string(); }

private:
    std::string window_;
    std::set<std::string> found_;
};

std::string urlInFile(const fs::path& file) {
    UniqueFd in(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in) return {};
    UrlScanner scanner;
    std::vector<std::uint8_t> piece(kPieceBytes);
    for (long got; (got = readSome(in.get(), piece.data(), piece.size())) != 0;) {
        if (got < 0) return {};
        scanner.add(piece.data(), std::size_t(got));
    }
    return scanner.url();
}

// The object must unpack to the launcher the manifest names, or what it says does not count.
std::string urlInObject(const fs::path& object, const Entry& launcher) {
    UniqueFd in(::open(object.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in) return {};
    UrlScanner scanner;
    FileHasher hasher;
    Inflater inflater(launcher.size, [&](const std::uint8_t* data, std::size_t length) {
        hasher.add(data, length);
        scanner.add(data, length);
        return true;
    });
    std::vector<std::uint8_t> piece(kPieceBytes);
    for (long got; (got = readSome(in.get(), piece.data(), piece.size())) != 0;)
        if (got < 0 || !inflater.push(piece.data(), std::size_t(got))) return {};
    return inflater.finish() && hasher.finish() == launcher.hash ? scanner.url() : std::string();
}

}  // namespace

bool checkLauncherServer(const fs::path& launcherFile, const std::string& launcherHash,
                         const Manifest& previous, const fs::path& objects, bool serverOk,
                         std::string& error) {
    if (previous.launcher.hash.empty() || previous.launcher.hash == launcherHash) return true;
    const std::string url = urlInFile(launcherFile);
    const std::string before = urlInObject(objects / previous.launcher.hash, previous.launcher);
    std::string problem;
    if (url.empty())
        problem = "cannot find the server url in " + quoteName(launcherFile.string());
    else if (before.empty())
        problem = "cannot find the server url in the launcher players have";
    else if (url != before)
        problem = quoteName(launcherFile.string()) + " names the server " + quoteName(url) +
                  ", but players' launchers name " + quoteName(before);
    if (problem.empty()) return true;
    if (serverOk) {
        fprintf(stderr, "warning: %s\n", problem.c_str());
        return true;
    }
    error = problem + "; give --launcher-server-ok to publish it all the same";
    return false;
}

}  // namespace kd::tool
