#include "bin/worker/pipe/input_decoder.h"

#include <algorithm>
#include <cstring>

#include <fmt/format.h>

#include "common/utf16.h"

namespace halvorine {
namespace {

constexpr std::uint8_t kTypeMouse = 0x01;
constexpr std::uint8_t kTypeKey = 0x02;
constexpr std::size_t kMousePayloadSize = 8;
constexpr std::size_t kKeyHeaderSize = 3;

MouseEvent decode_mouse(const std::array<std::uint8_t, 8>& bytes) {
  MouseEvent mouse;
  mouse.x = static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
  mouse.y = static_cast<std::uint16_t>(bytes[2] << 8 | bytes[3]);
  mouse.button = bytes[4];
  mouse.pressed = bytes[5] != 0;
  // bytes[6] is unused by the protocol.
  mouse.scroll = static_cast<std::int8_t>(bytes[7]);
  return mouse;
}

}  // namespace

InputDecoder::Outcome InputDecoder::feed(std::span<const std::uint8_t>& input) {
  // Copies up to `wanted` bytes into partial_; true when it is complete.
  auto fill_partial = [&](std::size_t wanted) {
    const std::size_t take = std::min(wanted - partial_size_, input.size());
    std::memcpy(partial_.data() + partial_size_, input.data(), take);
    partial_size_ += take;
    input = input.subspan(take);
    return partial_size_ == wanted;
  };

  while (!input.empty()) {
    switch (state_) {
      case State::type_byte: {
        const std::uint8_t type = input.front();
        input = input.subspan(1);
        partial_size_ = 0;
        if (type == kTypeMouse) {
          state_ = State::mouse_payload;
        } else if (type == kTypeKey) {
          state_ = State::key_header;
        } else {
          state_ = State::ended;
          violation_ = fmt::format("unknown type byte {:#04x} — closing connection", type);
          return Outcome::violation;
        }
        break;
      }
      case State::mouse_payload:
        if (!fill_partial(kMousePayloadSize)) return Outcome::need_more;
        state_ = State::type_byte;
        event_ = decode_mouse(partial_);
        return Outcome::event;
      case State::key_header:
        if (!fill_partial(kKeyHeaderSize)) return Outcome::need_more;
        key_pressed_ = partial_[0] != 0;
        key_length_ = static_cast<std::size_t>(partial_[1] << 8 | partial_[2]);
        if (key_length_ > kMaxKeyNameLength) {
          // The name is not read: the connection ends here.
          state_ = State::ended;
          violation_ = fmt::format("key_len {} exceeds 64 — aborting", key_length_);
          return Outcome::violation;
        }
        // The one allocation of a key message: the name, sized exactly.
        key_name_ = std::string();
        key_name_.reserve(key_length_);
        state_ = State::key_name;
        break;
      case State::key_name: {
        const std::size_t take = std::min(key_length_ - key_name_.size(), input.size());
        key_name_.append(reinterpret_cast<const char*>(input.data()), take);
        input = input.subspan(take);
        break;
      }
      case State::ended:
        return Outcome::violation;
    }
    // A key name completes here, also when it is empty and no byte follows.
    if (state_ == State::key_name && key_name_.size() == key_length_) {
      state_ = State::type_byte;
      const auto* bytes = reinterpret_cast<const std::uint8_t*>(key_name_.data());
      if (!is_valid_utf8(std::span(bytes, key_name_.size()))) return Outcome::dropped;
      event_ = KeyEvent{std::move(key_name_), key_pressed_};
      return Outcome::event;
    }
  }
  return state_ == State::ended ? Outcome::violation : Outcome::need_more;
}

std::string InputDecoder::read_failure_message(std::string_view error_text) const {
  switch (state_) {
    case State::type_byte:
    case State::ended:
      return fmt::format("read type byte error: {}", error_text);
    case State::mouse_payload:
      return "read mouse payload error";
    case State::key_header:
      return "read key header error";
    case State::key_name:
      return "read key bytes error";
  }
  return fmt::format("read type byte error: {}", error_text);
}

std::string mouse_log_line(const MouseEvent& mouse) {
  if (mouse.button == 0 && mouse.scroll == 0) return {};
  return fmt::format("MOUSE recv nx={} ny={} → inject abs_x={} abs_y={} btn={} pressed={} scroll={}",
                     mouse.x, mouse.y, mouse.x, mouse.y, mouse.button, mouse.pressed, mouse.scroll);
}

}  // namespace halvorine
