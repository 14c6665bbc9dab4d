// The duplication branch on a real Direct3D 11 device: the DesktopDuplicator
// over the Windows session (staging texture, CopySubresourceRegion, Map and
// the row-pitch read-back), with only IDXGIOutputDuplication scripted,
// because DuplicateOutput is not implemented where these tests run (Wine).
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "capture/desktop_duplicator.h"
#include "capture/win/dxgi_duplication_session.h"
#include "capture/win/fake_output_duplication.h"
#include "common/win/com_ptr.h"
#include "support/fake_clock.h"
#include "support/recording_logger.h"

namespace halvorine {
namespace {

using testing::FakeOutputDuplication;
using testing::ScriptedFrame;

// Odd sizes, so the staging rows are padded (RowPitch > width * 4) on most devices.
constexpr std::uint32_t kWidth = 50;
constexpr std::uint32_t kHeight = 30;

std::uint32_t image_pixel(std::uint32_t x, std::uint32_t y, std::uint32_t seed) {
  const std::uint32_t b = (x * 7 + seed) & 0xFF, g = (y * 13 + seed * 3) & 0xFF, r = ((x + y) * 5 + seed) & 0xFF;
  return 0xFF000000u | (r << 16) | (g << 8) | b;
}

std::vector<std::uint32_t> image_pixels(std::uint32_t seed) {
  std::vector<std::uint32_t> pixels(kWidth * kHeight);
  for (std::uint32_t y = 0; y < kHeight; ++y) {
    for (std::uint32_t x = 0; x < kWidth; ++x) pixels[y * kWidth + x] = image_pixel(x, y, seed);
  }
  return pixels;
}

// The frame's pixels as 32-bit B, G, R, A words, alpha forced to 255 (it
// means nothing to consumers).
std::vector<std::uint32_t> as_words(std::span<const std::uint8_t> bytes) {
  std::vector<std::uint32_t> words(bytes.size() / 4);
  std::memcpy(words.data(), bytes.data(), words.size() * 4);
  for (std::uint32_t& word : words) word |= 0xFF000000u;
  return words;
}

template <typename T>
ComPtr<T> add_ref(const ComPtr<T>& pointer) {
  pointer->AddRef();
  return ComPtr<T>(pointer.get());
}

// One adapter with one output of kWidth x kHeight whose set-up steps all
// succeed; the session it makes is the real one, on the test's device, over
// the scripted duplication.
class ScriptedAdapter final : public CaptureAdapter {
 public:
  ScriptedAdapter(const ComPtr<ID3D11Device>& device, const ComPtr<ID3D11DeviceContext>& context,
                  FakeOutputDuplication& duplication)
      : device_(device), context_(context), duplication_(duplication) {}
  bool has_output(std::uint32_t index) override { return index == 0; }
  Result<void> create_device() override { return {}; }
  Result<void> open_output(std::uint32_t) override { return {}; }
  Result<void> query_output1() override { return {}; }
  Result<OutputDescription> output_description() override {
    return OutputDescription{{0, 0, kWidth, kHeight}, kRotationIdentity};
  }
  Result<void> duplicate_output() override { return {}; }
  Result<std::unique_ptr<DuplicationSession>> create_session(std::uint32_t width, std::uint32_t height) override {
    duplication_.AddRef();
    return start_duplication_session(add_ref(device_), add_ref(context_),
                                     ComPtr<IDXGIOutputDuplication>(&duplication_), width, height);
  }

 private:
  const ComPtr<ID3D11Device>& device_;
  const ComPtr<ID3D11DeviceContext>& context_;
  FakeOutputDuplication& duplication_;
};

class ScriptedPlatform final : public CapturePlatform, public CaptureFactory {
 public:
  ScriptedPlatform(const ComPtr<ID3D11Device>& device, const ComPtr<ID3D11DeviceContext>& context,
                   FakeOutputDuplication& duplication)
      : device_(device), context_(context), duplication_(duplication) {}
  Result<std::unique_ptr<CaptureFactory>> create_factory() override {
    struct Borrowed final : CaptureFactory {
      explicit Borrowed(CaptureFactory& factory) : factory(factory) {}
      std::unique_ptr<CaptureAdapter> enum_adapter(std::uint32_t index) override {
        return factory.enum_adapter(index);
      }
      CaptureFactory& factory;
    };
    return std::make_unique<Borrowed>(*this);
  }
  std::unique_ptr<CaptureAdapter> enum_adapter(std::uint32_t index) override {
    if (index != 0) return nullptr;
    return std::make_unique<ScriptedAdapter>(device_, context_, duplication_);
  }
  ScreenMetrics screen_metrics() override { return {}; }
  bool capture_region(std::int32_t, std::int32_t, std::int32_t, std::int32_t,
                      std::vector<std::uint8_t>&) override {
    return false;
  }

