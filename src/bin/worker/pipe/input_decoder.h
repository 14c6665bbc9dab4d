// Incremental decoder of the input pipe's byte stream.
//
// Pure and I/O-free: the server feeds it whatever the pipe delivered, in any
// split, and gets back one outcome at a time. The outcomes are exactly those
// of reading the protocol with exact-size reads (type byte, payload, key
// header, key name), so the server's messages do not depend on how the
// client's writes were split or joined.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "bin/worker/input_event.h"

namespace halvorine {

inline constexpr std::size_t kMaxKeyNameLength = 64;

class InputDecoder {
 public:
  enum class Outcome {
    need_more,  // every given byte was consumed; no message is complete
    event,      // event() holds a complete message; feed the rest again
    dropped,    // a key message with a name that is not UTF-8 was skipped
    violation,  // the connection must end; violation_message() says why
  };

  // Consumes bytes from the front of `input` up to the end of the next
  // complete message or protocol violation, and advances `input` past them.
  // After a violation the decoder consumes nothing more.
  Outcome feed(std::span<const std::uint8_t>& input);

  // The event of the last `event` outcome; moving it out is allowed.
  InputEvent& event() { return event_; }

  // The log line of the last `violation` outcome.
  const std::string& violation_message() const { return violation_; }

  // The log line for a read that failed (end of stream included) in the
  // decoder's current state; `error_text` is the error's display text.
  std::string read_failure_message(std::string_view error_text) const;

 private:
  enum class State { type_byte, mouse_payload, key_header, key_name, ended };

  State state_ = State::type_byte;
  std::array<std::uint8_t, 8> partial_{};  // mouse payload or key header so far
  std::size_t partial_size_ = 0;
  bool key_pressed_ = false;
  std::size_t key_length_ = 0;
  std::string key_name_;
  InputEvent event_;
  std::string violation_;
};

// The server's line for a mouse message, or empty for a pure move (button 0,
// scroll 0), which is never logged.
std::string mouse_log_line(const MouseEvent& mouse);

}  // namespace halvorine
