// The two decoders of the Windows view, chosen in decoder_choice.cpp.
#pragma once

#include <memory>

#include "view/frame_decoder.h"

namespace halvorine::client {

// Media Foundation's H.264 decoder transform; an error when Windows has none
// (N editions without the media features) or it will not take our types.
Result<std::unique_ptr<FrameDecoder>> create_media_foundation_decoder();
Result<std::unique_ptr<FrameDecoder>> create_openh264_decoder();

}  // namespace halvorine::client
