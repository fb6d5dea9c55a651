// The progress line that publish keeps up to date on stderr while workers hash and pack.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

namespace kd::tool {

// Counts work done for the progress line; the counters are the only state the workers share
// with the reporting thread.
struct Progress {
    std::atomic<std::size_t> files{0};
    std::atomic<std::uint64_t> bytes{0};
};

// Redraws one line four times a second for as long as it lives, when shown; the last state
// stays on the terminal.
class ProgressLine {
public:
    ProgressLine(bool shown, const char* what, std::size_t totalFiles, std::uint64_t totalBytes,
                 const Progress& progress);
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

private:
    void run();
    void print() const;

    bool shown_;
    const char* what_;
    std::size_t totalFiles_;
    std::uint64_t totalBytes_;
    const Progress& progress_;
    std::chrono::steady_clock::time_point start_;
    std::thread thread_;
    std::mutex mutex_;  // guards done_
    std::condition_variable wake_;
    bool done_ = false;
};

}  // namespace kd::tool
