// A private X server for tests that open real windows, stopped when the object goes away.
#pragma once

#include <memory>
#include <string>

#include "tests/support/child_process.h"

namespace kd::test {

class Xvfb {
public:
    Xvfb(int width = 1280, int height = 800);
    ~Xvfb();

    bool ok() const { return !display_.empty(); }
    const std::string& display() const { return display_; }  // ":N", empty when it did not start

private:
    std::unique_ptr<ChildProcess> server_;
    std::string display_;
};

}  // namespace kd::test
