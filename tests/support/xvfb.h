// A private X server for tests that open real windows: Xvfb on a display number of its own,
// stopped when the object goes away.
#pragma once

#include <string>
#include <sys/types.h>

namespace kd::test {

class Xvfb {
public:
    Xvfb(int width = 1280, int height = 800);
    ~Xvfb();
    Xvfb(const Xvfb&) = delete;
    Xvfb& operator=(const Xvfb&) = delete;

    bool ok() const { return pid_ > 0; }
    const std::string& display() const { return display_; }  // ":N"

private:
    pid_t pid_ = -1;
    std::string display_;
};

}  // namespace kd::test
