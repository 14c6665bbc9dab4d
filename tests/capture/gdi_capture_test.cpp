#include "capture/gdi_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string_view>

#include "capture/desktop_duplicator.h"
#include "capture/fakes/fake_capture_platform.h"
#include "support/fake_clock.h"
#include "support/recording_logger.h"

namespace halvorine {
namespace {

using testing::FakeCapturePlatform;
using testing::FakeClock;
using testing::FakeOutput;
using testing::RecordingLogger;
using namespace std::chrono_literals;

std::span<const std::uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(GdiFrameHashTest, KnownValues) {
  EXPECT_EQ(gdi_frame_hash(bytes_of("")), 0xcbf29ce484222325ull);
  EXPECT_EQ(gdi_frame_hash(bytes_of("abc")), 0xe71fa2190541574bull);
  // Whole words are read little-endian, one step per 8 bytes, then the tail bytewise.
  EXPECT_EQ(gdi_frame_hash(bytes_of("abcdefgh")), 0x3919eeb00ee1e68cull);
  EXPECT_EQ(gdi_frame_hash(bytes_of("abcdefghi")), 0xe8f77a2949db571full);
}

void set_screen(FakeCapturePlatform& platform, std::uint32_t width, std::uint32_t height, std::uint8_t seed = 0) {
  platform.screen_width = width;
  platform.screen_height = height;
  platform.screen = testing::pattern_image(width, height, seed);
}

TEST(CaptureVirtualScreenTest, UsesTheVirtualOriginAndFallsBackToTheScreenSize) {
  FakeCapturePlatform platform;
  set_screen(platform, 3840, 1080);
  platform.screen_origin = {-1920, -10};
  // Width from SM_CXSCREEN (the virtual width is 0), height from the virtual screen.
  platform.metrics = {-1920, -10, 0, 1080, 3840, 500};
  const std::optional<VirtualScreenImage> image = capture_virtual_screen(platform);
  ASSERT_TRUE(image);
  EXPECT_EQ(platform.regions.back(), (Rect{-1920, -10, 1920, 1070}));
  EXPECT_EQ(image->width, 3840u);
  EXPECT_EQ(image->height, 1080u);
  EXPECT_EQ(image->pixels, platform.screen);

  platform.metrics = {0, 0, -5, 0, 0, 800};
  platform.regions.clear();
  EXPECT_FALSE(capture_virtual_screen(platform));
  EXPECT_TRUE(platform.regions.empty());  // nothing to capture, nothing asked
}

// A GDI-only duplicator over the fake platform, with the fake clock.
struct GdiOnlyFixture : ::testing::Test {
  GdiOnlyFixture() {
    platform.factory_error = Error::hresult(0x80004001);
    platform.region_clock = &clock;
  }
  DesktopDuplicator make() {
    DesktopDuplicator made = DesktopDuplicator::create(platform, log, clock, 0);
    EXPECT_TRUE(made.gdi_only());
    return made;
  }
  // The capture and the fake time it took.
  std::pair<std::optional<CapturedFrame>, std::chrono::nanoseconds> timed_capture(DesktopDuplicator& duplicator) {
    const auto start = clock.monotonic_now();
    Result<std::optional<CapturedFrame>> frame = duplicator.capture(100);
    EXPECT_TRUE(frame);  // GDI-only capture never fails
    return {frame ? std::move(*frame) : std::nullopt, clock.monotonic_now() - start};
  }

