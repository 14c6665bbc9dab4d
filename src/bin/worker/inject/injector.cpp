#include "bin/worker/inject/injector.h"

#include <array>
#include <limits>

#include <fmt/format.h>

namespace halvorine {
namespace {

std::uint32_t button_flag(std::uint8_t button, bool pressed) {
  switch (button) {
    case 1:
      return pressed ? kMouseEventLeftDown : kMouseEventLeftUp;
    case 2:
      return pressed ? kMouseEventRightDown : kMouseEventRightUp;
    case 3:
      return pressed ? kMouseEventMiddleDown : kMouseEventMiddleUp;
    default:
      return 0;
  }
}

// scroll * WHEEL_DELTA; saturated so that a caller passing more than the wire's
// -128..127 cannot overflow.
std::int32_t wheel_amount(std::int32_t scroll) {
  const std::int64_t amount = std::int64_t{scroll} * kWheelDelta;
  if (amount > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
  if (amount < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(amount);
}

}  // namespace

KeyboardInput Injector::keyboard_input(const KeyCode& key, bool pressed) {
  const std::uint32_t flags = (key.extended ? kKeyEventExtendedKey : 0) | (pressed ? 0 : kKeyEventKeyUp);
  if (key.scan_code == 0 || key.scan_code >= pressed_with_.size()) {
    return {.virtual_key = key.virtual_key, .scan_code = 0, .flags = flags};
  }
  // No KEYEVENTF_SCANCODE: Windows then takes the virtual key as given and
  // passes the scan code on to the window, and so does Wine (which, with that
  // flag, delivers virtual key 0 and no character).
  std::uint16_t virtual_key = pressed_with_[key.scan_code];
  if (virtual_key == 0) virtual_key = sink_.layout_virtual_key(key.scan_code).value_or(key.virtual_key);
  return {.virtual_key = virtual_key, .scan_code = key.scan_code, .flags = flags};
}

void Injector::inject_key(std::string_view name, bool pressed) {
  const std::optional<KeyCode> key = lookup_key(name);
  if (!key) {
    keyboard_throttle_.write(log_, clock_, "key nemapat (ignorat)");
    return;
  }
  const InputRecord record = InputRecord::key(keyboard_input(*key, pressed));
  const SendOutcome outcome = sink_.send(std::span(&record, 1));
  if (record.keyboard.scan_code != 0) {
    // Held from a press that went in until its release (repeats included).
    std::uint16_t& pressed_with = pressed_with_[record.keyboard.scan_code];
    if (!pressed) {
      pressed_with = 0;
    } else if (outcome.inserted != 0) {
      pressed_with = record.keyboard.virtual_key;
    }
  }
  if (outcome.inserted == 0) {
    keyboard_throttle_.write(log_, clock_, fmt::format("SendInput(key) esuat: os_err={}", outcome.error));
  }
}

void Injector::inject_mouse(std::uint16_t x, std::uint16_t y, std::uint8_t button, bool pressed,
                            std::int32_t scroll) {
  std::array<InputRecord, 3> records;
  std::size_t count = 0;
  records[count++] = InputRecord::pointer(
      {.dx = x, .dy = y, .mouse_data = 0, .flags = kMouseEventMove | kMouseEventVirtualDesk | kMouseEventAbsolute});
  if (const std::uint32_t flag = button_flag(button, pressed); flag != 0) {
    records[count++] = InputRecord::pointer({.dx = x, .dy = y, .mouse_data = 0, .flags = flag});
  }
  if (scroll != 0) {
    records[count++] = InputRecord::pointer({.dx = 0, .dy = 0, .mouse_data = wheel_amount(scroll), .flags = kMouseEventWheel});
  }
  send_mouse(std::span(records.data(), count));
}

void Injector::release_button(std::uint8_t button) {
  const std::uint32_t flag = button_flag(button, false);
  if (flag == 0) return;
  const InputRecord record = InputRecord::pointer({.dx = 0, .dy = 0, .mouse_data = 0, .flags = flag});
  send_mouse(std::span(&record, 1));
}

void Injector::send_mouse(std::span<const InputRecord> records) {
  const std::size_t count = records.size();
  const SendOutcome outcome = sink_.send(records);
  if (outcome.inserted < count) {
    mouse_throttle_.write(log_, clock_,
                          fmt::format("SendInput(mouse) esuat: sent={}/{} os_err={}", outcome.inserted, count,
                                      outcome.error));
  }
}

}  // namespace halvorine
