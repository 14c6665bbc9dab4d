// What the secure-capture loop captures with and encodes with, in its own
// terms: a screen source (the DesktopDuplicator for output 0) and a frame
// encoder (the VideoEncoder), each created through the backend. The loop
// owns what it creates and uses it on its own thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "common/error.h"
#include "encoder/encoded_frame.h"

namespace halvorine {

// One captured image as the loop needs it. `pixels` is width × height × 4
// bytes of BGRA, empty for a pointer-only update; `changed` tells whether the
// capture reported changed regions (none: nothing to encode).
struct ScreenImage {
  std::vector<std::uint8_t> pixels;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  bool changed = false;
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

class FrameEncoder {
 public:
  virtual ~FrameEncoder() = default;
  // Encodes one BGRA image of the encoder's size; an empty result means no
  // output for this input. An error text explains a lost frame.
  virtual Result<EncodedFrame> encode(std::span<const std::uint8_t> bgra) = 0;
  // Output ready without a new image (an asynchronous hardware encoder's
  // late output); empty when there is none.
  virtual Result<EncodedFrame> collect_pending_output() = 0;
  // Makes the next output a key frame; nothing is output before it.
  virtual void force_key_frame() = 0;
};

class StreamBackend {
 public:
  virtual ~StreamBackend() = default;
  // A source for output `output_index` of the desktop the thread is attached to.
  virtual Result<std::unique_ptr<ScreenSource>> create_source(std::uint32_t output_index) = 0;
  virtual Result<std::unique_ptr<FrameEncoder>> create_encoder(std::uint32_t width, std::uint32_t height,
                                                               std::uint32_t fps, std::uint32_t kbps) = 0;
};

}  // namespace halvorine
