#include "encoder/output_ceiling.h"

#include <gtest/gtest.h>

#include <vector>

namespace halvorine {
namespace {

// 100 bytes a second at 4 frames a second; `sizes` cycle, `key_every` frames
// (0: none) are requested key frames. Returns the bytes each frame made.
std::vector<std::size_t> run(std::vector<std::size_t> sizes, int key_every, int frames = 40) {
  OutputCeiling ceiling(800, 4);
  std::vector<std::size_t> out;
  for (int i = 0; i < frames; ++i) {
    const bool key = key_every != 0 && i % key_every == 0;
    const std::size_t bytes = key || ceiling.admits() ? sizes[i % sizes.size()] : 0;
    ceiling.count(bytes, key);
    out.push_back(bytes);
  }
  return out;
}

TEST(OutputCeilingTest, AnySecondStaysWithinTheCeilingAndTheStreamNeverStops) {
  struct Case {
    std::vector<std::size_t> sizes;
    int key_every;
    std::size_t max_per_second;
  };
  for (const Case& c : {Case{{10}, 0, 100}, Case{{40}, 0, 100}, Case{{90}, 0, 100},
                        Case{{30, 60}, 0, 100},
                        // Larger than the ceiling: one frame a second.
                        Case{{150}, 0, 150},
                        // Key frames count, and take the frames after them
                        // down, but are never held back themselves.
                        Case{{40}, 6, 120}}) {
    const std::vector<std::size_t> out = run(c.sizes, c.key_every);
    for (std::size_t i = 0; i + 4 <= out.size(); ++i) {
      std::size_t second = 0, frames = 0;
      for (std::size_t k = i; k < i + 4; ++k) {
        second += out[k];
        frames += out[k] != 0;
      }
      EXPECT_LE(second, c.max_per_second) << c.sizes[0] << " bytes, frame " << i;
      EXPECT_GE(frames, 1U) << c.sizes[0] << " bytes, frame " << i;
    }
  }
}

TEST(OutputCeilingTest, ALargeKeyFrameDoesNotHoldBackTheSmallFramesAfterIt) {
  OutputCeiling ceiling(800, 4);
  ceiling.count(90, true);
  for (int i = 0; i < 8; ++i) {
    EXPECT_TRUE(ceiling.admits()) << i;
    ceiling.count(2, false);
  }
}

}  // namespace
}  // namespace halvorine
