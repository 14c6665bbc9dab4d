// The view's input forwarder on the fake clock: window positions to the
// pipe's 0..65535 over the picture, moves at most one per 8 ms (the newest
// position goes when the time comes), and what is held released when the
// window loses the keyboard.
#include "view/input_forwarder.h"

#include <gtest/gtest.h>

#include <ostream>
#include <vector>

#include "fake_clock.h"

namespace halvorine::client {

void PrintTo(const InputMessage& message, std::ostream* out) {
  if (message.kind == InputMessage::Kind::key) {
    *out << "key " << message.key << (message.pressed ? " down" : " up");
  } else {
    *out << "mouse " << message.x << "," << message.y << " button " << int{message.button}
         << (message.pressed ? " down" : " up") << " scroll " << int{message.scroll};
  }
}

namespace {

using Kind = WindowEvent::Kind;
using Messages = std::vector<InputMessage>;

WindowEvent pointer(Kind kind, int x, int y, int button = 0, bool pressed = false) {
  WindowEvent event;
  event.kind = kind;
  event.x = x;
  event.y = y;
  event.button = button;
  event.pressed = pressed;
  return event;
}
WindowEvent key(std::string_view name, bool pressed) {
  WindowEvent event;
  event.kind = Kind::key;
  event.key_name = name;
  event.pressed = pressed;
  return event;
}
WindowEvent wheel(int x, int y, int notches) {
  WindowEvent event = pointer(Kind::wheel, x, y);
  event.notches = notches;
  return event;
}
WindowEvent of(Kind kind) {
  WindowEvent event;
  event.kind = kind;
  return event;
}
InputMessage mouse(std::uint16_t x, std::uint16_t y, std::uint8_t button = 0, bool pressed = false,
                   std::int8_t scroll = 0) {
  return InputMessage::mouse(x, y, button, pressed, scroll);
}
InputMessage key_message(std::string_view name, bool pressed) { return InputMessage::key_event(name, pressed); }

TEST(InputForwarder, MapsCoalescesAndReleasesOnFocusLoss) {
  struct Step {
    int after_ms;  // the fake clock moves on first
    WindowEvent event;
    Messages sent;  // by handle() and the tick() after it
  };
  // A 1280x720 client area: pixel centres to 1/65536ths of the picture.
  const Step steps[] = {
      {0, pointer(Kind::move, 0, 0), {mouse(25, 45)}},
      {3, pointer(Kind::move, 100, 100), {}},  // within 8 ms: waits
      {3, pointer(Kind::move, 639, 359), {}},  // replaces the waiting one
      {2, of(Kind::redraw), {mouse(32742, 32722)}},  // 8 ms on: the newest goes
      {1, pointer(Kind::move, 2000, -5), {}},  // outside the window: clamped, waits
      {1, pointer(Kind::button, 1279, 719, 1, true), {mouse(65510, 65490, 1, true)}},  // carries the position
      {20, of(Kind::redraw), {}},  // the waiting move went with the button
      {0, key("ShiftLeft", true), {key_message("ShiftLeft", true)}},
      {0, key("KeyA", true), {key_message("KeyA", true)}},
      {0, key("KeyA", true), {key_message("KeyA", true)}},  // a repeat: still held once
      {0, key("", true), {}},  // a key without a name is not sent
      {0, wheel(100, 100, -2), {mouse(5145, 9147, 0, false, -1), mouse(5145, 9147, 0, false, -1)}},
      {0, wheel(100, 100, 1), {mouse(5145, 9147, 0, false, 1)}},
      {0, pointer(Kind::button, 100, 100, 4, true), {}},  // not a wire button
      {0, of(Kind::focus_lost),
       {key_message("KeyA", false), key_message("ShiftLeft", false), mouse(5145, 9147, 1, false)}},
      {0, of(Kind::focus_lost), {}},  // nothing held any more
      {0, pointer(Kind::move, 0, 0), {mouse(25, 45)}},  // 8 ms since the last move: at once
  };
  testing::FakeClock clock;
  Messages sent;
  InputForwarder forwarder(clock, [&](const InputMessage& message) { sent.push_back(message); });
  int number = 0;
  for (const Step& step : steps) {
    ++number;
    clock.advance(std::chrono::milliseconds(step.after_ms));
    forwarder.handle(step.event, 1280, 720);
    forwarder.tick();
    EXPECT_EQ(sent, step.sent) << "step " << number;
    sent.clear();
  }
}

TEST(InputForwarder, TellsWhenAWaitingMoveIsDue) {
  testing::FakeClock clock;
  InputForwarder forwarder(clock, [](const InputMessage&) {});
  EXPECT_EQ(forwarder.next_tick(), std::nullopt);
  const auto start = clock.monotonic_now();
  forwarder.handle(pointer(Kind::move, 1, 1), 10, 10);
  forwarder.handle(pointer(Kind::move, 2, 2), 10, 10);
  EXPECT_EQ(forwarder.next_tick(), start + kMoveInterval);
  clock.advance(kMoveInterval);
  forwarder.tick();
  EXPECT_EQ(forwarder.next_tick(), std::nullopt);
}

}  // namespace
}  // namespace halvorine::client