  FakeCapturePlatform platform;
  RecordingLogger log;
  FakeClock clock;
};

TEST_F(GdiOnlyFixture, UnchangedOrFailedScreenGivesOneFrameThenNoneEachCallPacedTo33Ms) {
  DesktopDuplicator duplicator = make();
  platform.region_duration = 10ms;
  auto [first, first_time] = timed_capture(duplicator);
  ASSERT_TRUE(first);
  EXPECT_TRUE(std::ranges::equal(first->pixels, platform.screen));
  EXPECT_EQ(first->width, 1920u);
  EXPECT_EQ(first->height, 1080u);
  EXPECT_EQ(first->dirty_rects, (std::vector<Rect>{{0, 0, 1920, 1080}}));
  EXPECT_EQ(first->cursor_pos, (Point{0, 0}));
  EXPECT_FALSE(first->cursor_visible);
  EXPECT_FALSE(first->cursor_shape);
  EXPECT_EQ(first_time, 33ms);
  for (int i = 0; i < 3; ++i) {
    auto [frame, time] = timed_capture(duplicator);
    EXPECT_FALSE(frame);
    EXPECT_EQ(time, 33ms);
  }
  // A capture slower than the period is not slowed further; a failed one is
  // no frame, and paced too.
  platform.region_duration = 40ms;
  EXPECT_EQ(timed_capture(duplicator).second, 40ms);
  platform.region_duration = 10ms;
  platform.region_fails = true;
  auto [failed, failed_time] = timed_capture(duplicator);
  EXPECT_FALSE(failed);
  EXPECT_EQ(failed_time, 33ms);
  platform.region_fails = false;

  set_screen(platform, 1920, 1080, 1);
  platform.region_duration = 0ms;
  auto [changed, changed_time] = timed_capture(duplicator);
  ASSERT_TRUE(changed);
  EXPECT_TRUE(std::ranges::equal(changed->pixels, platform.screen));
  EXPECT_EQ(changed_time, 33ms);
}

std::uint64_t inverse_mod_2_64(std::uint64_t odd) {
  std::uint64_t inverse = odd;  // Newton's iteration doubles the correct low bits each step
  for (int i = 0; i < 6; ++i) inverse *= 2 - odd * inverse;
  return inverse;
}

TEST_F(GdiOnlyFixture, SizeChangeGivesAFrameEvenWithAnEqualHash) {
  set_screen(platform, 2, 1);
  platform.metrics = {0, 0, 2, 1, 2, 1};
  DesktopDuplicator duplicator = make();
  ASSERT_TRUE(timed_capture(duplicator).first);
  const std::uint64_t old_hash = gdi_frame_hash(platform.screen);

  // A 4 × 1 screen whose second word is chosen so that its hash equals the old one.
  std::vector<std::uint8_t> wider(16, 0x11);
  std::uint64_t first_word = 0;
  std::memcpy(&first_word, wider.data(), 8);
  const std::uint64_t after_first = (0xcbf29ce484222325ull ^ first_word) * 0x100000001b3ull;
  const std::uint64_t second_word = (old_hash * inverse_mod_2_64(0x100000001b3ull)) ^ after_first;
  std::memcpy(wider.data() + 8, &second_word, 8);
  ASSERT_EQ(gdi_frame_hash(wider), old_hash);
  platform.screen = wider;
  platform.screen_width = 4;
  platform.metrics = {0, 0, 4, 1, 4, 1};

  auto [frame, time] = timed_capture(duplicator);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->width, 4u);
  EXPECT_EQ(frame->height, 1u);
  EXPECT_EQ(frame->dirty_rects, (std::vector<Rect>{{0, 0, 4, 1}}));
  EXPECT_EQ(duplicator.width(), 4u);
  EXPECT_FALSE(timed_capture(duplicator).first);  // and then unchanged again
}

TEST_F(GdiOnlyFixture, FullCaptureIsTheWholeVirtualScreenWhateverItsSize) {
  DesktopDuplicator duplicator = make();
  set_screen(platform, 1280, 800, 3);
  platform.metrics = {0, 0, 1280, 800, 1280, 800};
  const std::optional<std::vector<std::uint8_t>> full = duplicator.capture_gdi_full();
  ASSERT_TRUE(full);
  EXPECT_EQ(*full, platform.screen);
  EXPECT_EQ(duplicator.width(), 1920u);  // untouched
}

// capture_gdi_full of a duplicating duplicator: the output's desktop
// rectangle, turned into the output's native orientation.
struct FullCaptureFixture : ::testing::Test {
  DesktopDuplicator make(Rect desktop, std::uint32_t rotation) {
    platform.adapters = {{FakeOutput{desktop, rotation}}};
    platform.screen_origin = {desktop.left, desktop.top};
    set_screen(platform, desktop.right - desktop.left, desktop.bottom - desktop.top);
    DesktopDuplicator made = DesktopDuplicator::create(platform, log, clock, 0);
    EXPECT_FALSE(made.gdi_only());
    return made;
  }
  std::vector<std::uint8_t> screen_pixel(std::uint32_t column, std::uint32_t row) const {
    const auto* p = platform.screen.data() + (std::size_t{row} * platform.screen_width + column) * 4;
    return {p, p + 4};
  }
  static std::vector<std::uint8_t> pixel(const std::vector<std::uint8_t>& image, std::uint32_t width,
                                         std::uint32_t column, std::uint32_t row) {
    const auto* p = image.data() + (std::size_t{row} * width + column) * 4;
    return {p, p + 4};
  }

