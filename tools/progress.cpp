#include "tools/progress.h"

#include <cstdio>

namespace kd::tool {

ProgressLine::ProgressLine(bool shown, const char* what, std::size_t totalFiles,
                           std::uint64_t totalBytes, const Progress& progress)
    : shown_(shown),
      what_(what),
      totalFiles_(totalFiles),
      totalBytes_(totalBytes),
      progress_(progress),
      start_(std::chrono::steady_clock::now()) {
    if (shown_) thread_ = std::thread([this] { run(); });
}

ProgressLine::~ProgressLine() {
    if (!shown_) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
    }
    wake_.notify_all();
    thread_.join();
    print();
    fputc('\n', stderr);
}

void ProgressLine::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, std::chrono::milliseconds(250), [this] { return done_; })) print();
}

void ProgressLine::print() const {
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    double mib = double(progress_.bytes) / (1 << 20);
    fprintf(stderr, "\r%s %zu of %zu files, %.1f of %.1f MiB, %.1f MiB/s   ", what_,
            progress_.files.load(), totalFiles_, mib, double(totalBytes_) / (1 << 20),
            seconds > 0 ? mib / seconds : 0.0);
    fflush(stderr);
}

}  // namespace kd::tool
