// What the log tests share: a private folder per test, files read whole, and
// one line appended the way the worker's first line goes.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "common/clock.h"
#include "common/log_file_writer.h"

namespace halvorine::testing {

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// One line through a writer of its own, which never rotates.
inline bool append_to_log_file(const std::filesystem::path& directory, std::string_view line) {
  SystemClock clock;
  return LogFileWriter(directory, UINT64_MAX, clock).append(line).has_value();
}

// A fresh, empty folder `root_` for each test, removed after it.
class LogFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::filesystem::temp_directory_path() /
            ("halvorine-log-test-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(root_);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  std::filesystem::path root_;
};

}  // namespace halvorine::testing
