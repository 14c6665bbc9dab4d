// OpenH264's decoder (linked statically), the view's decoder on a Windows
// without Media Foundation's H.264 decoder.
#include "view/win/windows_decoders.h"

#include <wels/codec_api.h>

#include <fmt/format.h>

#include "view/yuv_to_bgra.h"

namespace halvorine::client {
namespace {

class OpenH264Decoder final : public FrameDecoder {
 public:
  explicit OpenH264Decoder(ISVCDecoder* decoder) : decoder_(decoder) {}
  ~OpenH264Decoder() override {
    decoder_->Uninitialize();
    WelsDestroyDecoder(decoder_);
  }

  std::string_view name() const override { return "OpenH264"; }

  Result<std::optional<Picture>> decode(std::span<const std::uint8_t> access_unit) override {
    unsigned char* planes[3] = {};
    SBufferInfo info{};
    const DECODING_STATE state =
        decoder_->DecodeFrameNoDelay(access_unit.data(), static_cast<int>(access_unit.size()), planes, &info);
    if (state != dsErrorFree) return std::unexpected(Error::message(fmt::format("openh264 decode: state 0x{:x}", static_cast<unsigned>(state))));
    return picture(planes, info);
  }

  // DecodeFrameNoDelay holds no picture back; a key frame starts afresh.
  void flush() override {}

  std::optional<Picture> drain() override {
    // Pictures held back for reordering (streams with B-frames).
    std::optional<Picture> newest;
    for (int i = 0; i < 16; ++i) {
      unsigned char* planes[3] = {};
      SBufferInfo info{};
      if (decoder_->FlushFrame(planes, &info) != dsErrorFree || info.iBufferStatus != 1) break;
      newest = picture(planes, info);
    }
    return newest;
  }

 private:
  std::optional<Picture> picture(unsigned char* planes[3], const SBufferInfo& info) {
    if (info.iBufferStatus != 1) return std::nullopt;
    const SSysMEMBuffer& buffer = info.UsrData.sSystemBuffer;
    Picture yuv;
    yuv.width = buffer.iWidth;
    yuv.height = buffer.iHeight;
    yuv.format = PixelFormat::i420;
    yuv.planes = {planes[0], planes[1], planes[2]};
    yuv.strides = {buffer.iStride[0], buffer.iStride[1], buffer.iStride[1]};
    return pictures_.convert(yuv);
  }

  ISVCDecoder* decoder_;
  BgraPictures pictures_;
};

}  // namespace

Result<std::unique_ptr<FrameDecoder>> create_openh264_decoder() {
  ISVCDecoder* decoder = nullptr;
  if (WelsCreateDecoder(&decoder) != 0 || decoder == nullptr) {
    return std::unexpected(Error::message("WelsCreateDecoder failed"));
  }
  SDecodingParam parameters{};
  parameters.sVideoProperty.eVideoBsType = VIDEO_BITSTREAM_AVC;
  parameters.eEcActiveIdc = ERROR_CON_DISABLE;  // a damaged record fails; the view waits for a key frame
  if (decoder->Initialize(&parameters) != 0) {
    WelsDestroyDecoder(decoder);
    return std::unexpected(Error::message("openh264 decoder Initialize failed"));
  }
  return std::make_unique<OpenH264Decoder>(decoder);
}

}  // namespace halvorine::client
