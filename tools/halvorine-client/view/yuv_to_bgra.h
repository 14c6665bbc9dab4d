// YUV (BT.709, limited range) to BGRA for the Windows view, whose window
// draws BGRA with StretchDIBits and whose decoders hand out pictures valid
// only until their next call. The Linux view leaves this to libswscale.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "view/picture.h"

namespace halvorine::client {

// Converts decoder pictures into owned BGRA pictures, reusing buffers the
// window no longer holds. One per decoder; not thread-safe.
class BgraPictures {
 public:
  // `yuv` is i420 or nv12; its planes need to live only during the call.
  Picture convert(const Picture& yuv);

 private:
  std::vector<std::shared_ptr<std::vector<std::uint8_t>>> buffers_;
};

}  // namespace halvorine::client
