// A StreamBackend whose sources and encoders follow the test's script and
// count what the loop does with them. A capture takes `capture_wait` of the
// fake clock, or the loop's own wait when that is shorter, as the real wait
// inside capture paces the loop.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <new>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "bin/worker/secure/stream_backend.h"
#include "fake_clock.h"

namespace halvorine::testing {

struct FakeSize {
  std::uint32_t width = 1920;
  std::uint32_t height = 1080;
  friend bool operator==(const FakeSize&, const FakeSize&) = default;
};

// A captured image as a test scripts it; the source hands it out as its own
// image (ScreenImage), changed as a whole or not at all.
struct FakeImage {
  std::vector<std::uint8_t> pixels;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  bool changed = false;
};

// A changed image of `size` whose first byte is `tag`.
inline FakeImage changed_image(FakeSize size, std::uint8_t tag = 1) {
  return FakeImage{std::vector<std::uint8_t>(std::size_t{size.width} * size.height * 4, tag), size.width,
                   size.height, true};
}

class FakeStreamBackend final : public StreamBackend {
 public:
  explicit FakeStreamBackend(FakeClock& clock) : clock_(clock) {}

  // --- what the platform looks like -------------------------------------
  std::deque<Result<FakeSize>> sources;  // one per create_source; empty: 1920×1080
  std::deque<Error> encoder_failures;    // the next create_encoder calls fail with these
  // One per capture; when used up, `endless_changes` decides: a changed
  // image of the source's size, or nothing new.
  std::deque<Result<std::optional<FakeImage>>> captures;
  bool endless_changes = false;
  // When set (and no scripted capture is left): the screen changes every
  // period from now on, and a capture returns the newest change it has not
  // returned yet (its number in the image's first byte), waiting for the
  // next one when there is none, as duplication accumulates changes.
  std::optional<std::chrono::milliseconds> change_period;
  FakeClock::MonotonicTime changes_start{};
  bool gdi_only = false;  // the source paces itself
  std::chrono::milliseconds capture_wait{100};
  std::optional<std::vector<std::uint8_t>> full_image = std::vector<std::uint8_t>{7};  // nullopt: fails
  // One per encode (of any encoder); when used up, a non-empty frame.
  std::deque<Result<EncodedFrame>> encodes;
  // One per collect_pending_output; when used up, nothing.
  std::deque<Result<EncodedFrame>> pending_outputs;

  // --- what happened ------------------------------------------------------
  std::vector<std::uint32_t> source_outputs;  // output index of every create_source
  int sources_alive = 0;
  std::vector<FakeSize> encoders_created;  // sizes asked for, failures included
  int encoders_alive = 0;
  int captures_made = 0;
  std::vector<std::uint32_t> capture_timeouts;
  int collects = 0;
  int full_captures = 0;
  std::vector<FakeSize> encoded_sizes;  // encoder size at every encode
  std::vector<std::uint8_t> encoded_tags;  // first byte of every image encoded
  std::vector<FakeClock::MonotonicTime> encode_times;
  bool capture_throws = false;  // the next capture throws std::bad_alloc
  int key_frames_forced = 0;
  int encodes_after_force = 0;  // encodes that came right after a forced key frame
  std::optional<FakeSize> resize_to;  // the live source takes this size now (GDI-only mode)

  Result<std::unique_ptr<ScreenSource>> create_source(std::uint32_t output_index) override {
    source_outputs.push_back(output_index);
    FakeSize size;
    if (!sources.empty()) {
      auto next = std::move(sources.front());
      sources.pop_front();
      if (!next) return std::unexpected(next.error());
      size = *next;
    }
    return std::make_unique<Source>(*this, size);
  }
  Result<std::unique_ptr<H264Encoder>> create_encoder(std::uint32_t width, std::uint32_t height, std::uint32_t fps,
                                                      std::uint32_t kbps) override {
    encoders_created.push_back({width, height});
    last_fps = fps;
    last_kbps = kbps;
    if (!encoder_failures.empty()) {
      Error error = encoder_failures.front();
      encoder_failures.pop_front();
      return std::unexpected(error);
    }
    if (real_encoder) return real_encoder(width, height, fps, kbps);
    return std::make_unique<Encoder>(*this, FakeSize{width, height});
  }
  std::uint32_t last_fps = 0;
  std::uint32_t last_kbps = 0;
  std::uint32_t encoder_fps = 30;  // the rate the fake encoders say they were made with
  // When set, makes the encoders instead of the fake below.
  std::function<Result<std::unique_ptr<H264Encoder>>(std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t)>
      real_encoder;

