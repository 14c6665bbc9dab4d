// The seam between the hardware encoder's logic and Media Foundation.
//
// HardwareEncoder (hardware_encoder.h) drives one H.264 encoder transform
// through these interfaces only; the Windows backend (win/) implements them
// with Media Foundation and COM, the Linux backend (host/) enumerates no
// encoder, and tests script a fake transform.
//
// Errors: every failing call returns an Error whose code() is the failing
// platform call's HRESULT (Error::hresult, so it displays as the platform
// message and "(0xXXXXXXXX)"); the logic logs that code as it stands.
// A call that succeeds but yields no object is a failure with code 0.
//
// Ownership: each object returned holds its own reference to the platform
// object behind it and releases it on destruction; none of them needs
// another one to stay alive (an MfCodecApi may outlive its MfTransform, whose
// calls then fail).
//
// Destruction: destroying an MfTransform shuts the transform down (its own
// shutdown where it has one, then its activation object's), so its threads,
// its event queue and what it holds of the device end with it even while
// something else still refers to it. Destroying an MfEventQueue with a
// request outstanding leaves that request to end on its own but lets go of
// the transform.
//
// Threading: everything is called on one thread, the one that created the
// objects (COM is initialised there by the caller), except what
// MfEventQueue says about its own callbacks.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/error.h"

namespace halvorine {

// Results of the transform the logic tells apart (HRESULT values).
inline constexpr std::int32_t kMfNeedMoreInput = static_cast<std::int32_t>(0xC00D6D72);
inline constexpr std::int32_t kMfStreamChange = static_cast<std::int32_t>(0xC00D6D61);
inline constexpr std::int32_t kMfUnexpected = static_cast<std::int32_t>(0x8000FFFF);
inline constexpr std::int32_t kMfNotImplemented = static_cast<std::int32_t>(0x80004001);
inline constexpr std::int32_t kMfNotAccepting = static_cast<std::int32_t>(0xC00D36B5);
// HRESULT_FROM_WIN32(ERROR_INVALID_DATA): output that cannot be H.264.
inline constexpr std::int32_t kMfInvalidData = static_cast<std::int32_t>(0x8007000D);

// Media event types (MediaEventType) an asynchronous transform posts.
inline constexpr std::uint32_t kMfEventNeedInput = 601;   // METransformNeedInput
inline constexpr std::uint32_t kMfEventHaveOutput = 602;  // METransformHaveOutput

// MFT_OUTPUT_STREAM_PROVIDES_SAMPLES in the output stream flags.
inline constexpr std::uint32_t kMfOutputProvidesSamples = 0x100;

// What GetOutputStreamInfo tells of stream 0 (MFT_OUTPUT_STREAM_INFO).
struct MfOutputStreamInfo {
  std::uint32_t flags = 0;  // dwFlags
  std::uint32_t size = 0;   // cbSize: the output buffer it needs, as the transform says
};

// Attributes of a media type (IMFMediaType / IMFAttributes keys).
enum class MfTypeKey {
  major_type,            // GUID
  subtype,               // GUID
  frame_size,            // UINT64: width << 32 | height
  frame_rate,            // UINT64: numerator << 32 | denominator
  interlace_mode,        // UINT32
  avg_bitrate,           // UINT32
  mpeg2_profile,         // UINT32
  nominal_range,         // UINT32  (MF_MT_VIDEO_NOMINAL_RANGE)
  yuv_matrix,            // UINT32
  video_primaries,       // UINT32
  transfer_function,     // UINT32
  max_keyframe_spacing,  // UINT32
  sequence_header,       // blob (MF_MT_MPEG_SEQUENCE_HEADER): SPS and PPS, Annex-B
};

// The GUID values the logic puts into a media type.
enum class MfTypeGuid {
  video,  // MFMediaType_Video
  h264,   // MFVideoFormat_H264
  nv12,   // MFVideoFormat_NV12
};

// Attributes on the transform itself (IMFTransform::GetAttributes).
enum class MfTransformKey {
  async,         // MF_TRANSFORM_ASYNC
  async_unlock,  // MF_TRANSFORM_ASYNC_UNLOCK
  low_latency,   // MF_LOW_LATENCY
};

// ICodecAPI properties the encoder sets.
enum class MfCodecProperty {
  rate_control_mode,  // CODECAPI_AVEncCommonRateControlMode
  mean_bit_rate,      // CODECAPI_AVEncCommonMeanBitRate
  max_bit_rate,       // CODECAPI_AVEncCommonMaxBitRate
  b_picture_count,    // CODECAPI_AVEncMPVDefaultBPictureCount
  low_latency_mode,   // CODECAPI_AVLowLatencyMode
  gop_size,           // CODECAPI_AVEncMPVGOPSize
  force_key_frame,    // CODECAPI_AVEncVideoForceKeyFrame
};

// A VARIANT as ICodecAPI::SetValue takes it: VT_UI4 with `value`, or VT_BOOL
// (true is VARIANT_TRUE, all bits set; false is 0).
struct MfCodecValue {
  enum class Type { ui4, boolean };
  Type type = Type::ui4;
  std::uint32_t value = 0;

