#include "bin/worker/secure/product_stream_backend.h"

#include "capture/desktop_duplicator.h"
#include "encoder/video_encoder.h"

namespace halvorine {
namespace {

class DuplicatorSource final : public ScreenSource {
 public:
  explicit DuplicatorSource(DesktopDuplicator duplicator) : duplicator_(std::move(duplicator)) {}

  Result<std::optional<ScreenImage>> capture(std::uint32_t timeout_ms) override {
    auto captured = duplicator_.capture(timeout_ms);
    if (!captured) return std::unexpected(std::move(captured.error()));
    if (!*captured) return std::optional<ScreenImage>();
    // The image stays the duplicator's; the rectangles are kept here until
    // the next capture, as long as the image they describe.
    last_ = std::move(**captured);
    return std::optional<ScreenImage>(ScreenImage{last_.pixels, last_.width, last_.height, last_.dirty_rects});
  }
  std::optional<std::vector<std::uint8_t>> capture_full() override { return duplicator_.capture_gdi_full(); }
  std::uint32_t width() const override { return duplicator_.width(); }
  std::uint32_t height() const override { return duplicator_.height(); }
  bool paces_itself() const override { return duplicator_.gdi_only(); }

 private:
  DesktopDuplicator duplicator_;
  CapturedFrame last_;
};

}  // namespace

Result<std::unique_ptr<ScreenSource>> ProductStreamBackend::create_source(std::uint32_t output_index) {
  return std::make_unique<DuplicatorSource>(DesktopDuplicator::create(log_, clock_, output_index));
}

Result<std::unique_ptr<H264Encoder>> ProductStreamBackend::create_encoder(std::uint32_t width, std::uint32_t height,
                                                                           std::uint32_t fps, std::uint32_t kbps) {
  auto encoder = VideoEncoder::create(width, height, fps, kbps, log_, clock_);
  if (!encoder) return std::unexpected(std::move(encoder.error()));
  return std::make_unique<VideoEncoder>(std::move(*encoder));
}

}  // namespace halvorine