 private:
  const ComPtr<ID3D11Device>& device_;
  const ComPtr<ID3D11DeviceContext>& context_;
  FakeOutputDuplication& duplication_;
};

class DxgiDuplicationSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const HRESULT hr = D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0,
                                         D3D11_SDK_VERSION, device_.put(), nullptr, context_.put());
    ASSERT_TRUE(SUCCEEDED(hr)) << "D3D11CreateDevice: " << Error::hresult(hr).text();
  }

  // A desktop image as the graphics device holds it (default usage).
  ID3D11Texture2D* image(std::uint32_t seed) {
    const std::vector<std::uint32_t> pixels = image_pixels(seed);
    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = kWidth;
    desc.Height = kHeight;
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    desc.SampleDesc.Count = 1;
    desc.Usage = D3D11_USAGE_DEFAULT;
    desc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
    const D3D11_SUBRESOURCE_DATA data{pixels.data(), kWidth * 4, 0};
    ComPtr<ID3D11Texture2D>& texture = images_.emplace_back();
    EXPECT_TRUE(SUCCEEDED(device_->CreateTexture2D(&desc, &data, texture.put())));
    return texture.get();
  }

  static ScriptedFrame pixel_frame(ID3D11Texture2D* image, std::vector<RECT> dirty) {
    ScriptedFrame frame;
    frame.info.AccumulatedFrames = 1;
    frame.image = image;
    frame.dirty = std::move(dirty);
    return frame;
  }

  ComPtr<ID3D11Device> device_;
  ComPtr<ID3D11DeviceContext> context_;
  std::vector<ComPtr<ID3D11Texture2D>> images_;
  FakeOutputDuplication duplication_;
  testing::RecordingLogger log_;
  testing::FakeClock clock_;
};

TEST_F(DxgiDuplicationSessionTest, CopiesOnlyReportedRectanglesIntoThePersistentImage) {
  ScriptedPlatform platform(device_, context_, duplication_);
  std::vector<RECT> rows;  // 30 rows plus 10 rectangles past the edges: more than the first buffer of 32
  for (LONG y = 0; y < static_cast<LONG>(kHeight); ++y) rows.push_back({0, y, kWidth, y + 1});
  for (LONG i = 0; i < 10; ++i) rows.push_back({-20 - i, -20, 10, 10});
  ScriptedFrame first = pixel_frame(image(1), rows);
  first.moves = {{{0, 0}, {40, 20, 60, 40}}};
  first.info.LastMouseUpdateTime.QuadPart = 7;
  first.info.PointerPosition = {{11, 12}, TRUE};
  first.shape = {100, 50, 0, 128};  // one colour pixel, alpha 128
  first.info.PointerShapeBufferSize = 4;
  first.shape_info = {DXGI_OUTDUPL_POINTER_SHAPE_TYPE_COLOR, 1, 1, 4, {3, -2}};
  duplication_.frames.push_back(std::move(first));
  duplication_.frames.push_back(pixel_frame(image(2), {{10, 5, 20, 15}}));
  {
    std::optional<DesktopDuplicator> duplicator = DesktopDuplicator::create(platform, log_, clock_, 0);
    ASSERT_FALSE(duplicator->gdi_only()) << (log_.lines().empty() ? "" : log_.lines()[0]);
    EXPECT_EQ(duplication_.references, 2u);  // the session's own reference

    Result<std::optional<CapturedFrame>> frame = duplicator->capture(100);
    ASSERT_TRUE(frame.has_value() && frame->has_value()) << (frame ? "no frame" : frame.error().text());
    EXPECT_EQ(as_words((*frame)->pixels), image_pixels(1));
    ASSERT_EQ((*frame)->dirty_rects.size(), 41u);
    EXPECT_EQ((*frame)->dirty_rects[30], (Rect{0, 0, 10, 10}));   // clipped at the top left
    EXPECT_EQ((*frame)->dirty_rects[40], (Rect{40, 20, 50, 30}));  // the move, clipped
    EXPECT_EQ(duplication_.dirty_buffer_bytes, (std::vector<UINT>{32 * 16, 64 * 16}));
    EXPECT_EQ((*frame)->cursor_pos, (Point{11, 12}));
    EXPECT_TRUE((*frame)->cursor_visible);
    ASSERT_TRUE((*frame)->cursor_shape.has_value());
    EXPECT_EQ((*frame)->cursor_shape->pixels, (std::vector<std::uint8_t>{199, 100, 0, 128}));
    EXPECT_EQ((*frame)->cursor_shape->hotspot_x, 3);
    EXPECT_EQ((*frame)->cursor_shape->hotspot_y, 0);

    // Only the one dirty rectangle of the second image reaches the staging copy.
    frame = duplicator->capture(100);
    ASSERT_TRUE(frame.has_value() && frame->has_value());
    std::vector<std::uint32_t> expected = image_pixels(1);
    const std::vector<std::uint32_t> second = image_pixels(2);
    for (std::uint32_t y = 5; y < 15; ++y) {
      for (std::uint32_t x = 10; x < 20; ++x) expected[y * kWidth + x] = second[y * kWidth + x];
    }
    EXPECT_EQ(as_words((*frame)->pixels), expected);
    EXPECT_EQ((*frame)->dirty_rects, (std::vector<Rect>{{10, 5, 20, 15}}));
    EXPECT_EQ(duplication_.acquired, 2);
    EXPECT_EQ(duplication_.released, 2);
  }
  EXPECT_EQ(duplication_.protocol_errors, 0);
  EXPECT_EQ(duplication_.references, 1u);  // the session let go of the duplication
}

