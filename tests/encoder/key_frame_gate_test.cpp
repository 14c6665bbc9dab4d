#include "encoder/key_frame_gate.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "encoder/annex_b.h"

namespace halvorine {
namespace {

using Bytes = std::vector<std::uint8_t>;

// NAL units by type, each behind a 4-byte start code, with one payload byte.
Bytes stream(std::initializer_list<int> types, bool three_byte_codes = false) {
  Bytes out;
  for (int type : types) {
    if (!three_byte_codes) out.push_back(0);
    // Byte by byte: GCC 12 sees a false out-of-bounds copy in an initializer-list insert here.
    for (const std::uint8_t byte : {0, 0, 1, 0x60 | type, 0x80}) out.push_back(byte);
  }
  return out;
}

TEST(KeyFrameStartTest, FindsTheAccessUnitOfAnIdrWithItsParameterSets) {
  struct Case {
    std::string name;
    Bytes bytes;
    std::optional<std::size_t> start;
  };
  const std::vector<Case> cases = {
      {"sps pps idr", stream({7, 8, 5}), 0},
      {"delimiter first", stream({9, 7, 8, 6, 5, 5}), 0},
      {"late P-frame before the key frame", stream({1, 9, 7, 8, 5}), 6},
      {"two P-frames, then sps first", stream({9, 1, 9, 1, 7, 8, 5}), 24},
      {"three-byte start codes", stream({1, 7, 8, 5}, true), 5},
      {"idr without parameter sets", stream({9, 5}), std::nullopt},
      {"parameter sets of an earlier unit", stream({7, 8, 1, 5}), std::nullopt},
      {"P-frames only", stream({9, 1, 9, 1}), std::nullopt},
      {"nothing", {}, std::nullopt},
      {"garbage", Bytes{0, 0, 1}, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(key_frame_start(c.bytes), c.start) << c.name;
}

// Trimming to the key frame is shown through the encoder facade; here, what
// only the gate decides: an encoder ignoring the request is asked again.
TEST(KeyFrameGateTest, DropsUntilAKeyFrameAndAsksAgainEveryThirtyDrops) {
  KeyFrameGate gate;  // an encoder's first output must be a key frame
  int asks = 0;
  for (int i = 0; i < 2 * static_cast<int>(KeyFrameGate::kDropsBeforeAskingAgain); ++i) {
    Bytes dropped = stream({9, 1});
    asks += gate.pass(dropped) ? 1 : 0;
    EXPECT_TRUE(dropped.empty());
  }
  EXPECT_EQ(asks, 2);
  Bytes key = stream({9, 7, 8, 5});
  EXPECT_FALSE(gate.pass(key));
  EXPECT_TRUE(gate.open() && key == stream({9, 7, 8, 5}));
}

}  // namespace
}  // namespace halvorine