  static constexpr MfCodecValue ui4(std::uint32_t v) { return {Type::ui4, v}; }
  static constexpr MfCodecValue boolean(bool v) { return {Type::boolean, v ? 1U : 0U}; }
  friend bool operator==(const MfCodecValue&, const MfCodecValue&) = default;
};

// IMFTransform::ProcessMessage messages (MFT_MESSAGE_TYPE values); the
// parameter is always 0.
enum class MfMessage : std::uint32_t {
  notify_begin_streaming = 0x10000000,
  notify_start_of_stream = 0x10000003,
};

// One media type (IMFMediaType).
class MfMediaType {
 public:
  virtual ~MfMediaType() = default;
  // SetGUID. `key` is major_type or subtype.
  virtual Result<void> set_guid(MfTypeKey key, MfTypeGuid value) = 0;
  // SetUINT32.
  virtual Result<void> set_uint32(MfTypeKey key, std::uint32_t value) = 0;
  // SetUINT64 (frame size, frame rate; the caller packs the halves).
  virtual Result<void> set_uint64(MfTypeKey key, std::uint64_t value) = 0;
  // GetUINT64; an absent attribute is an error.
  virtual Result<std::uint64_t> get_uint64(MfTypeKey key) = 0;
  // GetBlobSize and GetBlob; an absent attribute, or one longer than
  // `max_bytes`, is an error.
  virtual Result<std::vector<std::uint8_t>> get_blob(MfTypeKey key, std::size_t max_bytes) = 0;
};

// One media sample (IMFSample) with its buffers.
class MfSample {
 public:
  virtual ~MfSample() = default;
  // SetUINT32(MFSampleExtension_Discontinuity, 1).
  virtual Result<void> set_discontinuity() = 0;
  // GetBufferCount.
  virtual Result<std::uint32_t> buffer_count() = 0;
  // GetBufferByIndex, GetCurrentLength, Lock, append the current length's
  // bytes to `out`, Unlock. A current length beyond what Lock reports as the
  // buffer's maximum (a faulty transform must not make us read outside its
  // buffer), or beyond `limit`, is an error. On error `out` is left as it was.
  virtual Result<void> append_buffer(std::uint32_t index, std::vector<std::uint8_t>& out,
                                     std::size_t limit) = 0;
};

// The event generator of an asynchronous transform (IMFMediaEventGenerator).
//
// At most one event request is outstanding at any time: after wait() timed
// out, the request it made stays outstanding and the next wait() or poll()
// collects its event instead of asking again (a second BeginGetEvent would
// fail, and GetEvent beside it too). The callback that receives the event
// runs on a Media Foundation thread and only hands the event over; it owns
// its state, so it may still run after this object is gone.
class MfEventQueue {
 public:
  virtual ~MfEventQueue() = default;
  // The next event already queued, without waiting: its type (GetType), or
  // nullopt when there is none (GetEvent with MF_EVENT_FLAG_NO_WAIT failed,
  // or the outstanding request has not completed yet). Errors: GetType, or
  // the outstanding request completing with a failure.
  virtual Result<std::optional<std::uint32_t>> poll() = 0;
  // The next event's type, waiting at most `timeout` (real time) for it;
  // nullopt when the time ran out. Errors: GetEvent/EndGetEvent, GetType.
  virtual Result<std::optional<std::uint32_t>> wait(std::chrono::milliseconds timeout) = 0;
};

// The transform's own attribute store (IMFTransform::GetAttributes).
class MfAttributes {
 public:
  virtual ~MfAttributes() = default;
  virtual Result<std::uint32_t> get_uint32(MfTransformKey key) = 0;
  virtual Result<void> set_uint32(MfTransformKey key, std::uint32_t value) = 0;
};

// ICodecAPI of the transform.
class MfCodecApi {
 public:
  virtual ~MfCodecApi() = default;
  // SetValue.
  virtual Result<void> set_value(MfCodecProperty property, MfCodecValue value) = 0;
};

// An activated encoder transform (IMFTransform), stream 0 in and out.
class MfTransform {
 public:
  virtual ~MfTransform() = default;
  // GetAttributes.
  virtual Result<std::unique_ptr<MfAttributes>> attributes() = 0;
  // QueryInterface for ICodecAPI.
  virtual Result<std::unique_ptr<MfCodecApi>> codec_api() = 0;
  // QueryInterface for IMFMediaEventGenerator.
  virtual Result<std::unique_ptr<MfEventQueue>> event_queue() = 0;
  // SetOutputType / SetInputType (stream 0, flags 0). `type` comes from
  // MediaFoundation::create_media_type or output_available_type.
  virtual Result<void> set_output_type(MfMediaType& type) = 0;
  virtual Result<void> set_input_type(MfMediaType& type) = 0;
  // GetOutputCurrentType (stream 0).
  virtual Result<std::unique_ptr<MfMediaType>> output_current_type() = 0;
  // GetOutputAvailableType (stream 0, `index`).
  virtual Result<std::unique_ptr<MfMediaType>> output_available_type(std::uint32_t index) = 0;
  // GetOutputStreamInfo (stream 0).
  virtual Result<MfOutputStreamInfo> output_stream_info() = 0;
  // ProcessMessage(message, 0).
  virtual Result<void> process_message(MfMessage message) = 0;
  // ProcessInput (stream 0, the sample, flags 0). `sample` comes from
  // MediaFoundation::create_input_sample.
  virtual Result<void> process_input(MfSample& sample) = 0;
  // ProcessOutput (flags 0, one MFT_OUTPUT_DATA_BUFFER for stream 0 holding
  // `sample`, which may be null when the transform provides samples). On
  // success: the sample the data buffer holds afterwards (ours or the
  // transform's), or null when there is none. Any event collection returned
  // is released. Errors keep the HRESULT (need more input, stream change and
  // E_UNEXPECTED included: the caller tells them apart by code()).
  virtual Result<std::unique_ptr<MfSample>> process_output(std::unique_ptr<MfSample> sample) = 0;
};

// One enumerated encoder (IMFActivate), not yet activated.
class MfEncoderCandidate {
 public:
  virtual ~MfEncoderCandidate() = default;
  // MFT_FRIENDLY_NAME_Attribute as it is stored (UTF-16, not validated);
  // an error when it cannot be read.
  virtual Result<std::u16string> friendly_name() = 0;
  // ActivateObject for IMFTransform.
  virtual Result<std::unique_ptr<MfTransform>> activate() = 0;
};

// Media Foundation itself. Made by the backend's make_media_foundation();
// must outlive every object it hands out (encoders keep a reference).
class MediaFoundation {
 public:
  virtual ~MediaFoundation() = default;
  // Why this machine has no Media Foundation at all (its library or one of
  // its functions is missing), else nothing. Every call below then fails
  // with that error; no hardware encoder is worth trying again.
  virtual std::optional<Error> missing() const { return std::nullopt; }
  // MFStartup(0x20070, MFSTARTUP_LITE). Called on every encoder creation;
  // each successful start is balanced (MFShutdown) when this object goes.
  virtual Result<void> startup() = 0;
  // MFTEnumEx(MFT_CATEGORY_VIDEO_ENCODER, MFT_ENUM_FLAG_HARDWARE |
  // MFT_ENUM_FLAG_SORTANDFILTER, no input type, output {Video, H264}): the
  // non-null entries in the returned order (the array itself freed with
  // CoTaskMemFree). No array or a count of 0 is an empty list, not an error.
  virtual Result<std::vector<std::unique_ptr<MfEncoderCandidate>>> enumerate_h264_encoders() = 0;
  // MFCreateMediaType.
  virtual Result<std::unique_ptr<MfMediaType>> create_media_type() = 0;
  // MFCreateMemoryBuffer of bytes.size(), Lock, copy `bytes` in, Unlock,
  // SetCurrentLength(bytes.size()); MFCreateSample, AddBuffer,
  // SetSampleTime(time), SetSampleDuration(duration); times in 100 ns units.
  virtual Result<std::unique_ptr<MfSample>> create_input_sample(std::span<const std::uint8_t> bytes,
                                                                std::int64_t time,
                                                                std::int64_t duration) = 0;
  // MFCreateSample, MFCreateMemoryBuffer(capacity), AddBuffer: an empty
  // sample for a transform that does not provide its own.
  virtual Result<std::unique_ptr<MfSample>> create_output_sample(std::uint32_t capacity) = 0;
};

// This platform's Media Foundation: the real one on Windows (win/), one that
// starts and enumerates no encoder on Linux (host/).
std::unique_ptr<MediaFoundation> make_media_foundation();

}  // namespace halvorine
