#include "encoder/openh264_library.h"

namespace halvorine {
namespace {

class LinkedOpenH264 final : public OpenH264Library {
 public:
  int create_encoder(ISVCEncoder** encoder) override { return WelsCreateSVCEncoder(encoder); }
  void destroy_encoder(ISVCEncoder* encoder) override { WelsDestroySVCEncoder(encoder); }
};

}  // namespace

OpenH264Library& linked_openh264() {
  static LinkedOpenH264 library;
  return library;
}

}  // namespace halvorine
