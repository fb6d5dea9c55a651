#include "log/log.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <vector>

namespace kd {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMessageBytes = 4096;  // a longer message is cut to its first 4095 bytes
constexpr const char* kLatestName = "latest.log";

struct LogLevel {
    const char* tag;
    const char* colour;
    FILE* (*stream)();
};

FILE* standardOutput() { return stdout; }
FILE* standardError() { return stderr; }

constexpr LogLevel kInfo{"info", "\033[36m", standardOutput};
constexpr LogLevel kWarn{"warn", "\033[33m", standardOutput};
constexpr LogLevel kError{"error", "\033[31m", standardError};
constexpr LogLevel kDebug{"dbg", "\033[90m", standardOutput};

// Taken during static initialisation, so that the first line of a run shows seconds near zero.
const std::chrono::steady_clock::time_point startTime = std::chrono::steady_clock::now();

// Everything below is guarded by logMutex.
std::mutex logMutex;
FILE* logFile = nullptr;
std::string logPath;
bool consoleDebug = false;

void writeLine(const LogLevel& level, const char* source, const char* format, va_list args) {
    char message[kMessageBytes];
    const int named = source ? snprintf(message, sizeof message, "%s: ", source) : 0;
    const std::size_t start = named > 0 ? std::min(std::size_t(named), sizeof message - 1) : 0;
    if (vsnprintf(message + start, sizeof message - start, format, args) < 0) message[start] = '\0';

    std::lock_guard<std::mutex> lock(logMutex);
    auto sinceStart = std::chrono::steady_clock::now() - startTime;
    double seconds =
        double(std::chrono::duration_cast<std::chrono::nanoseconds>(sinceStart).count()) / 1e9;

    if (&level != &kDebug || consoleDebug) {
        FILE* console = level.stream();
        // Colour codes only for a terminal: in a file or a pipe they are noise.
        if (isatty(fileno(console)))
            fprintf(console, "\033[90m[%7.3f]\033[0m %s%-5s\033[0m %s\n", seconds, level.colour,
                    level.tag, message);
        else
            fprintf(console, "[%7.3f] %-5s %s\n", seconds, level.tag, message);
        fflush(console);
    }
    if (logFile) {
        auto wall = std::chrono::system_clock::now().time_since_epoch();
        long long nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(wall).count();
        time_t whole = time_t(nanos / 1000000000);
        struct tm local {};
        localtime_r(&whole, &local);
        char clock[32];
        snprintf(clock, sizeof clock, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min,
                 local.tm_sec, int((nanos / 1000000) % 1000));
        fprintf(logFile, "[%s] [%8.3f] %-5s %s\n", clock, seconds, level.tag, message);
        fflush(logFile);
    }
}

// Moves an existing latest.log aside under the current local time, which sorts in time order.
void rotateLatest(const fs::path& folder) {
    std::error_code ec;
    fs::path latest = folder / kLatestName;
    if (!fs::exists(fs::symlink_status(latest, ec))) return;
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    char stamp[32];
    snprintf(stamp, sizeof stamp, "%04d-%02d-%02d_%02d-%02d-%02d", local.tm_year + 1900,
             local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    // A launcher that restarts itself within the second must not overwrite the log before: a
    // taken name gets "_02", "_03"..., which sort after it. A link never replaces a file.
    for (int n = 1; n < 100; ++n) {
        char name[48];
        snprintf(name, sizeof name, n == 1 ? "%s.log" : "%s_%02d.log", stamp, n);
        if (::link(latest.c_str(), (folder / name).c_str()) == 0) {
            ::unlink(latest.c_str());
            return;
        }
        if (errno != EEXIST) break;
    }
    fs::rename(latest, folder / (std::string(stamp) + ".log"), ec);  // no links here
}

// Keeps the `keep` newest older logs; the time-stamped names sort oldest first.
void pruneOld(const fs::path& folder, int keep) {
    std::vector<fs::path> old;
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const fs::path& path = it->path();
        if (path.filename() != kLatestName && path.extension() == ".log") old.push_back(path);
    }
    if (old.size() <= std::size_t(keep)) return;
    std::sort(old.begin(), old.end());
    for (std::size_t i = 0; i < old.size() - std::size_t(keep); ++i) fs::remove(old[i], ec);
}

}  // namespace

#define KD_LOG_FUNCTION(signature, source, level) \
    signature {                                   \
        va_list args;                             \
        va_start(args, format);                   \
        writeLine(level, source, format, args);   \
        va_end(args);                             \
    }

KD_LOG_FUNCTION(void logInfo(const char* format, ...), nullptr, kInfo)
KD_LOG_FUNCTION(void logWarn(const char* format, ...), nullptr, kWarn)
KD_LOG_FUNCTION(void logError(const char* format, ...), nullptr, kError)
KD_LOG_FUNCTION(void logDebug(const char* format, ...), nullptr, kDebug)
KD_LOG_FUNCTION(void LogSource::info(const char* format, ...) const, name_, kInfo)
KD_LOG_FUNCTION(void LogSource::warn(const char* format, ...) const, name_, kWarn)
KD_LOG_FUNCTION(void LogSource::error(const char* format, ...) const, name_, kError)
KD_LOG_FUNCTION(void LogSource::debug(const char* format, ...) const, name_, kDebug)

#undef KD_LOG_FUNCTION

bool logOpen(const char* folder, int keep) {
    std::lock_guard<std::mutex> lock(logMutex);
    if (logFile) return true;
    if (!folder || !*folder) return false;
    fs::path dir(folder);
    std::error_code ec;
    fs::create_directories(dir, ec);
    rotateLatest(dir);
    if (keep > 0) pruneOld(dir, keep);
    fs::path latest = dir / kLatestName;
    logFile = fopen(latest.c_str(), "w");
    if (!logFile) return false;
    logPath = latest.string();
    return true;
}

void logClose() {
    std::lock_guard<std::mutex> lock(logMutex);
    if (logFile) {
        fflush(logFile);
        fclose(logFile);
        logFile = nullptr;
    }
    logPath.clear();
}

void logSetConsoleDebug(bool on) {
    std::lock_guard<std::mutex> lock(logMutex);
    consoleDebug = on;
}

std::string logFilePath() {
    std::lock_guard<std::mutex> lock(logMutex);
    return logPath;
}

}  // namespace kd
