#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "logging/lines.h"

namespace halvo::testing {

// Collects what the code under test writes to standard error, as lines without timestamps.
class CapturedStderr {
  public:
    CapturedStderr() { ::testing::internal::CaptureStderr(); }
    ~CapturedStderr() {
        flushLines(std::chrono::seconds(5));
        if (!taken_)
            ::testing::internal::GetCapturedStderr();
    }
    // Ends the capture: signal lines as written, diagnostic lines as their message.
    std::vector<std::string> lines() {
        taken_ = true;
        EXPECT_TRUE(flushLines(std::chrono::seconds(5)));
        const std::string raw = ::testing::internal::GetCapturedStderr();
        std::vector<std::string> result;
        for (std::size_t begin = 0, end; begin < raw.size(); begin = end + 1) {
            end = raw.find('\n', begin);
            const std::string line = raw.substr(begin, end - begin);
            result.push_back(line.rfind("[", 0) == 0 ? line.substr(23) : line);
        }
        return result;
    }

  private:
    bool taken_ = false;
};

}  // namespace halvo::testing
