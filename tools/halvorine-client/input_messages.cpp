#include "input_messages.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <type_traits>

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

// The integer `word` spells, when it lies in min..max.
template <typename T>
std::optional<T> parse_int(std::string_view word, long long min, long long max) {
  long long value = 0;
  const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
  if (word.empty() || error != std::errc() || end != word.data() + word.size()) return std::nullopt;
  if (value < min || value > max) return std::nullopt;
  return static_cast<T>(value);
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::expected<ClientMessage, std::string> parse_mouse(const std::vector<std::string_view>& words) {
  if (words.size() < 3) return std::unexpected("mouse needs X and Y: mouse X Y [button=N] [down|up] [scroll=N]");
  const auto x = parse_int<std::uint16_t>(words[1], 0, 65535), y = parse_int<std::uint16_t>(words[2], 0, 65535);
  if (!x || !y) return std::unexpected("mouse X and Y must be 0..65535");
  InputMessage message = InputMessage::mouse(*x, *y);
  for (std::size_t i = 3; i < words.size(); ++i) {
    const auto word = words[i];
    if (word == "down" || word == "up") {
      message.pressed = word == "down";
      continue;
    }
    const auto field = [&](std::string_view name, long long min, long long max, auto& out) {
      const auto value = parse_int<std::remove_reference_t<decltype(out)>>(word.substr(name.size()), min, max);
      if (value) out = *value;
      return value.has_value();
    };
    if (word.starts_with("button=")) {
      if (!field("button=", 0, 255, message.button)) return std::unexpected("button must be 0..255");
    } else if (word.starts_with("scroll=")) {
      if (!field("scroll=", -128, 127, message.scroll)) return std::unexpected("scroll must be -128..127");
    } else if (word.starts_with("unused=")) {
      if (!field("unused=", 0, 255, message.unused)) return std::unexpected("unused must be 0..255");
    } else {
      return std::unexpected(fmt::format("unknown mouse field '{}'", word));
    }
  }
  ClientMessage encoded;
  append_message(message, encoded.bytes);
  return encoded;
}

}  // namespace

void append_message(const InputMessage& message, std::vector<std::uint8_t>& out) {
  const auto pressed = static_cast<std::uint8_t>(message.pressed ? 1 : 0);
  if (message.kind == InputMessage::Kind::key) {
    const std::size_t size = message.key.size();
    out.insert(out.end(), {0x02, pressed, static_cast<std::uint8_t>(size >> 8), static_cast<std::uint8_t>(size)});
    out.insert(out.end(), message.key.begin(), message.key.end());
    return;
  }
  out.insert(out.end(), {0x01, static_cast<std::uint8_t>(message.x >> 8), static_cast<std::uint8_t>(message.x),
                         static_cast<std::uint8_t>(message.y >> 8), static_cast<std::uint8_t>(message.y),
                         message.button, pressed, message.unused, static_cast<std::uint8_t>(message.scroll)});
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
    ClientMessage encoded;
    append_message(InputMessage::key_event(words[1], words[2] == "down"), encoded.bytes);
    return encoded;
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
    const auto ms = words.size() == 2 ? parse_int<long long>(words[1], 0, 3'600'000) : std::nullopt;
    if (!ms) return std::unexpected("sleep needs milliseconds: sleep MS");
    return ClientMessage{{}, std::chrono::milliseconds(*ms)};
  }
  return std::unexpected(fmt::format("unknown message '{}' (key, mouse, hex, sleep)", kind));
}

}  // namespace halvorine::client
