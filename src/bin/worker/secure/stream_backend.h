// What the secure-capture loop captures with and encodes with, in its own
// terms: a screen source (the DesktopDuplicator for output 0) and an H.264
// encoder (the VideoEncoder), each created through the backend. The loop
// owns what it creates and uses it on its own thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "common/error.h"
#include "common/rect.h"
#include "encoder/h264_encoder.h"

namespace halvorine {

// One captured image as the loop needs it. `pixels` is width × height × 4
// bytes of BGRA, empty for a pointer-only update: the source's own image,
// valid until its next capture. `changed` holds the regions that differ from
// the source's previous image (none: nothing to encode).
struct ScreenImage {
  std::span<const std::uint8_t> pixels;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::span<const Rect> changed;
};

class ScreenSource {
 public:
  virtual ~ScreenSource() = default;
  // The next image; nullopt when nothing new came within the wait. An error
  // means the source is broken and must be built anew.
  virtual Result<std::optional<ScreenImage>> capture(std::uint32_t timeout_ms) = 0;
  // A complete image of the whole output at the current size (the GDI full
  // capture); nullopt when it cannot be taken.
  virtual std::optional<std::vector<std::uint8_t>> capture_full() = 0;
  // The current size; it may change between captures (GDI-only mode).
  virtual std::uint32_t width() const = 0;
  virtual std::uint32_t height() const = 0;
  // Whether every capture takes a frame interval of its own (GDI-only mode
  // paces itself); otherwise changes accumulate between captures.
  virtual bool paces_itself() const = 0;
};

class StreamBackend {
 public:
  virtual ~StreamBackend() = default;
  // A source for output `output_index` of the desktop the thread is attached to.
  virtual Result<std::unique_ptr<ScreenSource>> create_source(std::uint32_t output_index) = 0;
  virtual Result<std::unique_ptr<H264Encoder>> create_encoder(std::uint32_t width, std::uint32_t height,
                                                               std::uint32_t fps, std::uint32_t kbps) = 0;
};

}  // namespace halvorine
