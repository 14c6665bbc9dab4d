// One encode call's H.264 output in Annex-B form, moved from the capture
// thread to the video pipe writer through the video channel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/bounded_channel.h"

namespace halvorine {

using EncodedFrame = std::vector<std::uint8_t>;

inline constexpr std::size_t kVideoChannelCapacity = 8;

using VideoSender = BoundedSender<EncodedFrame>;
using VideoReceiver = BoundedReceiver<EncodedFrame>;

}  // namespace halvorine
