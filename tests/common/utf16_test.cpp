#include "common/utf16.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace halvorine {
namespace {

TEST(Utf16Test, DecodesBmpAndSurrogatePairs) {
  EXPECT_EQ(utf16_to_utf8_lossy(u"Winlogon"), "Winlogon");
  EXPECT_EQ(utf16_to_utf8_lossy(u"\u2014\u2192"), "\xE2\x80\x94\xE2\x86\x92");
  EXPECT_EQ(utf16_to_utf8_lossy(u"\U0001F600"), "\xF0\x9F\x98\x80");
}

TEST(Utf16Test, UnpairedSurrogatesBecomeReplacementCharacter) {
  const std::u16string lone_high{u'a', char16_t(0xD800), u'b'};
  const std::u16string lone_low{char16_t(0xDC00)};
  const std::u16string reversed{char16_t(0xDC00), char16_t(0xD800)};
  EXPECT_EQ(utf16_to_utf8_lossy(lone_high), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(utf16_to_utf8_lossy(lone_low), "\xEF\xBF\xBD");
  EXPECT_EQ(utf16_to_utf8_lossy(reversed), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(Utf16Test, StopsAtFirstNulOrTakesWholeBuffer) {
  const std::vector<char16_t> with_nul{u'D', u'e', u'f', 0, u'x'};
  EXPECT_EQ(utf16_until_nul_to_utf8_lossy(with_nul), "Def");
  const std::vector<char16_t> full(256, u'A');
  EXPECT_EQ(utf16_until_nul_to_utf8_lossy(full), std::string(256, 'A'));
  const std::vector<char16_t> empty{0, u'A'};
  EXPECT_EQ(utf16_until_nul_to_utf8_lossy(empty), "");
}

TEST(Utf16Test, EncodesUtf8AsUtf16) {
  EXPECT_EQ(utf8_to_utf16("halvorine-input"), u"halvorine-input");
  EXPECT_EQ(utf8_to_utf16("\xF0\x9F\x98\x80"), u"\U0001F600");
  EXPECT_EQ(utf8_to_utf16("\xFF"), std::u16string(1, char16_t(0xFFFD)));
}

TEST(Utf8ValidationTest, AcceptsWellFormedAndRejectsIllFormed) {
  auto valid = [](std::string_view s) {
    return is_valid_utf8({reinterpret_cast<const std::uint8_t*>(s.data()), s.size()});
  };
  EXPECT_TRUE(valid(""));
  EXPECT_TRUE(valid("KeyA"));
  EXPECT_TRUE(valid("\xE2\x80\x94"));
  EXPECT_TRUE(valid("\xF4\x8F\xBF\xBF"));    // U+10FFFF
  EXPECT_FALSE(valid("\xC0\x80"));           // overlong NUL
  EXPECT_FALSE(valid("\xE0\x9F\xBF"));       // overlong
  EXPECT_FALSE(valid("\xED\xA0\x80"));       // surrogate
  EXPECT_FALSE(valid("\xF4\x90\x80\x80"));   // above U+10FFFF
  EXPECT_FALSE(valid("\xE2\x80"));           // truncated
  EXPECT_FALSE(valid("\x80"));               // stray continuation
  EXPECT_FALSE(valid("\xFF"));
}

}  // namespace
}  // namespace halvorine
