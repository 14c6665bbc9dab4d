// MfTransform over an IMFTransform, with its attribute store and codec API.
//
// Destruction shuts the transform down before releasing it: IMFShutdown::
// Shutdown where the transform has it (an asynchronous one must: its threads
// and event queue end there), then IMFActivate::ShutdownObject on the
// activation object it came from, which frees what the activation holds for
// it (for a hardware encoder, its encode session). A transform that stalled
// with an event request outstanding is let go all the same.
#pragma once

#include "common/win/com_ptr.h"
#include "encoder/transform_api.h"
#include "encoder/win/mf_sdk.h"

namespace halvorine {

class WinTransform final : public MfTransform {
 public:
  // `activate`: the object `transform` was activated from, if any.
  explicit WinTransform(ComPtr<IMFTransform> transform, ComPtr<IMFActivate> activate = {})
      : transform_(std::move(transform)), activate_(std::move(activate)) {}
  ~WinTransform() override;
  WinTransform(const WinTransform&) = delete;
  WinTransform& operator=(const WinTransform&) = delete;

  Result<std::unique_ptr<MfAttributes>> attributes() override;
  Result<std::unique_ptr<MfCodecApi>> codec_api() override;
  Result<std::unique_ptr<MfEventQueue>> event_queue() override;
  Result<void> set_output_type(MfMediaType& type) override;
  Result<void> set_input_type(MfMediaType& type) override;
  Result<std::unique_ptr<MfMediaType>> output_current_type() override;
  Result<std::unique_ptr<MfMediaType>> output_available_type(std::uint32_t index) override;
  Result<MfOutputStreamInfo> output_stream_info() override;
  Result<void> process_message(MfMessage message) override;
  Result<void> process_input(MfSample& sample) override;
  Result<std::unique_ptr<MfSample>> process_output(std::unique_ptr<MfSample> sample) override;

 private:
  ComPtr<IMFTransform> transform_;
  ComPtr<IMFActivate> activate_;
};

}  // namespace halvorine
