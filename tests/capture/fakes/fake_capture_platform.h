// A scriptable capture platform: adapters and outputs, a failing set-up step
// on request, a duplication session that plays back scripted frames against
// an in-memory desktop image, and a screen for GDI region captures. Every
// call is recorded so tests can check what the duplicator asked for.
#pragma once

#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "capture/capture_platform.h"
#include "common/clock.h"

namespace halvorine::testing {

// A w × h BGRA image whose pixel (x, y) is unique for a given seed.
inline std::vector<std::uint8_t> pattern_image(std::uint32_t width, std::uint32_t height, std::uint8_t seed = 0) {
  std::vector<std::uint8_t> pixels(std::size_t{width} * height * 4);
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      std::uint8_t* p = pixels.data() + (std::size_t{y} * width + x) * 4;
      p[0] = static_cast<std::uint8_t>(x + seed);
      p[1] = static_cast<std::uint8_t>(y);
      p[2] = static_cast<std::uint8_t>((x >> 8) | ((y >> 8) << 4));
      p[3] = static_cast<std::uint8_t>(0x80 | seed);
    }
  }
  return pixels;
}

// One scripted rectangle query: the platform's list, or a failure.
template <typename Entry>
struct FakeRectList {
  std::vector<Entry> entries;
  bool fails = false;
  std::vector<std::size_t> asked_counts;  // buffer sizes the duplicator offered

  RectQuery answer(std::span<Entry> buffer) {
    asked_counts.push_back(buffer.size());
    if (fails) return {RectQuery::Status::failed, 0};
    const auto required = static_cast<std::uint32_t>(entries.size() * sizeof(Entry));
    if (buffer.size() < entries.size()) return {RectQuery::Status::more_data, required};
    std::copy(entries.begin(), entries.end(), buffer.begin());
    return {RectQuery::Status::ok, required};
  }
};

// What one AcquireNextFrame delivers.
struct FakeFrame {
  AcquiredFrameInfo info;
  std::vector<std::uint8_t> shape_bytes;
  PointerShapeInfo shape_info;
  bool shape_fails = false;
  FakeRectList<Rect> dirty;
  FakeRectList<MoveRect> moves;
  std::optional<Error> open_error;
  std::optional<Error> map_error;
  // The desktop as it is when this frame is acquired; empty keeps the last one.
  std::vector<std::uint8_t> desktop;
};

struct FakeTimeout {};
using FakeAcquire = std::variant<FakeFrame, FakeTimeout, Error>;

// What the session did, kept by the platform beyond the session's life.
struct FakeSessionRecord {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint32_t> waits;  // timeout of each acquire
  std::vector<Rect> copies;
  int releases = 0;
  int flushes = 0;
  int maps = 0;
  int unmaps = 0;
  bool frame_held = false;
  std::vector<FakeFrame> delivered;  // frames in the order acquired, with their queries
  bool destroyed = false;
};

class FakeDuplicationSession final : public DuplicationSession {
 public:
  static constexpr std::uint32_t kPitchPadding = 64;  // a staging row is wider than the image

  FakeDuplicationSession(std::shared_ptr<FakeSessionRecord> record, std::deque<FakeAcquire>* script,
                         const Clock* clock)
      : record_(std::move(record)), script_(script), clock_(clock) {
    pitch_ = record_->width * 4 + kPitchPadding;
    staging_.assign(std::size_t{pitch_} * record_->height, 0xEE);
    desktop_ = pattern_image(record_->width, record_->height);
  }
  ~FakeDuplicationSession() override { record_->destroyed = true; }

  Result<std::optional<AcquiredFrameInfo>> acquire_next_frame(std::uint32_t timeout_ms) override {
    record_->waits.push_back(timeout_ms);
    if (script_->empty()) {
      if (clock_) clock_->sleep_for(std::chrono::milliseconds(timeout_ms));
      return std::optional<AcquiredFrameInfo>{};
    }
    FakeAcquire next = std::move(script_->front());
    script_->pop_front();
    if (std::holds_alternative<FakeTimeout>(next)) return std::optional<AcquiredFrameInfo>{};
    if (auto* error = std::get_if<Error>(&next)) return std::unexpected(*error);
    record_->delivered.push_back(std::move(std::get<FakeFrame>(next)));
    current_ = &record_->delivered.back();
    if (!current_->desktop.empty()) desktop_ = current_->desktop;
    record_->frame_held = true;
    return std::optional<AcquiredFrameInfo>{current_->info};
  }

