// Media Foundation's H.264 decoder transform (software, synchronous), found
// with MFTEnumEx; NV12 out, in low-latency mode so that each access unit
// gives its picture at once.
#include "common/win/win_sdk.h"
// clang-format off: these need windows.h first.
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mftransform.h>
// clang-format on

#include <cstring>
#include <optional>

#include <fmt/format.h>

#include "common/win/com_ptr.h"
#include "encoder/win/mfplat_library.h"
#include "view/win/windows_decoders.h"
#include "view/yuv_to_bgra.h"

namespace halvorine::client {
namespace {

Error failed(const char* step, HRESULT hr) { return Error::hresult(static_cast<std::int32_t>(hr)).context(step); }

// COM and Media Foundation for the life of one decoder, on the stream thread.
// Media Foundation is loaded at run time: editions without it decode with
// OpenH264 (the caller's fallback).
class MediaFoundationScope {
 public:
  MediaFoundationScope() : library_(mfplat_library()) {
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    com_ = SUCCEEDED(com);
    if (library_) started_ = library_->startup(MF_VERSION, MFSTARTUP_LITE);
  }
  ~MediaFoundationScope() {
    if (SUCCEEDED(started_)) library_->shutdown();
    if (com_) CoUninitialize();
  }
  MediaFoundationScope(const MediaFoundationScope&) = delete;
  MediaFoundationScope& operator=(const MediaFoundationScope&) = delete;
  // Why Media Foundation did not start, else nothing.
  std::optional<Error> failure() const {
    if (!library_) return library_.error();
    if (FAILED(started_)) return Error::hresult(static_cast<std::int32_t>(started_)).context("MFStartup");
    return std::nullopt;
  }
  const MfplatLibrary& library() const { return *library_; }

 private:
  const Result<MfplatLibrary>& library_;
  bool com_ = false;
  HRESULT started_ = E_FAIL;
};

// Locks a media buffer's bytes for as long as it lives.
class BufferLock {
 public:
  explicit BufferLock(IMFMediaBuffer* buffer) : buffer_(buffer) {
    result_ = buffer_->Lock(&data_, nullptr, &length_);
  }
  ~BufferLock() {
    if (SUCCEEDED(result_)) buffer_->Unlock();
  }
  BufferLock(const BufferLock&) = delete;
  BufferLock& operator=(const BufferLock&) = delete;
  HRESULT result() const { return result_; }
  BYTE* data() const { return data_; }
  DWORD length() const { return length_; }

 private:
  IMFMediaBuffer* buffer_;
  HRESULT result_;
  BYTE* data_ = nullptr;
  DWORD length_ = 0;
};

class MediaFoundationDecoder final : public FrameDecoder {
 public:
  MediaFoundationDecoder(std::unique_ptr<MediaFoundationScope> scope, ComPtr<IMFTransform> transform)
      : scope_(std::move(scope)), transform_(std::move(transform)) {}
  ~MediaFoundationDecoder() override { transform_.reset(); }

  std::string_view name() const override { return "Media Foundation"; }

