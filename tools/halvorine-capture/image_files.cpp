#include "image_files.h"

#include <cerrno>
#include <cstdio>
#include <system_error>
#include <vector>

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#include <stb/stb_image_write.h>

#include "common/unique_file.h"

namespace halvorine {
namespace {

// The C library's errno, as text on every platform (Error::os would read it
// as a Win32 code on Windows).
Error errno_error() {
  const int code = errno;
  return Error::message(code != 0 ? std::generic_category().message(code) : "unknown failure");
}

}  // namespace

Result<void> write_raw_file(const std::string& path, std::span<const std::uint8_t> bytes) {
  errno = 0;
  UniqueFile file(std::fopen(path.c_str(), "wb"));
  if (!file) return std::unexpected(errno_error());
  if (std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) {
    return std::unexpected(errno_error());
  }
  if (file.close() != 0) return std::unexpected(errno_error());
  return {};
}

Result<void> write_png_file(const std::string& path, std::span<const std::uint8_t> bgra, std::uint32_t width,
                            std::uint32_t height) {
  const std::size_t pixels = std::size_t{width} * height;
  if (bgra.size() < pixels * 4 || width == 0 || height == 0 || width > INT32_MAX / 3 || height > INT32_MAX) {
    return std::unexpected(Error::message("the image is empty or smaller than its size"));
  }
  std::vector<std::uint8_t> rgb(pixels * 3);
  for (std::size_t i = 0; i < pixels; ++i) {
    rgb[i * 3] = bgra[i * 4 + 2];
    rgb[i * 3 + 1] = bgra[i * 4 + 1];
    rgb[i * 3 + 2] = bgra[i * 4];
  }
  errno = 0;
  if (stbi_write_png(path.c_str(), static_cast<int>(width), static_cast<int>(height), 3, rgb.data(),
                     static_cast<int>(width * 3)) == 0) {
    return std::unexpected(errno_error());
  }
  return {};
}

}  // namespace halvorine