  Result<PointerShapeInfo> frame_pointer_shape(std::span<std::uint8_t> buffer) override {
    if (current_->shape_fails) return std::unexpected(Error::hresult(0x887A0001));
    std::memcpy(buffer.data(), current_->shape_bytes.data(), std::min(buffer.size(), current_->shape_bytes.size()));
    return current_->shape_info;
  }
  RectQuery frame_dirty_rects(std::span<Rect> buffer) override { return current_->dirty.answer(buffer); }
  RectQuery frame_move_rects(std::span<MoveRect> buffer) override { return current_->moves.answer(buffer); }

  Result<void> open_frame_image() override {
    if (current_->open_error) return std::unexpected(*current_->open_error);
    return {};
  }
  void copy_to_staging(const Rect& rect) override {
    record_->copies.push_back(rect);
    for (std::int32_t y = rect.top; y < rect.bottom; ++y) {
      std::memcpy(staging_.data() + std::size_t(y) * pitch_ + std::size_t(rect.left) * 4,
                  desktop_.data() + (std::size_t(y) * record_->width + rect.left) * 4,
                  std::size_t(rect.right - rect.left) * 4);
    }
  }
  void flush() override { ++record_->flushes; }
  void release_frame() override {
    ++record_->releases;
    record_->frame_held = false;
  }
  Result<MappedStaging> map_staging() override {
    ++record_->maps;
    if (current_->map_error) return std::unexpected(*current_->map_error);
    return MappedStaging{staging_.data(), pitch_};
  }
  void unmap_staging() override { ++record_->unmaps; }

 private:
  std::shared_ptr<FakeSessionRecord> record_;
  std::deque<FakeAcquire>* script_;
  const Clock* clock_;
  FakeFrame* current_ = nullptr;
  std::vector<std::uint8_t> desktop_;
  std::vector<std::uint8_t> staging_;
  std::uint32_t pitch_ = 0;
};

struct FakeOutput {
  Rect desktop{0, 0, 1920, 1080};
  std::uint32_t rotation = kRotationIdentity;
};

// Set-up steps that can be made to fail.
enum class FakeStep { create_device, open_output, query_output1, output_description, duplicate_output, create_session };

class FakeCapturePlatform final : public CapturePlatform {
 public:
  // --- script ---
  std::optional<Error> factory_error;
  std::vector<std::vector<FakeOutput>> adapters{{FakeOutput{}}};
  std::optional<std::pair<FakeStep, Error>> failing_step;
  std::deque<FakeAcquire> frames;
  const Clock* session_clock = nullptr;  // when set, an empty script waits its timeout on it
  ScreenMetrics metrics{0, 0, 1920, 1080, 1920, 1080};
  // The screen GDI reads: an image of screen_width × screen_height whose top-left is at screen_origin.
  Point screen_origin;
  std::uint32_t screen_width = 1920;
  std::uint32_t screen_height = 1080;
  std::vector<std::uint8_t> screen = pattern_image(1920, 1080);
  bool region_fails = false;
  const Clock* region_clock = nullptr;
  std::chrono::milliseconds region_duration{0};  // fake time one region capture takes

  // --- record ---
  std::vector<std::string> calls;
  int live_objects = 0;  // factories and adapters not yet destroyed
  std::shared_ptr<FakeSessionRecord> session;  // the last session created
  std::vector<Rect> regions;

