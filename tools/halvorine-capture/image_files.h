// Writing captured BGRA images to files.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "common/error.h"

namespace halvorine {

// The exact bytes of the image, nothing else.
Result<void> write_raw_file(const std::string& path, std::span<const std::uint8_t> bytes);

// A PNG of the width × height BGRA image (the fourth byte is dropped: it
// carries no meaning in captured images).
Result<void> write_png_file(const std::string& path, std::span<const std::uint8_t> bgra, std::uint32_t width,
                            std::uint32_t height);

}  // namespace halvorine
