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

// What the view decodes at most: the worker's largest picture (3840x2160
// either way), with no more reference frames than such a picture can have at
// level 5.1 (whose picture store holds 184320 macroblocks: 5 frames of
// 3840x2160, 16 of 1920x1080).
inline constexpr unsigned kMaxLongSide = 3840;
inline constexpr unsigned kMaxShortSide = 2160;
inline constexpr unsigned long kMaxReferenceMacroblocks = 184320;

// Why a sequence parameter set in `record` (an Annex-B record that passed
// h264_problem) asks for more than that, or cannot be read; empty when none
// does. Read before the decoder sees the record, so nothing is allocated for
// a stream the view refuses.
std::string sequence_problem(std::span<const std::uint8_t> record);

}  // namespace halvorine::client
