#include "capture/pointer_shape.h"

#include <gtest/gtest.h>

namespace halvorine {
namespace {

std::vector<std::uint8_t> pixel_at(const CursorShape& shape, std::uint32_t x, std::uint32_t y) {
  const auto* p = shape.pixels.data() + (std::size_t{y} * shape.width + x) * 4;
  return {p[0], p[1], p[2], p[3]};
}

TEST(PointerShapeTest, MonochromeIsHalfAsHighAndMapsAndXorBits) {
  // 32 × 64: 32 AND rows, then 32 XOR rows, 4 bytes per row.
  constexpr std::uint32_t kPitch = 4;
  std::vector<std::uint8_t> bytes(kPitch * 64, 0xFF);  // AND all 1: transparent
  bytes[0] = 0b0011'1111;           // row 0: x 0 and 1 drawn
  bytes[32 * kPitch] = 0b0100'0000;  // XOR: x 1 white, x 0 black
  bytes[5 * kPitch + 3] = 0b1111'1110;  // row 5, x 31 drawn
  bytes[(32 + 5) * kPitch + 3] = 0b0000'0001;  // ... and white

  const CursorShape shape =
      convert_pointer_shape(bytes, PointerShapeInfo{kPointerShapeMonochrome, 32, 64, kPitch, {3, -2}}, 7);
  EXPECT_EQ(shape.width, 32);
  EXPECT_EQ(shape.height, 32);
  EXPECT_EQ(shape.serial, 7u);
  EXPECT_EQ(shape.hotspot_x, 3);
  EXPECT_EQ(shape.hotspot_y, 0);  // a negative hot spot becomes 0
  ASSERT_EQ(shape.pixels.size(), 32u * 32 * 4);
  EXPECT_EQ(pixel_at(shape, 0, 0), (std::vector<std::uint8_t>{0, 0, 0, 255}));
  EXPECT_EQ(pixel_at(shape, 1, 0), (std::vector<std::uint8_t>{255, 255, 255, 255}));
  EXPECT_EQ(pixel_at(shape, 2, 0), (std::vector<std::uint8_t>{0, 0, 0, 0}));
  EXPECT_EQ(pixel_at(shape, 31, 5), (std::vector<std::uint8_t>{255, 255, 255, 255}));
  EXPECT_EQ(pixel_at(shape, 30, 5), (std::vector<std::uint8_t>{0, 0, 0, 0}));
}

TEST(PointerShapeTest, MonochromeWithMissingMaskBytes) {
  // 8 × 4 with pitch 1: AND rows 0..1, XOR rows 2..3, but only 3 bytes given.
  const std::vector<std::uint8_t> bytes{0x00, 0x00, 0xFF};
  const CursorShape shape = convert_pointer_shape(bytes, PointerShapeInfo{kPointerShapeMonochrome, 8, 4, 1, {}}, 1);
  ASSERT_EQ(shape.height, 2);
  EXPECT_EQ(pixel_at(shape, 4, 0), (std::vector<std::uint8_t>{255, 255, 255, 255}));  // XOR present
  EXPECT_EQ(pixel_at(shape, 4, 1), (std::vector<std::uint8_t>{0, 0, 0, 255}));  // XOR byte missing: black
  // An AND byte beyond the buffer leaves the pixel transparent.
  const CursorShape short_and = convert_pointer_shape(std::vector<std::uint8_t>{0x00},
                                                      PointerShapeInfo{kPointerShapeMonochrome, 8, 4, 1, {}}, 1);
  EXPECT_EQ(pixel_at(short_and, 0, 1), (std::vector<std::uint8_t>{0, 0, 0, 0}));
}

TEST(PointerShapeTest, ColorBecomesStraightAlpha) {
  // One row of 4 pixels with a padded pitch; the last pixel is cut off.
  const std::vector<std::uint8_t> bytes{
      100, 50, 0, 128,     // half transparent, premultiplied
      10, 20, 30, 255,     // opaque: as it is
      200, 200, 200, 0,    // transparent: colour dropped
      200, 10, 0, 100,     // premultiplied beyond alpha: capped at 255
      0, 0, 0, 0,          // pitch padding of the row
      1, 2, 3};            // second row, incomplete pixel
  const CursorShape shape =
      convert_pointer_shape(bytes, PointerShapeInfo{kPointerShapeColor, 4, 2, 20, {1, 2}}, 3);
  ASSERT_EQ(shape.height, 2);
  EXPECT_EQ(pixel_at(shape, 0, 0), (std::vector<std::uint8_t>{199, 100, 0, 128}));
  EXPECT_EQ(pixel_at(shape, 1, 0), (std::vector<std::uint8_t>{10, 20, 30, 255}));
  EXPECT_EQ(pixel_at(shape, 2, 0), (std::vector<std::uint8_t>{0, 0, 0, 0}));
  EXPECT_EQ(pixel_at(shape, 3, 0), (std::vector<std::uint8_t>{255, 26, 0, 100}));
  EXPECT_EQ(pixel_at(shape, 0, 1), (std::vector<std::uint8_t>{0, 0, 0, 0}));
}

TEST(PointerShapeTest, MaskedColorShowsOnlyOpaquePixelsAndOtherTypesAreEmpty) {
  const std::vector<std::uint8_t> bytes{1, 2, 3, 0, 4, 5, 6, 0xFF};
  const CursorShape masked =
      convert_pointer_shape(bytes, PointerShapeInfo{kPointerShapeMaskedColor, 2, 1, 8, {}}, 1);
  EXPECT_EQ(pixel_at(masked, 0, 0), (std::vector<std::uint8_t>{1, 2, 3, 255}));
  EXPECT_EQ(pixel_at(masked, 1, 0), (std::vector<std::uint8_t>{0, 0, 0, 0}));

  const CursorShape unknown = convert_pointer_shape(bytes, PointerShapeInfo{3, 2, 1, 8, {5, 6}}, 9);
  EXPECT_TRUE(unknown.pixels.empty());
  EXPECT_EQ(unknown.width, 2);
  EXPECT_EQ(unknown.height, 1);
  EXPECT_EQ(unknown.hotspot_x, 5);
}

}  // namespace
}  // namespace halvorine
