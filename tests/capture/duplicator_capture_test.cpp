#include <gtest/gtest.h>

#include <thread>

#include "capture/desktop_duplicator.h"
#include "capture/fakes/fake_capture_platform.h"
#include "support/fake_clock.h"
#include "support/recording_logger.h"

namespace halvorine {
namespace {

using testing::FakeCapturePlatform;
using testing::FakeClock;
using testing::FakeFrame;
using testing::FakeOutput;
using testing::FakeTimeout;
using testing::RecordingLogger;

constexpr std::uint32_t kWidth = 320;
constexpr std::uint32_t kHeight = 200;

// A duplicating duplicator over a 320 × 200 fake output.
struct CaptureFixture : ::testing::Test {
  CaptureFixture() {
    platform.adapters = {{FakeOutput{Rect{0, 0, kWidth, kHeight}}}};
    duplicator.emplace(DesktopDuplicator::create(platform, log, clock, 0));
    EXPECT_FALSE(duplicator->gdi_only());
  }
  static FakeFrame changed(std::vector<Rect> dirty, std::vector<std::uint8_t> desktop = {}) {
    FakeFrame frame;
    frame.info.accumulated_frames = 1;
    frame.info.pointer_position = {12, 34};
    frame.info.pointer_visible = true;
    frame.dirty.entries = std::move(dirty);
    frame.desktop = std::move(desktop);
    return frame;
  }
  Result<std::optional<CapturedFrame>> capture(std::uint32_t timeout_ms = 100) {
    return duplicator->capture(timeout_ms);
  }
  std::vector<std::uint8_t> region_of(const std::vector<std::uint8_t>& image, const Rect& rect) const {
    std::vector<std::uint8_t> out;
    for (std::int32_t y = rect.top; y < rect.bottom; ++y) {
      const auto* row = image.data() + (std::size_t(y) * kWidth + rect.left) * 4;
      out.insert(out.end(), row, row + (rect.right - rect.left) * 4);
    }
    return out;
  }

