// UTF-16 <-> UTF-8 conversion used for names that Windows hands out as UTF-16
// (desktop names, error messages) and for the wide strings Win32 takes.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace halvorine {

// Decodes all of `units`; an unpaired surrogate becomes U+FFFD.
std::string utf16_to_utf8_lossy(std::u16string_view units);

// Decodes the units before the first NUL (all of them when there is none).
std::string utf16_until_nul_to_utf8_lossy(std::span<const char16_t> units);

// Encodes valid UTF-8 as UTF-16; ill-formed sequences become U+FFFD.
std::u16string utf8_to_utf16(std::string_view text);

// True when `bytes` is well-formed UTF-8 (no overlongs, no surrogates, <= U+10FFFF).
bool is_valid_utf8(std::span<const std::uint8_t> bytes);

}  // namespace halvorine
