// The view's H.264 decoder seam: one object per connection, used by the
// stream thread only. Backends: libavcodec (Linux); Media Foundation's
// H.264 decoder, else OpenH264's (Windows).
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "common/error.h"
#include "view/picture.h"

namespace halvorine::client {

// Every access unit handed to decode() is followed in memory by this many
// readable zero bytes (libavcodec's bit reader reads ahead).
inline constexpr std::size_t kDecoderPadding = 64;

class FrameDecoder {
 public:
  virtual ~FrameDecoder() = default;
  virtual std::string_view name() const = 0;
  // Decodes one Annex-B access unit (one record). The newest picture it
  // completed, if any; an error means the unit did not decode, and the
  // decoder may be fed again from the next key frame on.
  virtual Result<std::optional<Picture>> decode(std::span<const std::uint8_t> access_unit) = 0;
  // The stream has ended: the newest of the pictures still held back.
  virtual std::optional<Picture> drain() = 0;
  // After a unit that did not decode: forgets the pictures held back (they
  // may refer to the damaged one); the next unit fed is a key frame.
  virtual void flush() = 0;
};

Result<std::unique_ptr<FrameDecoder>> create_frame_decoder();

}  // namespace halvorine::client
