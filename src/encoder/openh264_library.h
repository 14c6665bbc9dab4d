// Where encoder instances come from: the linked OpenH264 library in the
// product, a fake in tests. Everything else goes through the instance's own
// ISVCEncoder interface.
#pragma once

#include <wels/codec_api.h>

namespace halvorine {

class OpenH264Library {
 public:
  virtual ~OpenH264Library() = default;
  // WelsCreateSVCEncoder: 0 and an instance, or the library's non-zero code.
  virtual int create_encoder(ISVCEncoder** encoder) = 0;
  // WelsDestroySVCEncoder, for an instance this library created.
  virtual void destroy_encoder(ISVCEncoder* encoder) = 0;
};

// The OpenH264 the program is linked with. Stateless; shared by all threads.
OpenH264Library& linked_openh264();

}  // namespace halvorine
