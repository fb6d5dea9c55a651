// Points the process log at a fresh folder and reads back the messages of one level from
// "latest.log", whose lines read "[clock] [seconds] tag   message".
#pragma once

#include <gtest/gtest.h>

#include <fstream>

#include "log/log.h"
#include "tests/support/temp_dir.h"

namespace kd::test {

class LogCapture {
public:
    LogCapture() {
        logClose();
        EXPECT_TRUE(logOpen(dir_.path().c_str(), 0));
    }
    ~LogCapture() { logClose(); }

    // Messages of one level ("info", "warn", "error", "dbg"), or of all levels for "".
    std::vector<std::string> messages(const std::string& tag = "") const {
        std::vector<std::string> out;
        std::ifstream in(dir_ / "latest.log");
        for (std::string line; std::getline(in, line);) {
            std::size_t at = line.find("] ", line.find("] [") + 3) + 2;
            if (tag.empty() || line.compare(at, 6, (tag + "     ").substr(0, 6)) == 0)
                out.push_back(line.substr(at + 6));
        }
        return out;
    }

private:
    TempDir dir_;
};

}  // namespace kd::test
