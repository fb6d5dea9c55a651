// Test helper: points the process log at a fresh temporary folder and reads back the messages of
// one level from "latest.log" (lines read "[clock] [seconds] tag   message").
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "log/log.h"

namespace kd::test {

class LogCapture {
public:
    LogCapture() {
        char pattern[] = "/tmp/veilstone-gfx-log-XXXXXX";
        EXPECT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
        logClose();
        EXPECT_TRUE(logOpen(folder_.c_str(), 0));
    }
    ~LogCapture() {
        logClose();
        std::filesystem::remove_all(folder_);
    }

    // Messages of one level ("info", "warn", "error", "dbg"), or of all levels for "".
    std::vector<std::string> messages(const std::string& tag = "") const {
        std::vector<std::string> out;
        std::ifstream in(folder_ + "/latest.log");
        for (std::string line; std::getline(in, line);) {
            std::size_t tagAt = line.find("] ", line.find("] [") + 3) + 2;
            if (tag.empty() || line.compare(tagAt, 6, (tag + "     ").substr(0, 6)) == 0) {
                out.push_back(line.substr(tagAt + 6));
            }
        }
        return out;
    }

private:
    std::string folder_;
};

}  // namespace kd::test
