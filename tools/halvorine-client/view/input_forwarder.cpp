#include "view/input_forwarder.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>


namespace halvorine::client {

InputForwarder::Position InputForwarder::normalise(int x, int y, int width, int height) {
  // The centre of the window's pixel, in 1/65536ths of the picture: the
  // worker's x * size / 65536 lands on the matching picture pixel.
  auto axis = [](int value, int size) -> std::uint16_t {
    if (size <= 0) return 0;
    const long long v = std::clamp(value, 0, size - 1);
    return static_cast<std::uint16_t>(std::min<long long>((2 * v + 1) * 65536 / (2LL * size), 65535));
  };
  return {axis(x, width), axis(y, height)};
}

void InputForwarder::send_mouse(Position at, std::uint8_t button, bool pressed, std::int8_t scroll) {
  send_(InputMessage::mouse(at.x, at.y, button, pressed, scroll));
}

void InputForwarder::handle(const WindowEvent& event, int width, int height) {
  using Kind = WindowEvent::Kind;
  switch (event.kind) {
    case Kind::move: {
      last_ = normalise(event.x, event.y, width, height);
      const auto now = clock_.monotonic_now();
      if (!last_move_sent_ || now - *last_move_sent_ >= kMoveInterval) {
        send_mouse(last_, 0, false, 0);
        last_move_sent_ = now;
        pending_move_.reset();
      } else {
        pending_move_ = last_;
      }
      return;
    }
    case Kind::button: {
      if (event.button < 1 || event.button > 3) return;
      last_ = normalise(event.x, event.y, width, height);
      pending_move_.reset();  // the button's message carries the position
      const unsigned bit = 1u << event.button;
      held_buttons_ = event.pressed ? held_buttons_ | bit : held_buttons_ & ~bit;
      send_mouse(last_, static_cast<std::uint8_t>(event.button), event.pressed, 0);
      return;
    }
    case Kind::wheel: {
      last_ = normalise(event.x, event.y, width, height);
      pending_move_.reset();
      const std::int8_t step = event.notches > 0 ? 1 : -1;
      for (int i = 0; i < std::min(std::abs(event.notches), 127); ++i) send_mouse(last_, 0, false, step);
      return;
    }
    case Kind::key: {
      if (event.key_name.empty()) {
        if (nameless_reported_.insert(event.key_code).second) {
          std::fprintf(stderr, "halvorine-client: the key with %s has no key name; it is not sent\n",
                       event.key_code_text.c_str());
        }
        return;
      }
      const auto held = std::find(held_keys_.begin(), held_keys_.end(), event.key_name);
      if (event.pressed && held == held_keys_.end()) held_keys_.push_back(event.key_name);
      if (!event.pressed && held != held_keys_.end()) held_keys_.erase(held);
      send_(InputMessage::key_event(event.key_name, event.pressed));
      return;
    }
    case Kind::focus_lost:
      release_all();
      return;
    case Kind::close:
    case Kind::redraw:
      return;
  }
}

void InputForwarder::tick() {
  if (!pending_move_) return;
  const auto now = clock_.monotonic_now();
  if (last_move_sent_ && now - *last_move_sent_ < kMoveInterval) return;
  send_mouse(*pending_move_, 0, false, 0);
  last_move_sent_ = now;
  pending_move_.reset();
}

std::optional<Clock::MonotonicTime> InputForwarder::next_tick() const {
  if (!pending_move_ || !last_move_sent_) return std::nullopt;
  return *last_move_sent_ + kMoveInterval;
}

void InputForwarder::release_all() {
  for (auto name = held_keys_.rbegin(); name != held_keys_.rend(); ++name) {
    send_(InputMessage::key_event(*name, false));
  }
  held_keys_.clear();
  for (std::uint8_t button = 1; button <= 3; ++button) {
    if ((held_buttons_ & (1u << button)) != 0) send_mouse(last_, button, false, 0);
  }
  held_buttons_ = 0;
}

}  // namespace halvorine::client
