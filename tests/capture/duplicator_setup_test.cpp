#include <gtest/gtest.h>

#include <algorithm>

#include "capture/desktop_duplicator.h"
#include "capture/fakes/fake_capture_platform.h"
#include "support/fake_clock.h"
#include "support/recording_logger.h"

namespace halvorine {
namespace {

using testing::FakeCapturePlatform;
using testing::FakeClock;
using testing::FakeOutput;
using testing::FakeStep;
using testing::RecordingLogger;

struct SetupFixture : ::testing::Test {
  DesktopDuplicator make(std::uint32_t output_index) {
    return DesktopDuplicator::create(platform, log, clock, output_index);
  }

  FakeCapturePlatform platform;
  RecordingLogger log;
  FakeClock clock;
};

TEST_F(SetupFixture, OutputBeyondTheOutputsFallsBackToGdiOnly) {
  platform.adapters = {{FakeOutput{}}, {FakeOutput{}}};
  platform.metrics = {-1280, 0, 3200, 1200, 1920, 1080};
  DesktopDuplicator duplicator = make(2);
  EXPECT_TRUE(duplicator.gdi_only());
  EXPECT_EQ(duplicator.width(), 3200u);
  EXPECT_EQ(duplicator.height(), 1200u);
  EXPECT_EQ(duplicator.rotation(), kRotationIdentity);
  EXPECT_EQ(duplicator.output_index(), 0u);
  const std::vector<std::string> lines = log.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[0].starts_with(
      "DesktopDuplicator: init DXGI esuat (EnumOutputs(search): no DXGI output: "))
      << lines[0];
  EXPECT_TRUE(lines[0].ends_with(") — trec pe GDI-only")) << lines[0];
  EXPECT_EQ(lines[1], "DesktopDuplicator: mod GDI-only activ (3200x1200)");
  // The search went through every adapter until EnumAdapters failed.
  EXPECT_EQ(platform.calls.back(), "EnumAdapters(2)");
  EXPECT_EQ(platform.live_objects, 0);
}

TEST_F(SetupFixture, AdapterWithoutOutputsIsSkippedAndNumberingContinues) {
  platform.adapters = {{FakeOutput{}}, {}, {FakeOutput{}, FakeOutput{Rect{1920, 0, 3200, 1024}}}};
  DesktopDuplicator duplicator = make(2);
  ASSERT_FALSE(duplicator.gdi_only());
  // Output 2 is the second output of the third adapter (its size), duplicated
  // on a device of that adapter.
  EXPECT_EQ(std::ranges::count(platform.calls, "D3D11CreateDevice(2,0)"), 1);
  EXPECT_EQ(std::ranges::count(platform.calls, "DuplicateOutput(2,1)"), 1);
  EXPECT_EQ(duplicator.width(), 1280u);
  EXPECT_EQ(duplicator.height(), 1024u);
  EXPECT_EQ(duplicator.output_index(), 2u);
  EXPECT_EQ(duplicator.acquire_timeout_ms(), 16u);
  EXPECT_TRUE(log.lines().empty());  // nothing is logged on success
  EXPECT_EQ(platform.live_objects, 0);  // factory and adapter released, the session kept
  EXPECT_FALSE(platform.session->destroyed);
}

TEST_F(SetupFixture, PortraitOutputsAreCapturedInTheirNativeSize) {
  for (const std::uint32_t rotation : {kRotation90, kRotation270}) {
    platform.adapters = {{FakeOutput{Rect{0, 0, 1080, 1920}, rotation}}};
    DesktopDuplicator duplicator = make(0);
    EXPECT_EQ(duplicator.width(), 1920u);
    EXPECT_EQ(duplicator.height(), 1080u);
    EXPECT_EQ(duplicator.rotation(), rotation);
    EXPECT_EQ(platform.session->width, 1920u);  // the staging image too
    EXPECT_EQ(platform.session->height, 1080u);
  }
  platform.adapters = {{FakeOutput{Rect{0, 0, 1080, 1920}, kRotation180}}};
  EXPECT_EQ(make(0).width(), 1080u);
}

TEST_F(SetupFixture, EachFailingStepNamesItselfAndReleasesEverything) {
  const Error inner = Error::hresult(static_cast<std::int32_t>(0x80004001), "Not implemented");
  struct Case {
    std::optional<FakeStep> step;  // nullopt: the factory
    std::string text;
  };
  const std::vector<Case> cases{
      {std::nullopt, "CreateDXGIFactory1: Not implemented (0x80004001)"},
      {FakeStep::create_device, "D3D11CreateDevice: Not implemented (0x80004001)"},
      {FakeStep::open_output, "EnumOutputs(final): Not implemented (0x80004001)"},
      {FakeStep::query_output1, "cast IDXGIOutput1: Not implemented (0x80004001)"},
      {FakeStep::output_description, "GetDesc: Not implemented (0x80004001)"},
      {FakeStep::duplicate_output, "DuplicateOutput: Not implemented (0x80004001)"},
      {FakeStep::create_session, "Not implemented (0x80004001)"},  // passed on unchanged
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    FakeCapturePlatform failing;
    RecordingLogger failing_log;
    if (c.step) {
      failing.failing_step.emplace(*c.step, inner);
    } else {
      failing.factory_error = inner;
    }
    const DesktopDuplicator duplicator = DesktopDuplicator::create(failing, failing_log, clock, 0);
    EXPECT_TRUE(duplicator.gdi_only());
    EXPECT_EQ(failing_log.lines(), (std::vector<std::string>{
                                       "DesktopDuplicator: init DXGI esuat (" + c.text + ") — trec pe GDI-only",
                                       "DesktopDuplicator: mod GDI-only activ (1920x1080)"}));
    EXPECT_EQ(failing.live_objects, 0);
    EXPECT_FALSE(failing.session);
  }
}

TEST_F(SetupFixture, GdiOnlySizeFallsBackToTheScreenThenToZero) {
  platform.factory_error = Error::message("no factory");
  platform.metrics = {0, 0, 0, -3, 1280, 800};
  DesktopDuplicator first = make(0);
  EXPECT_EQ(log.lines().back(), "DesktopDuplicator: mod GDI-only activ (1280x800)");
  platform.metrics = {0, 0, 0, 0, -1, -1};
  DesktopDuplicator second = make(0);
  EXPECT_EQ(log.lines().back(), "DesktopDuplicator: mod GDI-only activ (0x0)");
}

TEST_F(SetupFixture, EmptyDesktopRectangleIsASetUpFailure) {
  platform.adapters = {{FakeOutput{Rect{100, 0, 100, 1080}}}};
  DesktopDuplicator duplicator = make(0);
  EXPECT_TRUE(duplicator.gdi_only());
  ASSERT_FALSE(log.lines().empty());
  EXPECT_TRUE(log.lines()[0].starts_with("DesktopDuplicator: init DXGI esuat (GetDesc: ")) << log.lines()[0];
  EXPECT_FALSE(platform.session);  // no staging image of a bogus size
}

}  // namespace
}  // namespace halvorine