TEST_F(DxgiDuplicationSessionTest, TimeoutsPointerOnlyFailedQueriesAndLostAccess) {
  ScriptedPlatform platform(device_, context_, duplication_);
  ScriptedFrame timeout;
  timeout.acquire_result = DXGI_ERROR_WAIT_TIMEOUT;
  ScriptedFrame pointer_only;
  pointer_only.info.LastMouseUpdateTime.QuadPart = 5;
  pointer_only.info.PointerPosition = {{-3, 4}, FALSE};
  pointer_only.image = image(3);
  ScriptedFrame no_rectangles = pixel_frame(image(4), {});
  no_rectangles.dirty_result = E_FAIL;
  no_rectangles.move_result = E_FAIL;
  ScriptedFrame lost;
  lost.acquire_result = DXGI_ERROR_ACCESS_LOST;
  for (ScriptedFrame* frame : {&timeout, &pointer_only, &no_rectangles, &lost}) {
    duplication_.frames.push_back(std::move(*frame));
  }

  std::optional<DesktopDuplicator> duplicator = DesktopDuplicator::create(platform, log_, clock_, 0);
  ASSERT_TRUE(!duplicator->gdi_only());

  Result<std::optional<CapturedFrame>> frame = duplicator->capture(100);
  ASSERT_TRUE(frame.has_value());
  EXPECT_FALSE(frame->has_value());

  frame = duplicator->capture(100);
  ASSERT_TRUE(frame.has_value() && frame->has_value());
  EXPECT_TRUE((*frame)->pixels.empty());
  EXPECT_TRUE((*frame)->dirty_rects.empty());
  EXPECT_EQ((*frame)->cursor_pos, (Point{-3, 4}));

  frame = duplicator->capture(100);
  ASSERT_TRUE(frame.has_value() && frame->has_value());
  EXPECT_EQ(as_words((*frame)->pixels), image_pixels(4));
  EXPECT_EQ((*frame)->dirty_rects, (std::vector<Rect>{{0, 0, kWidth, kHeight}}));

  frame = duplicator->capture(100);
  ASSERT_FALSE(frame.has_value());
  EXPECT_TRUE(frame.error().text().ends_with("(0x887A0026)")) << frame.error().text();

  // 16 → 20 on the timeout, → 15 and → 11 on the two frames.
  EXPECT_EQ(duplication_.waits, (std::vector<UINT>{16, 20, 15, 11}));
  EXPECT_EQ(duplication_.acquired, duplication_.released);
  EXPECT_EQ(duplication_.protocol_errors, 0);
}

TEST_F(DxgiDuplicationSessionTest, SessionReleasesAHeldFrameBeforeAcquiringAndOnDestruction) {
  duplication_.frames.push_back(pixel_frame(image(5), {}));
  duplication_.frames.push_back(pixel_frame(image(6), {}));
  duplication_.AddRef();
  Result<std::unique_ptr<DuplicationSession>> session = start_duplication_session(
      add_ref(device_), add_ref(context_), ComPtr<IDXGIOutputDuplication>(&duplication_), kWidth, kHeight);
  ASSERT_TRUE(session.has_value()) << session.error().text();
  ASSERT_TRUE((*session)->acquire_next_frame(10).has_value());
  ASSERT_TRUE((*session)->acquire_next_frame(10).has_value());
  EXPECT_EQ(duplication_.released, 1);
  EXPECT_TRUE(duplication_.holds_frame());
  ASSERT_TRUE((*session)->open_frame_image().has_value());
  ASSERT_TRUE((*session)->map_staging().has_value());  // mapped and held at destruction
  session->reset();
  EXPECT_EQ(duplication_.released, 2);
  EXPECT_EQ(duplication_.protocol_errors, 0);
  EXPECT_EQ(duplication_.references, 1u);
}

TEST_F(DxgiDuplicationSessionTest, StagingTextureOfImpossibleSizeIsAnErrorNotASession) {
  duplication_.AddRef();
  Result<std::unique_ptr<DuplicationSession>> session = start_duplication_session(
      add_ref(device_), add_ref(context_), ComPtr<IDXGIOutputDuplication>(&duplication_), 0, kHeight);
  ASSERT_FALSE(session.has_value());
  EXPECT_EQ(session.error().kind(), Error::Kind::hresult);
  EXPECT_EQ(duplication_.references, 1u);
}

}  // namespace
}  // namespace halvorine
