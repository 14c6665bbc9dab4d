#include "encoder/output_ceiling.h"

#include <gtest/gtest.h>

#include <vector>

namespace halvorine {
namespace {

using namespace std::chrono_literals;
using Time = OutputCeiling::Time;

// 100 bytes a second, a frame every 250 ms; `sizes` cycle, `key_every` frames
// (0: none) are requested key frames. Returns the bytes each frame made.
std::vector<std::size_t> run(std::vector<std::size_t> sizes, int key_every, int frames = 40) {
  OutputCeiling ceiling(800);
  std::vector<std::size_t> out;
  for (int i = 0; i < frames; ++i) {
    const Time now = Time{} + i * 250ms;
    const bool key = key_every != 0 && i % key_every == 0;
    const std::size_t bytes = key || ceiling.admits(now) ? sizes[i % sizes.size()] : 0;
    ceiling.count(bytes, key, now);
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

// A still, detailed screen: 150 kB refresh key frames 700 ms apart under a
// 12 Mbit/s ceiling, 20 encode calls a second in between, then a key a
// second. Counted in calls, the refreshes filled every "second"; counted in
// time, each key goes at once, and a whole-screen change right after is
// still held to the ceiling.
TEST(OutputCeilingTest, ChangesAfterStillRefreshesGoAtOnceAndTheCeilingStillHolds) {
  OutputCeiling ceiling(12'000'000);
  Time now{};
  for (int refresh = 0; refresh < 20; ++refresh) {
    ceiling.count(150'000, true, now);
    for (int call = 1; call < 14; ++call) ceiling.count(0, false, now + call * 50ms);
    now += 700ms;
  }
  for (int key = 0; key < 10; ++key) {
    now += 1s;
    ASSERT_TRUE(ceiling.admits(now)) << "key " << key;
    ceiling.count(100, false, now);
    ceiling.count(150'000, true, now + 300ms);  // a refresh between keys
  }
  // A mosaic of 400 kB frames every 50 ms: at most 12 Mbit in any second.
  std::vector<Time> sent;
  for (int frame = 0; frame < 100; ++frame) {
    now += 50ms;
    if (!ceiling.admits(now)) continue;
    ceiling.count(400'000, false, now);
    sent.push_back(now);
  }
  ASSERT_FALSE(sent.empty());
  for (std::size_t i = 0; i < sent.size(); ++i) {
    std::size_t in_second = 0;
    for (std::size_t k = i; k < sent.size() && sent[k] - sent[i] < 1s; ++k) ++in_second;
    EXPECT_LE(in_second * 400'000 * 8, 12'000'000U) << "from frame " << i;
  }
}

TEST(OutputCeilingTest, ALargeKeyFrameDoesNotHoldBackTheSmallFramesAfterIt) {
  OutputCeiling ceiling(800);
  ceiling.count(90, true, Time{});
  for (int i = 1; i <= 8; ++i) {
    EXPECT_TRUE(ceiling.admits(Time{} + i * 250ms)) << i;
    ceiling.count(2, false, Time{} + i * 250ms);
  }
}

}  // namespace
}  // namespace halvorine
