#include "bin/worker/inject/host/x_input_sink.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <utility>

#include "bin/worker/inject/host/virtual_key_keysyms.h"
#include "common/physical_keys.h"

namespace halvorine {
namespace {

constexpr unsigned kLeftButton = 1;
constexpr unsigned kMiddleButton = 2;
constexpr unsigned kRightButton = 3;
constexpr unsigned kWheelUpButton = 4;
constexpr unsigned kWheelDownButton = 5;

// 0..65535 across the screen, as Windows maps its normalised coordinates.
int scale(std::int32_t normalised, int extent) {
  return static_cast<int>((static_cast<std::int64_t>(normalised) * extent) >> 16);
}

// The X keycode of the physical key with set-1 scan code `scan_code` (not
// extended), from the key table: evdev numbers the keys beyond the main
// block apart from their scan codes. 0 when the table has no such key or the
// display no such keycode.
unsigned physical_keycode(Display* display, std::uint16_t scan_code) {
  const PhysicalKey* key = find_key_by_scan_code(scan_code, false);
  if (key == nullptr) return 0;
  int min_keycode = 0, max_keycode = 0;
  XDisplayKeycodes(display, &min_keycode, &max_keycode);
  const int keycode = key->x_keycode;
  return keycode >= min_keycode && keycode <= max_keycode ? static_cast<unsigned>(keycode) : 0;
}

int replay_mouse(XDisplayConnection& connection, const MouseInput& mouse) {
  Display* display = connection.get();
  // Each request goes out only while the connection stands (see x_display.h).
  const auto usable = [&connection] { return !connection.lost(); };
  bool ok = true;
  if (mouse.flags & kMouseEventMove) {
    if (mouse.flags & kMouseEventAbsolute) {
      const int screen = DefaultScreen(display);
      ok = ok && usable() &&
           XTestFakeMotionEvent(display, screen, scale(mouse.dx, DisplayWidth(display, screen)),
                                scale(mouse.dy, DisplayHeight(display, screen)), CurrentTime);
    } else {
      ok = ok && usable() && XTestFakeRelativeMotionEvent(display, mouse.dx, mouse.dy, CurrentTime);
    }
  }
  const struct {
    std::uint32_t flag;
    unsigned button;
    Bool press;
  } kButtons[] = {
      {kMouseEventLeftDown, kLeftButton, True},     {kMouseEventLeftUp, kLeftButton, False},
      {kMouseEventRightDown, kRightButton, True},   {kMouseEventRightUp, kRightButton, False},
      {kMouseEventMiddleDown, kMiddleButton, True}, {kMouseEventMiddleUp, kMiddleButton, False},
  };
  for (const auto& entry : kButtons) {
    if (mouse.flags & entry.flag) {
      ok = ok && usable() && XTestFakeButtonEvent(display, entry.button, entry.press, CurrentTime);
    }
  }
  if ((mouse.flags & kMouseEventWheel) && mouse.mouse_data != 0) {
    // Positive amounts turn the wheel away from the user: X's button 4.
    const unsigned button = mouse.mouse_data > 0 ? kWheelUpButton : kWheelDownButton;
    const std::int64_t amount = std::abs(static_cast<std::int64_t>(mouse.mouse_data));
    const std::int64_t steps = std::max<std::int64_t>(1, amount / kWheelDelta);
    for (std::int64_t i = 0; i < steps && ok; ++i) {
      ok = usable() && XTestFakeButtonEvent(display, button, True, CurrentTime) && usable() &&
           XTestFakeButtonEvent(display, button, False, CurrentTime);
    }
  }
  return ok ? 0 : EINVAL;
}

}  // namespace

// Replays one record; 0 on success, else an errno value. A record with a
// scan code presses that physical key, so the display's map decides the
// character; any other goes by the keysym of its virtual key.
int XInputSink::replay_keyboard(XDisplayConnection& connection, const KeyboardInput& key) {
  Display* display = connection.get();
  const bool extended = (key.flags & kKeyEventExtendedKey) != 0;
  const Bool press = (key.flags & kKeyEventKeyUp) == 0;
  if (key.scan_code != 0 && !extended) {
    const unsigned keycode = physical_keycode(display, key.scan_code);
    if (keycode == 0) return EINVAL;
    return XTestFakeKeyEvent(display, keycode, press, CurrentTime) ? 0 : EINVAL;
  }
  const KeySym keysym = keysym_for_virtual_key(key.virtual_key, extended);
  if (keysym == 0 || key.virtual_key > 0xFF) return EINVAL;
  std::uint8_t& held_on = held_on_[key.virtual_key | (extended ? 0x100u : 0u)];
  if (!press && held_on != 0) {
    // Released where it went down, whatever the map says now.
    const unsigned keycode = std::exchange(held_on, 0);
    return XTestFakeKeyEvent(display, keycode, False, CurrentTime) ? 0 : EINVAL;
  }
  const unsigned keycode = connection.keycode_for(keysym);
  if (keycode == 0) return ENOKEY;
  if (press && held_on != 0 && held_on != keycode) {
    // A repeat after the map moved the keysym: the old keycode goes up first.
    if (!XTestFakeKeyEvent(display, held_on, False, CurrentTime) || connection.lost()) return EINVAL;
  }
  if (!XTestFakeKeyEvent(display, keycode, press, CurrentTime)) return EINVAL;
  held_on = press ? static_cast<std::uint8_t>(keycode) : 0;
  return 0;
}

SendOutcome XInputSink::send(std::span<const InputRecord> records) {
  const auto& connection = attachment_->connection;
  if (!attachment_->attached || !connection || connection->lost()) return {0, ENOTCONN};
  Display* display = connection->get();
  SendOutcome outcome;
  for (const InputRecord& record : records) {
    const int error = record.type == InputType::keyboard ? replay_keyboard(*connection, record.keyboard)
                                                         : replay_mouse(*connection, record.mouse);
    // A request that found the server gone ends the batch: the Display must
    // not be used again.
    if (connection->lost()) return {0, ENOTCONN};
    if (error != 0) {
      outcome.error = error;
      break;
    }
    ++outcome.inserted;
  }
  XFlush(display);
  if (connection->lost()) return {0, ENOTCONN};
  return outcome;
}

void bind_numpad_keysyms(XDisplayConnection& connection) { connection.prepare_keycodes(numpad_keysyms()); }

}  // namespace halvorine