  Result<void> start() {
    ComPtr<IMFAttributes> attributes;
    if (SUCCEEDED(transform_->GetAttributes(attributes.put())) && attributes) {
      attributes->SetUINT32(MF_LOW_LATENCY, TRUE);
    }
    ComPtr<IMFMediaType> input;
    HRESULT hr = scope_->library().create_media_type(input.put());
    if (FAILED(hr)) return std::unexpected(failed("MFCreateMediaType", hr));
    input->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    input->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_H264);
    hr = transform_->SetInputType(0, input.get(), 0);
    if (FAILED(hr)) return std::unexpected(failed("SetInputType", hr));
    if (auto output = choose_output(); !output) return output;
    transform_->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, 0);
    transform_->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0);
    return {};
  }

  Result<std::optional<Picture>> decode(std::span<const std::uint8_t> access_unit) override {
    ComPtr<IMFSample> sample;
    if (auto made = make_sample(access_unit, sample); !made) return std::unexpected(made.error());
    HRESULT hr = transform_->ProcessInput(0, sample.get(), 0);
    std::optional<Picture> newest;
    if (hr == MF_E_NOTACCEPTING) {
      // It holds output still: collect it, then it takes the input.
      auto earlier = collect();
      if (!earlier) return earlier;
      newest = std::move(*earlier);
      hr = transform_->ProcessInput(0, sample.get(), 0);
    }
    if (FAILED(hr)) return std::unexpected(failed("ProcessInput", hr));
    auto pictures = collect();
    if (!pictures) return pictures;
    return *pictures ? std::move(*pictures) : std::move(newest);
  }

  void flush() override { transform_->ProcessMessage(MFT_MESSAGE_COMMAND_FLUSH, 0); }

  std::optional<Picture> drain() override {
    transform_->ProcessMessage(MFT_MESSAGE_NOTIFY_END_OF_STREAM, 0);
    if (FAILED(transform_->ProcessMessage(MFT_MESSAGE_COMMAND_DRAIN, 0))) return std::nullopt;
    auto pictures = collect();
    return pictures ? std::move(*pictures) : std::nullopt;
  }

 private:
  Result<void> make_sample(std::span<const std::uint8_t> bytes, ComPtr<IMFSample>& sample) {
    ComPtr<IMFMediaBuffer> buffer;
    HRESULT hr = scope_->library().create_memory_buffer(static_cast<DWORD>(bytes.size()), buffer.put());
    if (FAILED(hr)) return std::unexpected(failed("MFCreateMemoryBuffer", hr));
    {
      BYTE* data = nullptr;
      DWORD capacity = 0;
      hr = buffer->Lock(&data, &capacity, nullptr);
      if (FAILED(hr)) return std::unexpected(failed("IMFMediaBuffer::Lock", hr));
      std::memcpy(data, bytes.data(), std::min<std::size_t>(bytes.size(), capacity));
      buffer->Unlock();
    }
    buffer->SetCurrentLength(static_cast<DWORD>(bytes.size()));
    hr = scope_->library().create_sample(sample.put());
    if (FAILED(hr)) return std::unexpected(failed("MFCreateSample", hr));
    sample->AddBuffer(buffer.get());
    return {};
  }

  // Picks NV12 among the output types and reads the picture's geometry.
  Result<void> choose_output() {
    for (DWORD index = 0;; ++index) {
      ComPtr<IMFMediaType> type;
      HRESULT hr = transform_->GetOutputAvailableType(0, index, type.put());
      if (FAILED(hr)) return std::unexpected(failed("GetOutputAvailableType (no NV12)", hr));
      GUID subtype{};
      if (FAILED(type->GetGUID(MF_MT_SUBTYPE, &subtype)) || subtype != MFVideoFormat_NV12) continue;
      hr = transform_->SetOutputType(0, type.get(), 0);
      if (FAILED(hr)) return std::unexpected(failed("SetOutputType", hr));
      UINT32 width = 0, height = 0;
      MFGetAttributeSize(type.get(), MF_MT_FRAME_SIZE, &width, &height);
      buffer_width_ = static_cast<int>(width);
      buffer_height_ = static_cast<int>(height);
      width_ = buffer_width_;
      height_ = buffer_height_;
      // The picture without the rows and columns coding adds (1080 of 1088).
      for (const GUID& key : {MF_MT_MINIMUM_DISPLAY_APERTURE, MF_MT_GEOMETRIC_APERTURE}) {
        MFVideoArea area{};
        if (SUCCEEDED(type->GetBlob(key, reinterpret_cast<UINT8*>(&area), sizeof area, nullptr)) && area.Area.cx > 0 &&
            area.Area.cy > 0 && static_cast<UINT32>(area.Area.cx) <= width &&
            static_cast<UINT32>(area.Area.cy) <= height) {
          width_ = area.Area.cx;
          height_ = area.Area.cy;
          break;
        }
      }
      MFT_OUTPUT_STREAM_INFO info{};
      hr = transform_->GetOutputStreamInfo(0, &info);
      if (FAILED(hr)) return std::unexpected(failed("GetOutputStreamInfo", hr));
      provides_samples_ = (info.dwFlags & (MFT_OUTPUT_STREAM_PROVIDES_SAMPLES | MFT_OUTPUT_STREAM_CAN_PROVIDE_SAMPLES)) != 0;
      output_size_ = info.cbSize;
      return {};
    }
  }

  // Takes every picture the transform has ready; the newest is kept.
  Result<std::optional<Picture>> collect() {
    std::optional<Picture> newest;
    for (;;) {
      ComPtr<IMFSample> ours;
      if (!provides_samples_) {
        ComPtr<IMFMediaBuffer> buffer;
        HRESULT hr = scope_->library().create_memory_buffer(output_size_, buffer.put());
        if (FAILED(hr)) return std::unexpected(failed("MFCreateMemoryBuffer", hr));
        hr = scope_->library().create_sample(ours.put());
        if (FAILED(hr)) return std::unexpected(failed("MFCreateSample", hr));
        ours->AddBuffer(buffer.get());
      }
      MFT_OUTPUT_DATA_BUFFER output{};
      output.pSample = ours.get();
      DWORD status = 0;
      const HRESULT hr = transform_->ProcessOutput(0, 1, &output, &status);
      if (output.pEvents) output.pEvents->Release();
      ComPtr<IMFSample> produced(provides_samples_ ? output.pSample : nullptr);
      if (hr == MF_E_TRANSFORM_NEED_MORE_INPUT) return newest;
      if (hr == MF_E_TRANSFORM_STREAM_CHANGE) {
        if (auto output_type = choose_output(); !output_type) return std::unexpected(output_type.error());
        continue;
      }
      if (FAILED(hr)) return std::unexpected(failed("ProcessOutput", hr));
      auto picture = to_picture(provides_samples_ ? produced.get() : ours.get());
      if (!picture) return std::unexpected(picture.error());
      newest = std::move(*picture);
    }
  }

  Result<Picture> to_picture(IMFSample* sample) {
    if (!sample) return std::unexpected(Error::message("ProcessOutput gave no sample"));
    ComPtr<IMFMediaBuffer> buffer;
    HRESULT hr = sample->ConvertToContiguousBuffer(buffer.put());
    if (FAILED(hr)) return std::unexpected(failed("ConvertToContiguousBuffer", hr));
    const BufferLock lock(buffer.get());
    if (FAILED(lock.result())) return std::unexpected(failed("IMFMediaBuffer::Lock", lock.result()));
    // NV12 rows of the buffer's width; the chroma plane after buffer_height_ rows.
    const std::size_t stride = static_cast<std::size_t>(buffer_width_);
    const std::size_t needed = stride * buffer_height_ * 3 / 2;
    if (width_ <= 0 || height_ <= 0 || lock.length() < needed) {
      return std::unexpected(Error::message(fmt::format("decoded buffer of {} bytes for {}x{} NV12", lock.length(),
                                                        buffer_width_, buffer_height_)));
    }
    Picture nv12;
    nv12.width = width_;
    nv12.height = height_;
    nv12.format = PixelFormat::nv12;
    nv12.planes = {lock.data(), lock.data() + stride * buffer_height_, nullptr};
    nv12.strides = {static_cast<int>(stride), static_cast<int>(stride), 0};
    return pictures_.convert(nv12);
  }

  std::unique_ptr<MediaFoundationScope> scope_;
  ComPtr<IMFTransform> transform_;
  bool provides_samples_ = false;
  DWORD output_size_ = 0;
  int buffer_width_ = 0;
  int buffer_height_ = 0;
  int width_ = 0;
  int height_ = 0;
  BgraPictures pictures_;
};

}  // namespace

