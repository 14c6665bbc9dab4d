#include "encoder/win/mf_guids.h"

namespace halvorine {
namespace {

// The codec API properties. mingw-w64's import libraries do not define the
// CODECAPI_* GUIDs (codecapi.h only declares them for __uuidof), so they are
// spelled out here from the values codecapi.h documents.
constexpr GUID kRateControlMode = {0x1c0608e9, 0x370c, 0x4710,
                                   {0x8a, 0x58, 0xcb, 0x61, 0x81, 0xc4, 0x24, 0x23}};
constexpr GUID kMeanBitRate = {0xf7222374, 0x2144, 0x4815,
                               {0xb5, 0x50, 0xa3, 0x7f, 0x8e, 0x12, 0xee, 0x52}};
constexpr GUID kMaxBitRate = {0x9651eae4, 0x39b9, 0x4ebf,
                              {0x85, 0xef, 0xd7, 0xf4, 0x44, 0xec, 0x74, 0x65}};
constexpr GUID kDefaultBPictureCount = {0x8d390aac, 0xdc5c, 0x4200,
                                        {0xb5, 0x7f, 0x81, 0x4d, 0x04, 0xba, 0xba, 0xb2}};
constexpr GUID kLowLatencyMode = {0x9c27891a, 0xed7a, 0x40e1,
                                  {0x88, 0xe8, 0xb2, 0x27, 0x27, 0xa0, 0x24, 0xee}};
constexpr GUID kGopSize = {0x95f31b26, 0x95a4, 0x41aa,
                           {0x93, 0x03, 0x24, 0x6a, 0x7f, 0xc6, 0xee, 0xf1}};
constexpr GUID kForceKeyFrame = {0x398c1b98, 0x8353, 0x475a,
                                 {0x9e, 0xf2, 0x8f, 0x26, 0x5d, 0x26, 0x03, 0x45}};

}  // namespace

const GUID& media_type_key_guid(MfTypeKey key) {
  switch (key) {
    case MfTypeKey::major_type: return MF_MT_MAJOR_TYPE;
    case MfTypeKey::subtype: return MF_MT_SUBTYPE;
    case MfTypeKey::frame_size: return MF_MT_FRAME_SIZE;
    case MfTypeKey::frame_rate: return MF_MT_FRAME_RATE;
    case MfTypeKey::interlace_mode: return MF_MT_INTERLACE_MODE;
    case MfTypeKey::avg_bitrate: return MF_MT_AVG_BITRATE;
    case MfTypeKey::mpeg2_profile: return MF_MT_MPEG2_PROFILE;
    case MfTypeKey::nominal_range: return MF_MT_VIDEO_NOMINAL_RANGE;
    case MfTypeKey::yuv_matrix: return MF_MT_YUV_MATRIX;
    case MfTypeKey::video_primaries: return MF_MT_VIDEO_PRIMARIES;
    case MfTypeKey::transfer_function: return MF_MT_TRANSFER_FUNCTION;
    case MfTypeKey::max_keyframe_spacing: return MF_MT_MAX_KEYFRAME_SPACING;
    case MfTypeKey::sequence_header: return MF_MT_MPEG_SEQUENCE_HEADER;
  }
  return GUID_NULL;
}

const GUID& media_type_value_guid(MfTypeGuid value) {
  switch (value) {
    case MfTypeGuid::video: return MFMediaType_Video;
    case MfTypeGuid::h264: return MFVideoFormat_H264;
    case MfTypeGuid::nv12: return MFVideoFormat_NV12;
  }
  return GUID_NULL;
}

const GUID& transform_key_guid(MfTransformKey key) {
  switch (key) {
    case MfTransformKey::async: return MF_TRANSFORM_ASYNC;
    case MfTransformKey::async_unlock: return MF_TRANSFORM_ASYNC_UNLOCK;
    case MfTransformKey::low_latency: return MF_LOW_LATENCY;
  }
  return GUID_NULL;
}

const GUID& codec_property_guid(MfCodecProperty property) {
  switch (property) {
    case MfCodecProperty::rate_control_mode: return kRateControlMode;
    case MfCodecProperty::mean_bit_rate: return kMeanBitRate;
    case MfCodecProperty::max_bit_rate: return kMaxBitRate;
    case MfCodecProperty::b_picture_count: return kDefaultBPictureCount;
    case MfCodecProperty::low_latency_mode: return kLowLatencyMode;
    case MfCodecProperty::gop_size: return kGopSize;
    case MfCodecProperty::force_key_frame: return kForceKeyFrame;
  }
  return GUID_NULL;
}

}  // namespace halvorine
