// The seam to the platform's input stream (SendInput on Windows, XTest on
// Linux). Records mirror the keyboard and mouse members of Windows' INPUT;
// time and extra information are always 0 and so are not carried. A keyboard
// record with a scan code names the physical key as well as a virtual key:
// Windows passes both on to the window, X presses that physical key.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace halvorine {

inline constexpr std::uint32_t kKeyEventExtendedKey = 0x0001;  // KEYEVENTF_EXTENDEDKEY
inline constexpr std::uint32_t kKeyEventKeyUp = 0x0002;        // KEYEVENTF_KEYUP

inline constexpr std::uint32_t kMouseEventMove = 0x0001;         // MOUSEEVENTF_MOVE
inline constexpr std::uint32_t kMouseEventLeftDown = 0x0002;     // MOUSEEVENTF_LEFTDOWN
inline constexpr std::uint32_t kMouseEventLeftUp = 0x0004;       // MOUSEEVENTF_LEFTUP
inline constexpr std::uint32_t kMouseEventRightDown = 0x0008;    // MOUSEEVENTF_RIGHTDOWN
inline constexpr std::uint32_t kMouseEventRightUp = 0x0010;      // MOUSEEVENTF_RIGHTUP
inline constexpr std::uint32_t kMouseEventMiddleDown = 0x0020;   // MOUSEEVENTF_MIDDLEDOWN
inline constexpr std::uint32_t kMouseEventMiddleUp = 0x0040;     // MOUSEEVENTF_MIDDLEUP
inline constexpr std::uint32_t kMouseEventWheel = 0x0800;        // MOUSEEVENTF_WHEEL
inline constexpr std::uint32_t kMouseEventVirtualDesk = 0x4000;  // MOUSEEVENTF_VIRTUALDESK
inline constexpr std::uint32_t kMouseEventAbsolute = 0x8000;     // MOUSEEVENTF_ABSOLUTE
inline constexpr std::int32_t kWheelDelta = 120;                 // WHEEL_DELTA

enum class InputType : std::uint32_t { mouse = 0, keyboard = 1 };  // INPUT_MOUSE, INPUT_KEYBOARD

struct MouseInput {
  std::int32_t dx = 0;
  std::int32_t dy = 0;
  std::int32_t mouse_data = 0;  // wheel amount, signed (a DWORD on Windows)
  std::uint32_t flags = 0;
  friend bool operator==(const MouseInput&, const MouseInput&) = default;
};

struct KeyboardInput {
  std::uint16_t virtual_key = 0;
  std::uint16_t scan_code = 0;
  std::uint32_t flags = 0;
  friend bool operator==(const KeyboardInput&, const KeyboardInput&) = default;
};

// One input record; only the member that `type` names is meaningful.
struct InputRecord {
  InputType type = InputType::mouse;
  MouseInput mouse;
  KeyboardInput keyboard;

  static constexpr InputRecord key(KeyboardInput input) { return {InputType::keyboard, {}, input}; }
  static constexpr InputRecord pointer(MouseInput input) { return {InputType::mouse, input, {}}; }
  friend bool operator==(const InputRecord&, const InputRecord&) = default;
};

struct SendOutcome {
  std::uint32_t inserted = 0;  // records that entered the input stream, in order
  std::int32_t error = 0;      // the platform's error code when inserted < count; else unspecified
};

// Inserts records into the input stream of the desktop (display) the calling
// thread is attached to. Used only by the injection thread.
class InputSink {
 public:
  virtual ~InputSink() = default;
  virtual SendOutcome send(std::span<const InputRecord> records) = 0;
  // Whether the desktop the thread is attached to has the key or button of
  // `virtual_key` down (the buttons as VK_LBUTTON 0x01, VK_RBUTTON 0x02,
  // VK_MBUTTON 0x04). A backend that cannot tell says false.
  virtual bool is_down(std::uint16_t virtual_key) = 0;
  // The virtual key (1..254) that the keyboard layout in force on the
  // attached desktop, its foreground thread's, gives the physical key with
  // set-1 scan code `scan_code`. nullopt when that layout cannot be read (no
  // foreground window, a desktop switch under way) or gives the key none; the
  // caller then keeps its own virtual key. A platform whose input stream maps
  // physical keys itself (X: the server's map) has nothing to say here.
  virtual std::optional<std::uint16_t> layout_virtual_key(std::uint16_t /*scan_code*/) { return std::nullopt; }
};

}  // namespace halvorine