Result<std::unique_ptr<FrameDecoder>> create_media_foundation_decoder() {
  auto scope = std::make_unique<MediaFoundationScope>();
  if (auto failure = scope->failure()) return std::unexpected(std::move(*failure));
  const MfplatLibrary& mf = scope->library();
  const MFT_REGISTER_TYPE_INFO input{MFMediaType_Video, MFVideoFormat_H264};
  ComArray<IMFActivate> found;
  HRESULT hr = mf.enumerate_transforms(MFT_CATEGORY_VIDEO_DECODER,
                         MFT_ENUM_FLAG_SYNCMFT | MFT_ENUM_FLAG_LOCALMFT | MFT_ENUM_FLAG_SORTANDFILTER, &input, nullptr,
                         found.put_entries(), found.put_count());
  if (FAILED(hr)) return std::unexpected(failed("MFTEnumEx", hr));
  if (found.count() == 0) return std::unexpected(Error::message("MFTEnumEx found no H.264 decoder"));
  ComPtr<IMFTransform> transform;
  hr = found.get(0)->ActivateObject(__uuidof(IMFTransform), transform.put_void());
  if (FAILED(hr) || !transform) return std::unexpected(failed("ActivateObject", FAILED(hr) ? hr : E_POINTER));
  auto decoder = std::make_unique<MediaFoundationDecoder>(std::move(scope), std::move(transform));
  if (auto started = decoder->start(); !started) return std::unexpected(started.error());
  return decoder;
}

}  // namespace halvorine::client
