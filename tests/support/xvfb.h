// A private X server for tests that open real windows, stopped when the object goes away.
#pragma once

#include <sys/types.h>

#include <string>

namespace kd::test {

class Xvfb {
public:
    Xvfb(int width = 1280, int height = 800);
    ~Xvfb();
    Xvfb(const Xvfb&) = delete;
    Xvfb& operator=(const Xvfb&) = delete;

    bool ok() const { return !display_.empty(); }
    const std::string& display() const { return display_; }  // ":N", empty when it did not start

private:
    pid_t pid_ = -1;
    std::string display_;
};

}  // namespace kd::test
