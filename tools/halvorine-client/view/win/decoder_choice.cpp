// Media Foundation's decoder where Windows has one, OpenH264's otherwise.
// A Media Foundation decoder that is found but fails on the first key frame
// (as under Wine without its GStreamer decoders) gives way to OpenH264 too.
#include <cstdio>

#include "view/win/windows_decoders.h"

namespace halvorine::client {
namespace {

class FirstThatDecodes final : public FrameDecoder {
 public:
  explicit FirstThatDecodes(std::unique_ptr<FrameDecoder> first) : current_(std::move(first)) {}

  std::string_view name() const override { return current_->name(); }

  Result<std::optional<Picture>> decode(std::span<const std::uint8_t> access_unit) override {
    auto result = current_->decode(access_unit);
    if (proven_ || (result && *result)) {
      proven_ = proven_ || (result && *result);
      return result;
    }
    if (result && ++unproductive_ < kPatience) return result;
    std::fprintf(stderr, "halvorine-client: %s decodes nothing (%s); switching to OpenH264\n",
                 std::string(current_->name()).c_str(),
                 result ? "no picture after several records" : result.error().text().c_str());
    auto fallback = create_openh264_decoder();
    if (!fallback) return std::unexpected(fallback.error());
    current_ = std::move(*fallback);
    proven_ = true;
    return current_->decode(access_unit);
  }

  std::optional<Picture> drain() override { return current_->drain(); }
  void flush() override { current_->flush(); }

 private:
  static constexpr int kPatience = 8;
  std::unique_ptr<FrameDecoder> current_;
  bool proven_ = false;
  int unproductive_ = 0;
};

}  // namespace

Result<std::unique_ptr<FrameDecoder>> create_frame_decoder() {
  auto media_foundation = create_media_foundation_decoder();
  if (media_foundation) return std::make_unique<FirstThatDecodes>(std::move(*media_foundation));
  std::fprintf(stderr, "halvorine-client: no Media Foundation H.264 decoder (%s); using OpenH264\n",
               media_foundation.error().text().c_str());
  return create_openh264_decoder();
}

}  // namespace halvorine::client
