// A Logger that keeps every message for the test to read.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/logger.h"

namespace halvorine::testing {

class RecordingLogger final : public Logger {
 public:
  void log(std::string_view message) override {
    std::lock_guard lock(mutex_);
    lines_.emplace_back(message);
  }
  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  // The lines that contain `part`, in order.
  std::vector<std::string> lines_with(std::string_view part) const {
    std::vector<std::string> found;
    for (const auto& line : lines()) {
      if (line.find(part) != std::string::npos) found.push_back(line);
    }
    return found;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace halvorine::testing