  FakeCapturePlatform platform;
  RecordingLogger log;
  FakeClock clock;
  std::optional<DesktopDuplicator> duplicator;
};

TEST_F(CaptureFixture, WaitAdaptsToTimeoutsAndFrames) {
  for (int i = 0; i < 10; ++i) platform.frames.push_back(FakeTimeout{});
  platform.frames.push_back(changed({{0, 0, 10, 10}}));
  for (int i = 0; i < 10; ++i) {
    Result<std::optional<CapturedFrame>> none = capture();
    ASSERT_TRUE(none);
    EXPECT_FALSE(*none);
  }
  EXPECT_EQ(duplicator->acquire_timeout_ms(), 50u);
  ASSERT_TRUE(capture().value());
  EXPECT_EQ(duplicator->acquire_timeout_ms(), 37u);
  EXPECT_EQ(platform.session->waits,
            (std::vector<std::uint32_t>{16, 20, 25, 31, 38, 47, 50, 50, 50, 50, 50}));
  EXPECT_EQ(platform.session->releases, 1);  // timeouts hold no frame

  // Frames bring the bound down to 8 and keep it there.
  for (int i = 0; i < 5; ++i) platform.frames.push_back(changed({{0, 0, 1, 1}}));
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(capture().value());
  EXPECT_EQ(duplicator->acquire_timeout_ms(), 8u);
}

TEST_F(CaptureFixture, CallerTimeoutBelowEightStillWaitsEight) {
  platform.frames = {FakeTimeout{}, FakeTimeout{}};
  ASSERT_TRUE(capture(2));  // bound min(max(2, 8), 16) = 8
  ASSERT_TRUE(capture(30));  // bound min(30, 20) = 20
  EXPECT_EQ(platform.session->waits, (std::vector<std::uint32_t>{8, 20}));
}

TEST_F(CaptureFixture, PointerOnlyUpdateAndNoNews) {
  FakeFrame moved;
  moved.info.last_mouse_update_time = 123456;
  moved.info.pointer_position = {-5, 700};
  moved.info.pointer_visible = true;
  FakeFrame nothing;  // no frames, no pointer move, no shape
  nothing.info.pointer_position = {1, 1};
  platform.frames = {moved, nothing};

  Result<std::optional<CapturedFrame>> pointer = capture();
  ASSERT_TRUE(pointer && *pointer);
  EXPECT_TRUE((*pointer)->pixels.empty());
  EXPECT_TRUE((*pointer)->dirty_rects.empty());
  EXPECT_EQ((*pointer)->cursor_pos, (Point{-5, 700}));
  EXPECT_TRUE((*pointer)->cursor_visible);
  EXPECT_EQ((*pointer)->width, kWidth);
  EXPECT_EQ(duplicator->acquire_timeout_ms(), 12u);  // a pointer update counts as a frame

  Result<std::optional<CapturedFrame>> none = capture();
  ASSERT_TRUE(none);
  EXPECT_FALSE(*none);
  EXPECT_EQ(duplicator->acquire_timeout_ms(), 9u);
  EXPECT_EQ(platform.session->releases, 2);
  EXPECT_FALSE(platform.session->frame_held);
  EXPECT_TRUE(platform.session->copies.empty());
  EXPECT_EQ(platform.session->maps, 0);
}

TEST_F(CaptureFixture, ChangedFrameCopiesOnlyItsRectanglesIntoThePersistentImage) {
  const std::vector<std::uint8_t> before = testing::pattern_image(kWidth, kHeight, 0);
  const std::vector<std::uint8_t> after = testing::pattern_image(kWidth, kHeight, 9);
  FakeFrame first_frame = changed({}, before);  // both queries fail: the whole frame
  first_frame.dirty.fails = true;
  first_frame.moves.fails = true;
  platform.frames = {first_frame};
  FakeFrame second = changed({{10, 20, 30, 40}}, after);
  second.moves.entries = {MoveRect{{0, 0}, {100, 100, 110, 105}}};
  platform.frames.push_back(second);

  Result<std::optional<CapturedFrame>> first = capture();
  ASSERT_TRUE(first && *first);
  EXPECT_EQ((*first)->dirty_rects, (std::vector<Rect>{{0, 0, kWidth, kHeight}}));
  EXPECT_EQ(std::vector<std::uint8_t>((*first)->pixels.begin(), (*first)->pixels.end()),
            before);  // tightly packed out of a padded staging image
  EXPECT_EQ((*first)->cursor_pos, (Point{12, 34}));

  Result<std::optional<CapturedFrame>> next = capture();
  ASSERT_TRUE(next && *next);
  const std::vector<Rect> expected{{10, 20, 30, 40}, {100, 100, 110, 105}};  // dirty, then moved
  EXPECT_EQ((*next)->dirty_rects, expected);
  EXPECT_EQ(platform.session->copies.back(), expected.back());
  // Inside the rectangles the new desktop, elsewhere the image as it was.
  const std::vector<std::uint8_t> pixels((*next)->pixels.begin(), (*next)->pixels.end());
  EXPECT_EQ(region_of(pixels, expected[0]), region_of(after, expected[0]));
  EXPECT_EQ(region_of(pixels, expected[1]), region_of(after, expected[1]));
  EXPECT_EQ(region_of(pixels, {0, 0, 10, 200}), region_of(before, {0, 0, 10, 200}));
  EXPECT_EQ(platform.session->flushes, 2);
  EXPECT_EQ(platform.session->unmaps, 2);
  EXPECT_FALSE(platform.session->frame_held);
}

TEST_F(CaptureFixture, RectanglesBeyondTheImageAreClipped) {
  // Past the corner; over the top-left; beyond the right edge; starting at it.
  FakeFrame frame = changed({{300, 190, 400, 260}, {-20, -5, 5, 3}, {400, 0, 500, 10}, {320, 5, 330, 9}});
  frame.moves.entries = {MoveRect{{0, 0}, {-50, 0, -10, 10}}};  // wholly outside
  platform.frames = {frame};
  Result<std::optional<CapturedFrame>> captured = capture();
  ASSERT_TRUE(captured && *captured);
  const std::vector<Rect> inside{{300, 190, 320, 200}, {0, 0, 5, 3}};
  EXPECT_EQ((*captured)->dirty_rects, inside);
  EXPECT_EQ(platform.session->copies, inside);
}

TEST_F(CaptureFixture, RectangleBuffersGrowOnMoreData) {
  std::vector<Rect> dirty;
  for (int i = 0; i < 40; ++i) dirty.push_back({i, 0, i + 1, 1});
  FakeFrame frame = changed(dirty);
  for (int i = 0; i < 20; ++i) frame.moves.entries.push_back(MoveRect{{0, 0}, {i, 5, i + 1, 6}});
  FakeFrame big = changed({});
  for (int i = 0; i < 200; ++i) big.dirty.entries.push_back({i, 0, i + 1, 1});
  platform.frames = {frame, big};

  Result<std::optional<CapturedFrame>> first = capture();
  ASSERT_TRUE(first && *first);
  EXPECT_EQ((*first)->dirty_rects.size(), 60u);
  EXPECT_EQ((*first)->dirty_rects[40], (Rect{0, 5, 1, 6}));
  EXPECT_EQ(platform.session->delivered[0].dirty.asked_counts, (std::vector<std::size_t>{32, 64}));
  EXPECT_EQ(platform.session->delivered[0].moves.asked_counts, (std::vector<std::size_t>{16, 32}));

  ASSERT_TRUE(capture().value());
  // Each frame starts again at 32, grown to what the platform asks when that is more than double.
  EXPECT_EQ(platform.session->delivered[1].dirty.asked_counts, (std::vector<std::size_t>{32, 200}));
}

TEST_F(CaptureFixture, PointerShapesAreCountedEvenWhenUnreadable) {
  FakeFrame with_shape;
  with_shape.info.pointer_shape_buffer_size = 8;
  with_shape.shape_bytes = {100, 50, 0, 128, 1, 2, 3, 255};
  with_shape.shape_info = PointerShapeInfo{kPointerShapeColor, 2, 1, 8, {1, 0}};
  FakeFrame unreadable = with_shape;
  unreadable.shape_fails = true;
  platform.frames = {with_shape, unreadable, with_shape};

  Result<std::optional<CapturedFrame>> first = capture();
  ASSERT_TRUE(first && *first && (*first)->cursor_shape);  // a new shape alone is news
  EXPECT_EQ((*first)->cursor_shape->serial, 1u);
  EXPECT_EQ((*first)->cursor_shape->pixels, (std::vector<std::uint8_t>{199, 100, 0, 128, 1, 2, 3, 255}));
  Result<std::optional<CapturedFrame>> lost = capture();
  ASSERT_TRUE(lost);
  EXPECT_FALSE(*lost);  // no move, no frame, and the shape could not be read
  Result<std::optional<CapturedFrame>> third = capture();
  ASSERT_TRUE(third && *third && (*third)->cursor_shape);
  EXPECT_EQ((*third)->cursor_shape->serial, 3u);
}

TEST_F(CaptureFixture, PlatformErrorsAreReturnedWithTheFrameReleased) {
  const Error lost = Error::hresult(static_cast<std::int32_t>(0x887A0026), "Access lost");
  FakeFrame unopenable = changed({{0, 0, 1, 1}});
  unopenable.open_error = Error::hresult(static_cast<std::int32_t>(0x80004002), "No such interface");
  FakeFrame unmappable = changed({{0, 0, 1, 1}});
  unmappable.map_error = Error::hresult(static_cast<std::int32_t>(0x887A0005), "Device removed");
  platform.frames = {FakeTimeout{}, lost, unopenable, unmappable};

  ASSERT_TRUE(capture());
  Result<std::optional<CapturedFrame>> acquire_failed = capture();
  ASSERT_FALSE(acquire_failed);
  EXPECT_EQ(acquire_failed.error().text(), "Access lost (0x887A0026)");
  EXPECT_EQ(duplicator->acquire_timeout_ms(), 20u);  // unchanged by the error

  Result<std::optional<CapturedFrame>> open_failed = capture();
  ASSERT_FALSE(open_failed);
  EXPECT_EQ(open_failed.error().text(), "No such interface (0x80004002)");
  EXPECT_FALSE(platform.session->frame_held);
  EXPECT_TRUE(platform.session->copies.empty());

  Result<std::optional<CapturedFrame>> map_failed = capture();
  ASSERT_FALSE(map_failed);
  EXPECT_EQ(map_failed.error().text(), "Device removed (0x887A0005)");
  EXPECT_FALSE(platform.session->frame_held);
  EXPECT_EQ(platform.session->unmaps, 0);
  EXPECT_TRUE(log.lines().empty());  // capture errors are not logged here
}

TEST_F(CaptureFixture, MovedDuplicatorKeepsItsThreadAndSession) {
  platform.frames = {changed({{0, 0, 2, 2}})};
  DesktopDuplicator moved = std::move(*duplicator);
  EXPECT_FALSE(moved.gdi_only());
  EXPECT_TRUE(moved.capture(100).value());
}

// Checked before either mode's capture runs.
using CaptureDeathTest = CaptureFixture;

TEST_F(CaptureDeathTest, CaptureFromAnotherThreadIsAFatalStop) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::thread other([&] { (void)duplicator->capture(100); });
        other.join();
      },
      ::testing::ExitedWithCode(101), "DesktopDuplicator::capture called from wrong thread");
}

}  // namespace
}  // namespace halvorine
