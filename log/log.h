// The process-wide log: one line per call on the console (seconds since start, coloured when the
// console is a terminal) and, once logOpen has succeeded, the same line in "latest.log" with the
// wall-clock time in front. Earlier runs' files are kept under time-stamped names, at most `keep`
// of them. Callable from any thread.
#pragma once

#include <string>

namespace kd {

#define KD_PRINTF_LIKE __attribute__((format(printf, 1, 2)))
#define KD_PRINTF_LIKE_MEMBER __attribute__((format(printf, 2, 3)))

// Lines that belong to no subsystem, such as the first line of a run, written as given.
void logInfo(const char* format, ...) KD_PRINTF_LIKE;
void logWarn(const char* format, ...) KD_PRINTF_LIKE;
void logError(const char* format, ...) KD_PRINTF_LIKE;
void logDebug(const char* format, ...) KD_PRINTF_LIKE;

// One subsystem's lines: each starts with its name and ": ", so that a reader can pick out its
// lines and no call site types the name. The name and the message share the line's 4095 bytes.
class LogSource {
public:
    explicit constexpr LogSource(const char* name) : name_(name) {}
    void info(const char* format, ...) const KD_PRINTF_LIKE_MEMBER;
    void warn(const char* format, ...) const KD_PRINTF_LIKE_MEMBER;
    void error(const char* format, ...) const KD_PRINTF_LIKE_MEMBER;
    void debug(const char* format, ...) const KD_PRINTF_LIKE_MEMBER;

private:
    const char* name_;
};

// The launcher's own lines, from the application and the update engine alike.
inline constexpr LogSource launcherLog{"launcher"};

#undef KD_PRINTF_LIKE
#undef KD_PRINTF_LIKE_MEMBER

// Rotates an existing "latest.log" to a time-stamped name, prunes to `keep` older logs and opens a
// fresh "latest.log". True when a file is open afterwards; a second call while open does nothing.
bool logOpen(const char* folder, int keep);
void logClose();
void logSetConsoleDebug(bool on);
std::string logFilePath();

}  // namespace kd