  FakeCapturePlatform platform;
  RecordingLogger log;
  FakeClock clock;
};

TEST_F(FullCaptureFixture, RotationsPlaceTheDesktopInNativeOrientation) {
  struct Corner {
    std::uint32_t column, row;  // in the capture
    std::uint32_t screen_column, screen_row;
  };
  const struct {
    Rect desktop;
    std::uint32_t rotation;
    std::vector<Corner> corners;
  } cases[] = {
      // A portrait desktop 1080 × 1920 of a 1920 × 1080 output: the screen's
      // top-left to column 0 of the last row, its top-right to the top-left.
      {{100, 0, 1180, 1920}, kRotation90, {{0, 1079, 0, 0}, {0, 0, 1079, 0}, {1919, 0, 1079, 1919}}},
      {{0, 0, 1080, 1920}, kRotation270, {{1919, 0, 0, 0}, {0, 0, 0, 1919}}},
      {{0, 0, 640, 480}, kRotation180, {{639, 479, 0, 0}, {0, 0, 639, 479}}},
      {{0, 0, 640, 480}, kRotationIdentity, {}},  // compared whole
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rotation);
    DesktopDuplicator duplicator = make(c.desktop, c.rotation);
    const auto full = duplicator.capture_gdi_full();
    ASSERT_TRUE(full);
    EXPECT_EQ(platform.regions.back(), c.desktop);
    ASSERT_EQ(full->size(), platform.screen.size());
    if (c.corners.empty()) {
      EXPECT_EQ(*full, platform.screen);
    }
    for (const Corner& corner : c.corners) {
      EXPECT_EQ(pixel(*full, duplicator.width(), corner.column, corner.row),
                screen_pixel(corner.screen_column, corner.screen_row));
    }
  }
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(FullCaptureFixture, RotationGivingAnotherSizeIsLoggedAndDropped) {
  DesktopDuplicator duplicator = make(Rect{0, 0, 1080, 1920}, kRotation90);
  // The output changed its mode after the duplicator was built.
  platform.adapters = {{FakeOutput{Rect{0, 0, 1200, 1920}, kRotation90}}};
  set_screen(platform, 1200, 1920);
  EXPECT_FALSE(duplicator.capture_gdi_full());
  EXPECT_EQ(log.lines(), (std::vector<std::string>{
                             "capture_gdi_full: rotatie DXGI=2 produce 1920x1200 != nativ 1920x1080 — drop"}));
}

TEST_F(FullCaptureFixture, MissingOutputOrFailedGrabIsNothingAndSilent) {
  DesktopDuplicator duplicator = make(Rect{0, 0, 640, 480}, kRotationIdentity);
  platform.region_fails = true;
  EXPECT_FALSE(duplicator.capture_gdi_full());
  platform.region_fails = false;
  platform.adapters = {{}};
  EXPECT_FALSE(duplicator.capture_gdi_full());
  platform.factory_error = Error::hresult(0x80004005);
  EXPECT_FALSE(duplicator.capture_gdi_full());
  EXPECT_TRUE(log.lines().empty());
  EXPECT_EQ(platform.live_objects, 0);  // every factory and adapter released
}

}  // namespace
}  // namespace halvorine
