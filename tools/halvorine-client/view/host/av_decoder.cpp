// The view's decoder on Linux: libavcodec's H.264 decoder (any profile it
// knows, High included), pictures handed on as references to its frames.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
}

#include <fmt/format.h>

#include "view/frame_decoder.h"

namespace halvorine::client {
namespace {

std::string av_text(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

// The largest picture the view takes (sequence_problem refuses larger
// streams before they get here); a second guard at allocation.
constexpr long long kMaxPixels = 3840LL * 2160;

class AvDecoder final : public FrameDecoder {
 public:
  static Result<std::unique_ptr<FrameDecoder>> create() {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (!codec) return std::unexpected(Error::message("libavcodec has no H.264 decoder"));
    auto decoder = std::unique_ptr<AvDecoder>(new AvDecoder);
    decoder->context_ = avcodec_alloc_context3(codec);
    decoder->packet_ = av_packet_alloc();
    decoder->frame_ = av_frame_alloc();
    if (!decoder->context_ || !decoder->packet_ || !decoder->frame_) {
      return std::unexpected(Error::message("libavcodec: out of memory"));
    }
    // One thread: frame threads would hold each picture back by a frame per
    // thread, and with slice threads a damaged slice is concealed and shown
    // whatever err_recognition says. One thread decodes a 3840x2160 picture
    // of our stream in about 13 ms here.
    decoder->context_->thread_count = 1;
    decoder->context_->max_pixels = kMaxPixels;
    // A damaged slice fails the record (our one line says so, and the view
    // waits for the next key frame) instead of being concealed.
    decoder->context_->err_recognition = AV_EF_EXPLODE;
    av_log_set_level(AV_LOG_FATAL);
    if (const int status = avcodec_open2(decoder->context_, codec, nullptr); status < 0) {
      return std::unexpected(Error::message(fmt::format("avcodec_open2: {}", av_text(status))));
    }
    return decoder;
  }

  ~AvDecoder() override {
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    avcodec_free_context(&context_);
  }

  std::string_view name() const override { return "libavcodec"; }

  Result<std::optional<Picture>> decode(std::span<const std::uint8_t> access_unit) override {
    // The packet borrows the record (padded by the caller) for this call.
    packet_->data = const_cast<std::uint8_t*>(access_unit.data());
    packet_->size = static_cast<int>(access_unit.size());
    const int status = avcodec_send_packet(context_, packet_);
    packet_->data = nullptr;
    packet_->size = 0;
    if (status < 0) return std::unexpected(Error::message(fmt::format("avcodec_send_packet: {}", av_text(status))));
    return receive();
  }

  void flush() override { avcodec_flush_buffers(context_); }

  std::optional<Picture> drain() override {
    if (avcodec_send_packet(context_, nullptr) < 0) return std::nullopt;
    auto last = receive();
    return last ? *last : std::nullopt;
  }

 private:
  AvDecoder() = default;

  // Every picture the decoder has ready; the newest is kept.
  Result<std::optional<Picture>> receive() {
    std::optional<Picture> newest;
    for (;;) {
      const int status = avcodec_receive_frame(context_, frame_);
      if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return newest;
      if (status < 0) return std::unexpected(Error::message(fmt::format("avcodec_receive_frame: {}", av_text(status))));
      const bool corrupt = (frame_->flags & AV_FRAME_FLAG_CORRUPT) != 0 || frame_->decode_error_flags != 0;
      PixelFormat format;
      switch (frame_->format) {
        case AV_PIX_FMT_YUV420P:
        case AV_PIX_FMT_YUVJ420P: format = PixelFormat::i420; break;
        case AV_PIX_FMT_NV12: format = PixelFormat::nv12; break;
        default:
          av_frame_unref(frame_);
          return std::unexpected(Error::message(
              fmt::format("pictures in pixel format {} (only 8-bit 4:2:0 is shown)", frame_->format)));
      }
      if (corrupt) {
        av_frame_unref(frame_);
        return std::unexpected(Error::message("the decoder reports a damaged picture"));
      }
      AVFrame* kept = av_frame_alloc();
      if (!kept) return std::unexpected(Error::message("libavcodec: out of memory"));
      av_frame_move_ref(kept, frame_);
      Picture picture;
      picture.width = kept->width;
      picture.height = kept->height;
      picture.format = format;
      for (int i = 0; i < 3; ++i) {
        picture.planes[i] = kept->data[i];
        picture.strides[i] = kept->linesize[i];
      }
      picture.owner = std::shared_ptr<const void>(kept, [](const void* frame) {
        auto* owned = static_cast<AVFrame*>(const_cast<void*>(frame));
        av_frame_free(&owned);
      });
      newest = std::move(picture);
    }
  }

  AVCodecContext* context_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVFrame* frame_ = nullptr;
};

}  // namespace

Result<std::unique_ptr<FrameDecoder>> create_frame_decoder() { return AvDecoder::create(); }

}  // namespace halvorine::client