  Result<std::unique_ptr<CaptureFactory>> create_factory() override;
  ScreenMetrics screen_metrics() override { return metrics; }
  bool capture_region(std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height,
                      std::vector<std::uint8_t>& pixels) override {
    regions.push_back(Rect{x, y, x + width, y + height});
    if (region_clock) region_clock->sleep_for(region_duration);
    if (region_fails) return false;
    const std::int64_t left = std::int64_t{x} - screen_origin.x;
    const std::int64_t top = std::int64_t{y} - screen_origin.y;
    if (left < 0 || top < 0 || left + width > screen_width || top + height > screen_height) return false;
    pixels.resize(std::size_t(width) * height * 4);
    for (std::int32_t row = 0; row < height; ++row) {
      std::memcpy(pixels.data() + std::size_t(row) * width * 4,
                  screen.data() + ((std::size_t(top) + row) * screen_width + std::size_t(left)) * 4,
                  std::size_t(width) * 4);
    }
    return true;
  }

  std::optional<Error> step_error(FakeStep step) const {
    if (failing_step && failing_step->first == step) return failing_step->second;
    return std::nullopt;
  }
};

class FakeCaptureAdapter final : public CaptureAdapter {
 public:
  FakeCaptureAdapter(FakeCapturePlatform& platform, std::uint32_t index) : platform_(platform), index_(index) {
    ++platform_.live_objects;
  }
  ~FakeCaptureAdapter() override { --platform_.live_objects; }

  bool has_output(std::uint32_t output) override {
    platform_.calls.push_back(fmt::format("EnumOutputs({},{})", index_, output));
    return output < outputs().size();
  }
  Result<void> create_device() override { return step(FakeStep::create_device, "D3D11CreateDevice"); }
  Result<void> open_output(std::uint32_t output) override {
    opened_ = output;
    if (output >= outputs().size()) return std::unexpected(Error::hresult(0x887A0002));
    return step(FakeStep::open_output, "EnumOutputs(final)");
  }
  Result<void> query_output1() override { return step(FakeStep::query_output1, "cast IDXGIOutput1"); }
  Result<OutputDescription> output_description() override {
    if (auto failed = step(FakeStep::output_description, "GetDesc"); !failed) return std::unexpected(failed.error());
    const FakeOutput& output = outputs().at(opened_);
    return OutputDescription{output.desktop, output.rotation};
  }
  Result<void> duplicate_output() override { return step(FakeStep::duplicate_output, "DuplicateOutput"); }
  Result<std::unique_ptr<DuplicationSession>> create_session(std::uint32_t width, std::uint32_t height) override {
    if (auto failed = step(FakeStep::create_session, "CreateTexture2D"); !failed) {
      return std::unexpected(failed.error());
    }
    auto record = std::make_shared<FakeSessionRecord>();
    record->width = width;
    record->height = height;
    platform_.session = record;
    return std::make_unique<FakeDuplicationSession>(record, &platform_.frames, platform_.session_clock);
  }

 private:
  const std::vector<FakeOutput>& outputs() const { return platform_.adapters.at(index_); }
  Result<void> step(FakeStep which, const char* name) {
    platform_.calls.push_back(fmt::format("{}({},{})", name, index_, opened_));
    if (auto error = platform_.step_error(which)) return std::unexpected(*error);
    return {};
  }

  FakeCapturePlatform& platform_;
  std::uint32_t index_;
  std::uint32_t opened_ = 0;
};

class FakeCaptureFactory final : public CaptureFactory {
 public:
  explicit FakeCaptureFactory(FakeCapturePlatform& platform) : platform_(platform) { ++platform_.live_objects; }
  ~FakeCaptureFactory() override { --platform_.live_objects; }
  std::unique_ptr<CaptureAdapter> enum_adapter(std::uint32_t index) override {
    platform_.calls.push_back(fmt::format("EnumAdapters({})", index));
    if (index >= platform_.adapters.size()) return nullptr;
    return std::make_unique<FakeCaptureAdapter>(platform_, index);
  }

 private:
  FakeCapturePlatform& platform_;
};

inline Result<std::unique_ptr<CaptureFactory>> FakeCapturePlatform::create_factory() {
  calls.push_back("CreateDXGIFactory1");
  if (factory_error) return std::unexpected(*factory_error);
  return std::make_unique<FakeCaptureFactory>(*this);
}

}  // namespace halvorine::testing
