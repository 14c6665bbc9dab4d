// MfTransform over an IMFTransform, with its attribute store and codec API.
#pragma once

#include "common/win/com_ptr.h"
#include "encoder/transform_api.h"
#include "encoder/win/mf_sdk.h"

namespace halvorine {

class WinTransform final : public MfTransform {
 public:
  explicit WinTransform(ComPtr<IMFTransform> transform) : transform_(std::move(transform)) {}

  Result<std::unique_ptr<MfAttributes>> attributes() override;
  Result<std::unique_ptr<MfCodecApi>> codec_api() override;
  Result<std::unique_ptr<MfEventQueue>> event_queue() override;
  Result<void> set_output_type(MfMediaType& type) override;
  Result<void> set_input_type(MfMediaType& type) override;
  Result<std::unique_ptr<MfMediaType>> output_available_type(std::uint32_t index) override;
  Result<std::uint32_t> output_stream_flags() override;
  Result<void> process_message(MfMessage message) override;
  Result<void> process_input(MfSample& sample) override;
  Result<std::unique_ptr<MfSample>> process_output(std::unique_ptr<MfSample> sample) override;

 private:
  ComPtr<IMFTransform> transform_;
};

}  // namespace halvorine