 private:
  class Source final : public ScreenSource {
   public:
    Source(FakeStreamBackend& backend, FakeSize size)
        : backend_(backend), size_(size), last_return_(backend.clock_.monotonic_now()) {
      ++backend_.sources_alive;
    }
    ~Source() override { --backend_.sources_alive; }
    Result<std::optional<ScreenImage>> capture(std::uint32_t timeout_ms) override {
      EXPECT_LE(timeout_ms, 100u);
      ++backend_.captures_made;
      backend_.capture_timeouts.push_back(timeout_ms);
      if (std::exchange(backend_.capture_throws, false)) throw std::bad_alloc();
      FakeClock& clock = backend_.clock_;
      const auto wait = std::min<std::chrono::milliseconds>(backend_.capture_wait,
                                                            std::chrono::milliseconds(timeout_ms));
      if (backend_.resize_to) size_ = *std::exchange(backend_.resize_to, std::nullopt);
      if (!backend_.captures.empty()) {
        clock.advance(wait);
        auto next = std::move(backend_.captures.front());
        backend_.captures.pop_front();
        if (!next) return std::unexpected(next.error());
        if (!*next) return std::optional<ScreenImage>();
        return hand_out(std::move(**next));
      }
      if (backend_.change_period) {
        std::optional<FakeImage> change = changing_screen(timeout_ms);
        if (!change) return std::optional<ScreenImage>();
        return hand_out(std::move(*change));
      }
      if (backend_.endless_changes) {
        // A change every capture_wait: one that came while the loop slept
        // is there at once.
        // GDI-only capture takes its period from the call on.
        const auto since = clock.monotonic_now() - (backend_.gdi_only ? clock.monotonic_now() : last_return_);
        if (since < backend_.capture_wait) clock.advance(backend_.capture_wait - since);
        last_return_ = clock.monotonic_now();
        return hand_out(changed_image(size_));
      }
      clock.advance(wait);
      return std::optional<ScreenImage>();
    }
    bool paces_itself() const override { return backend_.gdi_only; }
    std::optional<std::vector<std::uint8_t>> capture_full() override {
      ++backend_.full_captures;
      return backend_.full_image;
    }
    std::uint32_t width() const override { return size_.width; }
    std::uint32_t height() const override { return size_.height; }

   private:
    std::int64_t changes_by(FakeClock::MonotonicTime time) const {
      return (time - backend_.changes_start) / *backend_.change_period;
    }
    // The image kept as the source's own until the next capture.
    std::optional<ScreenImage> hand_out(FakeImage image) {
      current_ = std::move(image);
      whole_ = Rect{0, 0, static_cast<std::int32_t>(current_.width), static_cast<std::int32_t>(current_.height)};
      return ScreenImage{current_.pixels, current_.width, current_.height,
                         current_.changed ? std::span<const Rect>(&whole_, 1) : std::span<const Rect>()};
    }
    std::optional<FakeImage> changing_screen(std::uint32_t timeout_ms) {
      FakeClock& clock = backend_.clock_;
      if (changes_by(clock.monotonic_now()) <= returned_) {
        const auto next = backend_.changes_start + (returned_ + 1) * *backend_.change_period;
        const auto limit = std::min<std::chrono::milliseconds>(backend_.capture_wait,
                                                               std::chrono::milliseconds(timeout_ms));
        if (next - clock.monotonic_now() > limit) {
          clock.advance(limit);
          return std::nullopt;
        }
        clock.advance(next - clock.monotonic_now());
      }
      returned_ = changes_by(clock.monotonic_now());
      return changed_image(size_, static_cast<std::uint8_t>(returned_));
    }

    FakeStreamBackend& backend_;
    FakeSize size_;
    FakeImage current_;
    Rect whole_;
    std::int64_t returned_ = 0;
    FakeClock::MonotonicTime last_return_;
  };

  // The next scripted answer of `answers`, else `otherwise`.
  static EncodeResult take(std::deque<Result<EncodedFrame>>& answers, EncodedFrame otherwise = {}) {
    if (answers.empty()) return {std::move(otherwise)};
    Result<EncodedFrame> next = std::move(answers.front());
    answers.pop_front();
    return next ? EncodeResult{std::move(*next)} : EncodeResult::failed(next.error());
  }

  class Encoder final : public H264Encoder {
   public:
    Encoder(FakeStreamBackend& backend, FakeSize size) : backend_(backend), size_(size) { ++backend_.encoders_alive; }
    ~Encoder() override { --backend_.encoders_alive; }
    EncodeResult encode(std::span<const std::uint8_t> bgra) override {
      backend_.encoded_sizes.push_back(size_);
      backend_.encoded_tags.push_back(bgra.empty() ? 0 : bgra[0]);
      backend_.encode_times.push_back(backend_.clock_.monotonic_now());
      // Images of another size are refused, as the real encoder refuses them.
      if (bgra.size() != std::size_t{size_.width} * size_.height * 4 && bgra.size() != 1) {
        return EncodeResult::failed(Error::message("frame size mismatch"));
      }
      if (std::exchange(forced_, false)) ++backend_.encodes_after_force;
      return take(backend_.encodes, {0, 0, 0, 1, 0x41});
    }
    EncodeResult collect_pending_output() override {
      ++backend_.collects;
      return take(backend_.pending_outputs);
    }
    EncodedFrame parameter_sets() override { return {}; }
    FrameSize size() const override { return {size_.width, size_.height}; }
    std::uint32_t fps() const override { return backend_.encoder_fps; }
    void force_key_frame() override {
      ++backend_.key_frames_forced;
      forced_ = true;
    }

   private:
    FakeStreamBackend& backend_;
    FakeSize size_;
    bool forced_ = false;
  };

  FakeClock& clock_;
};

}  // namespace halvorine::testing
