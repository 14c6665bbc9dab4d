// The real Windows capture platform on the machine the tests run on. Under
// Wine (the test fixture) the outcome of every DXGI step is known: one
// adapter with one 1280 x 800 output, a device, IDXGIOutput1 and GetDesc
// succeed and DuplicateOutput is not implemented, so the duplicator falls
// back to GDI-only mode (its lines: wine_capture_end_to_end.sh), and GDI
// reads the screen. On Windows itself only what holds everywhere is checked.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "capture/desktop_duplicator.h"
#include "capture/gdi_capture.h"
#include "capture/win/test_pattern.h"
#include "common/win/win_sdk.h"
#include "support/recording_logger.h"

namespace halvorine {
namespace {

using testing::pattern_colour;
using testing::PatternWindow;

bool running_under_wine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// The pixel at (x, y) of a BGRA image `width` wide, as a COLORREF (alpha dropped).
COLORREF pixel_at(std::span<const std::uint8_t> pixels, std::uint32_t width, int x, int y) {
  const std::uint8_t* p = pixels.data() + (static_cast<std::size_t>(y) * width + x) * 4;
  return RGB(p[2], p[1], p[0]);
}

// Number of pixels of the window's area in `pixels` (a `width`-wide image whose
// origin is at screen position `origin`) that differ from the pattern.
int pattern_mismatches(std::span<const std::uint8_t> pixels, std::uint32_t width, POINT origin,
                       const RECT& area, int variant) {
  int mismatches = 0;
  for (int y = area.top; y < area.bottom; ++y) {
    for (int x = area.left; x < area.right; ++x) {
      if (pixel_at(pixels, width, x - origin.x, y - origin.y) !=
          pattern_colour(x - area.left, y - area.top, variant)) {
        ++mismatches;
      }
    }
  }
  return mismatches;
}

// GDI-only pacing sleeps for what is left of 33 ms; the Windows runtime's
// own sleep rounds down to whole milliseconds.
TEST(WinCapturePlatform, SystemClockNeverSleepsShorterThanAsked) {
  const SystemClock clock;
  for (const auto asked : {std::chrono::microseconds(900), std::chrono::microseconds(32'500)}) {
    const auto start = std::chrono::steady_clock::now();
    clock.sleep_for(asked);
    EXPECT_GE(std::chrono::steady_clock::now() - start, asked);
  }
}

TEST(WinCapturePlatform, DxgiStepsAsWineAnswersThem) {
  if (!running_under_wine()) GTEST_SKIP() << "the outcome of each step is known only under Wine";
  std::unique_ptr<CapturePlatform> platform = make_capture_platform();
  Result<std::unique_ptr<CaptureFactory>> factory = platform->create_factory();
  ASSERT_TRUE(factory.has_value()) << factory.error().text();
  std::unique_ptr<CaptureAdapter> adapter = (*factory)->enum_adapter(0);
  ASSERT_NE(adapter, nullptr);
  EXPECT_EQ((*factory)->enum_adapter(1), nullptr);
  EXPECT_TRUE(adapter->has_output(0));
  EXPECT_FALSE(adapter->has_output(1));

  ASSERT_TRUE(adapter->create_device().has_value());
  ASSERT_TRUE(adapter->open_output(0).has_value());
  ASSERT_TRUE(adapter->query_output1().has_value());
  Result<OutputDescription> description = adapter->output_description();
  ASSERT_TRUE(description.has_value());
  EXPECT_EQ(description->desktop_coordinates, (Rect{0, 0, 1280, 800}));
  EXPECT_EQ(description->rotation, kRotationIdentity);

  Result<void> duplicated = adapter->duplicate_output();
  ASSERT_FALSE(duplicated.has_value());
  EXPECT_EQ(duplicated.error().kind(), Error::Kind::hresult);
  EXPECT_EQ(static_cast<std::uint32_t>(duplicated.error().code()), 0x80004001u);  // E_NOTIMPL
  std::printf("DuplicateOutput under Wine: %s\n", duplicated.error().text().c_str());

  // Out of order after the failure: refused, not a crash.
  EXPECT_FALSE(adapter->create_session(1280, 800).has_value());
}

TEST(WinCapturePlatform, GdiRegionCaptureReadsWhatIsOnTheScreen) {
  const RECT area{96, 64, 96 + 200, 64 + 120};
  PatternWindow window(area);
  ASSERT_TRUE(window);
  std::unique_ptr<CapturePlatform> platform = make_capture_platform();

  // A region straddling the window's top-left corner: pattern inside, and a
  // stale buffer of another size must come out resized.
  std::vector<std::uint8_t> pixels(7, 0xAB);
  ASSERT_TRUE(platform->capture_region(area.left - 8, area.top - 8, 72, 40, pixels));
  ASSERT_EQ(pixels.size(), 72u * 40u * 4u);
  EXPECT_EQ(pattern_mismatches(pixels, 72, {area.left - 8, area.top - 8},
                               {area.left, area.top, area.left + 64, area.top + 32}, 0),
            0);

  EXPECT_FALSE(platform->capture_region(0, 0, 0, 10, pixels));
  EXPECT_FALSE(platform->capture_region(0, 0, 10, -1, pixels));
}

TEST(WinCapturePlatform, GdiOnlyDuplicatorEmitsChangesOnlyAndPacesItself) {
  if (!running_under_wine()) GTEST_SKIP() << "needs GDI-only mode, which Windows may not give";
  const RECT area{300, 200, 300 + 160, 200 + 96};
  PatternWindow window(area);
  ASSERT_TRUE(window);
  testing::RecordingLogger log;
  const SystemClock clock;
  std::optional<DesktopDuplicator> duplicator = DesktopDuplicator::create(log, clock, 0);
  ASSERT_TRUE(duplicator->gdi_only());
  ASSERT_FALSE(log.lines().empty());
  EXPECT_TRUE(log.lines().front().ends_with(" (0x80004001)) — trec pe GDI-only")) << log.lines().front();
  EXPECT_EQ(log.lines().back(), "DesktopDuplicator: mod GDI-only activ (1280x800)");

  Result<std::optional<CapturedFrame>> frame = duplicator->capture(100);
  ASSERT_TRUE(frame.has_value() && frame->has_value());
  EXPECT_EQ((*frame)->width, 1280u);
  EXPECT_EQ((*frame)->height, 800u);
  EXPECT_EQ((*frame)->dirty_rects, (std::vector<Rect>{{0, 0, 1280, 800}}));
  EXPECT_EQ(pattern_mismatches((*frame)->pixels, 1280, {0, 0}, area, 0), 0);

  const auto start = std::chrono::steady_clock::now();
  frame = duplicator->capture(100);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(frame.has_value());
  EXPECT_FALSE(frame->has_value()) << "an unchanged screen gave a new frame";
  EXPECT_GE(elapsed, std::chrono::milliseconds(33));

  window.repaint(1);
  frame = duplicator->capture(100);
  ASSERT_TRUE(frame.has_value() && frame->has_value()) << "a repainted window gave no new frame";
  EXPECT_EQ(pattern_mismatches((*frame)->pixels, 1280, {0, 0}, area, 1), 0);

  std::optional<std::vector<std::uint8_t>> full = duplicator->capture_gdi_full();
  ASSERT_TRUE(full.has_value());
  EXPECT_TRUE(std::ranges::equal(*full, (*frame)->pixels)) << "capture_gdi_full differs from the last GDI-only frame";
}

}  // namespace
}  // namespace halvorine
