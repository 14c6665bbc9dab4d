#include "input_messages.h"

#include <algorithm>
#include <charconv>

#include <fmt/format.h>

namespace halvorine::client {
namespace {

std::vector<std::string_view> split_words(std::string_view text) {
  std::vector<std::string_view> words;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const auto start = text.find_first_not_of(" \t\r\n", pos);
    if (start == std::string_view::npos) break;
    auto end = text.find_first_of(" \t\r\n", start);
    if (end == std::string_view::npos) end = text.size();
    words.push_back(text.substr(start, end - start));
    pos = end;
  }
  return words;
}

template <typename T>
bool parse_int(std::string_view word, long long min, long long max, T& out) {
  long long value = 0;
  const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
  if (word.empty() || error != std::errc() || end != word.data() + word.size()) return false;
  if (value < min || value > max) return false;
  out = static_cast<T>(value);
  return true;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::expected<ClientMessage, std::string> parse_mouse(const std::vector<std::string_view>& words) {
  if (words.size() < 3) return std::unexpected("mouse needs X and Y: mouse X Y [button=N] [down|up] [scroll=N]");
  std::uint16_t x = 0, y = 0;
  if (!parse_int(words[1], 0, 65535, x) || !parse_int(words[2], 0, 65535, y)) {
    return std::unexpected("mouse X and Y must be 0..65535");
  }
  std::uint8_t button = 0, unused = 0;
  std::int8_t scroll = 0;
  bool pressed = false;
  for (std::size_t i = 3; i < words.size(); ++i) {
    const auto word = words[i];
    if (word == "down") {
      pressed = true;
    } else if (word == "up") {
      pressed = false;
    } else if (word.starts_with("button=")) {
      if (!parse_int(word.substr(7), 0, 255, button)) return std::unexpected("button must be 0..255");
    } else if (word.starts_with("scroll=")) {
      if (!parse_int(word.substr(7), -128, 127, scroll)) return std::unexpected("scroll must be -128..127");
    } else if (word.starts_with("unused=")) {
      if (!parse_int(word.substr(7), 0, 255, unused)) return std::unexpected("unused must be 0..255");
    } else {
      return std::unexpected(fmt::format("unknown mouse field '{}'", word));
    }
  }
  return ClientMessage{encode_mouse(x, y, button, pressed, scroll, unused)};
}

}  // namespace

std::vector<std::uint8_t> encode_key(std::string_view name, bool pressed) {
  std::vector<std::uint8_t> bytes(4 + name.size());
  bytes[0] = 0x02;
  bytes[1] = pressed ? 1 : 0;
  bytes[2] = static_cast<std::uint8_t>(name.size() >> 8);
  bytes[3] = static_cast<std::uint8_t>(name.size());
  std::copy(name.begin(), name.end(), bytes.begin() + 4);
  return bytes;
}

std::vector<std::uint8_t> encode_mouse(std::uint16_t x, std::uint16_t y, std::uint8_t button,
                                       bool pressed, std::int8_t scroll, std::uint8_t unused) {
  return {0x01,
          static_cast<std::uint8_t>(x >> 8),
          static_cast<std::uint8_t>(x),
          static_cast<std::uint8_t>(y >> 8),
          static_cast<std::uint8_t>(y),
          button,
          static_cast<std::uint8_t>(pressed ? 1 : 0),
          unused,
          static_cast<std::uint8_t>(scroll)};
}

std::expected<ClientMessage, std::string> parse_client_message(std::string_view text) {
  const auto words = split_words(text);
  if (words.empty()) return std::unexpected("empty message");
  const auto kind = words[0];
  if (kind == "key") {
    if (words.size() != 3 || (words[2] != "down" && words[2] != "up")) {
      return std::unexpected("key needs a name and down|up: key NAME down|up");
    }
    if (words[1].size() > 0xFFFF) return std::unexpected("key name too long");
    return ClientMessage{encode_key(words[1], words[2] == "down")};
  }
  if (kind == "mouse") return parse_mouse(words);
  if (kind == "hex") {
    std::string digits;
    for (std::size_t i = 1; i < words.size(); ++i) digits.append(words[i]);
    if (digits.size() % 2 != 0) return std::unexpected("hex needs an even number of digits");
    ClientMessage message;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
      const int high = hex_digit(digits[i]), low = hex_digit(digits[i + 1]);
      if (high < 0 || low < 0) return std::unexpected(fmt::format("not a hex byte: '{}'", digits.substr(i, 2)));
      message.bytes.push_back(static_cast<std::uint8_t>(high << 4 | low));
    }
    return message;
  }
  if (kind == "sleep") {
    long long ms = 0;
    if (words.size() != 2 || !parse_int(words[1], 0, 3'600'000, ms)) {
      return std::unexpected("sleep needs milliseconds: sleep MS");
    }
    return ClientMessage{{}, std::chrono::milliseconds(ms)};
  }
  return std::unexpected(fmt::format("unknown message '{}' (key, mouse, hex, sleep)", kind));
}

}  // namespace halvorine::client
