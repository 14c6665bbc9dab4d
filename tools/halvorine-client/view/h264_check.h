// A quick look at a record before it reaches the decoder: is it Annex-B
// H.264 at all, and does it hold a key frame? Reads only NAL headers.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace halvorine::client {

// Why `record` is not Annex-B H.264; empty when it is: it starts with a
// start code and every NAL unit has a header of a type H.264 defines
// (1..23), its forbidden bit clear.
std::string h264_problem(std::span<const std::uint8_t> record);

// True when `record` holds an IDR slice (NAL type 5).
bool holds_key_frame(std::span<const std::uint8_t> record);

}  // namespace halvorine::client
