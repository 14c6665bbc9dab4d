// An InputSink that records every call and inserts as many records as told.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "bin/worker/inject/input_sink.h"

namespace halvorine::testing {

class FakeInputSink final : public InputSink {
 public:
  SendOutcome send(std::span<const InputRecord> records) override {
    calls.emplace_back(records.begin(), records.end());
    const auto count = static_cast<std::uint32_t>(records.size());
    const std::uint32_t inserted = insert_limit ? std::min(*insert_limit, count) : count;
    return {inserted, inserted < count ? error_code : 0};
  }

  bool is_down(std::uint16_t virtual_key) override {
    return std::find(down.begin(), down.end(), virtual_key) != down.end();
  }

  std::optional<std::uint16_t> layout_virtual_key(std::uint16_t scan_code) override {
    return layout.contains(scan_code) ? std::optional(layout.at(scan_code)) : std::nullopt;
  }

  std::vector<std::vector<InputRecord>> calls;
  std::vector<std::uint16_t> down;  // what is_down reports as down
  std::optional<std::uint32_t> insert_limit;  // records inserted per call; all when empty
  std::int32_t error_code = 5;                // reported when fewer are inserted
  std::map<std::uint16_t, std::uint16_t> layout;  // scan code -> the layout's virtual key; none: unreadable
};

}  // namespace halvorine::testing
