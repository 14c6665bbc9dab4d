// Conversion of the platform's pointer shapes into CursorShape records.
#pragma once

#include <cstdint>
#include <span>

#include "capture/capture_platform.h"
#include "capture/captured_frame.h"

namespace halvorine {

// Converts a monochrome, colour (premultiplied alpha) or masked-colour shape
// into B, G, R, A with straight alpha; any other type gives empty pixels.
// Source bytes beyond `bytes` count as absent and leave the pixel
// transparent (a monochrome pixel whose XOR byte alone is missing is black).
CursorShape convert_pointer_shape(std::span<const std::uint8_t> bytes, const PointerShapeInfo& info,
                                  std::uint32_t serial);

}  // namespace halvorine
