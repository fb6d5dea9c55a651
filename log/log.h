// The process-wide log: one line per call on the console (seconds since start, coloured when the
// console is a terminal) and, once logOpen has succeeded, the same line in "latest.log" with the
// wall-clock time in front. Earlier runs' files are kept under time-stamped names, at most `keep`
// of them. Callable from any thread.
#pragma once

#include <string>

namespace kd {

#define KD_PRINTF_LIKE __attribute__((format(printf, 1, 2)))

void logInfo(const char* format, ...) KD_PRINTF_LIKE;
void logWarn(const char* format, ...) KD_PRINTF_LIKE;
void logError(const char* format, ...) KD_PRINTF_LIKE;
void logDebug(const char* format, ...) KD_PRINTF_LIKE;

#undef KD_PRINTF_LIKE

// Rotates an existing "latest.log" to a time-stamped name, prunes to `keep` older logs and opens a
// fresh "latest.log". True when a file is open afterwards; a second call while open does nothing.
bool logOpen(const char* folder, int keep);
void logClose();
void logSetConsoleDebug(bool on);
std::string logFilePath();

}  // namespace kd
