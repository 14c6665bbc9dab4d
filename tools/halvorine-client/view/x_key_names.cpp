#include "view/key_names.h"

#include <array>

namespace halvorine::client {
namespace {

// Indexed by X keycode (8..255); evdev code = keycode - 8.
constexpr std::array<std::string_view, 256> make_x_table() {
  std::array<std::string_view, 256> t{};
  t[9] = "Escape";
  constexpr std::string_view digits[] = {"Digit1", "Digit2", "Digit3", "Digit4", "Digit5",
                                         "Digit6", "Digit7", "Digit8", "Digit9", "Digit0"};
  for (unsigned i = 0; i < 10; ++i) t[10 + i] = digits[i];
  t[20] = "Minus";
  t[21] = "Equal";
  t[22] = "Backspace";
  t[23] = "Tab";
  constexpr std::string_view top[] = {"KeyQ", "KeyW", "KeyE", "KeyR", "KeyT", "KeyY", "KeyU", "KeyI", "KeyO", "KeyP"};
  for (unsigned i = 0; i < 10; ++i) t[24 + i] = top[i];
  t[34] = "BracketLeft";
  t[35] = "BracketRight";
  t[36] = "Enter";
  t[37] = "ControlLeft";
  constexpr std::string_view home[] = {"KeyA", "KeyS", "KeyD", "KeyF", "KeyG", "KeyH", "KeyJ", "KeyK", "KeyL"};
  for (unsigned i = 0; i < 9; ++i) t[38 + i] = home[i];
  t[47] = "Semicolon";
  t[48] = "Quote";
  t[49] = "Backquote";
  t[50] = "ShiftLeft";
  t[51] = "Backslash";
  constexpr std::string_view bottom[] = {"KeyZ", "KeyX", "KeyC", "KeyV", "KeyB", "KeyN", "KeyM"};
  for (unsigned i = 0; i < 7; ++i) t[52 + i] = bottom[i];
  t[59] = "Comma";
  t[60] = "Period";
  t[61] = "Slash";
  t[62] = "ShiftRight";
  t[63] = "NumpadMultiply";
  t[64] = "AltLeft";
  t[65] = "Space";
  t[66] = "CapsLock";
  constexpr std::string_view f1_to_f10[] = {"F1", "F2", "F3", "F4", "F5", "F6", "F7", "F8", "F9", "F10"};
  for (unsigned i = 0; i < 10; ++i) t[67 + i] = f1_to_f10[i];
  t[77] = "NumLock";
  t[78] = "ScrollLock";
  t[79] = "Numpad7";
  t[80] = "Numpad8";
  t[81] = "Numpad9";
  t[82] = "NumpadSubtract";
  t[83] = "Numpad4";
  t[84] = "Numpad5";
  t[85] = "Numpad6";
  t[86] = "NumpadAdd";
  t[87] = "Numpad1";
  t[88] = "Numpad2";
  t[89] = "Numpad3";
  t[90] = "Numpad0";
  t[91] = "NumpadDecimal";
  t[95] = "F11";
  t[96] = "F12";
  t[104] = "NumpadEnter";
  t[105] = "ControlRight";
  t[106] = "NumpadDivide";
  t[107] = "PrintScreen";
  t[108] = "AltRight";
  t[110] = "Home";
  t[111] = "ArrowUp";
  t[112] = "PageUp";
  t[113] = "ArrowLeft";
  t[114] = "ArrowRight";
  t[115] = "End";
  t[116] = "ArrowDown";
  t[117] = "PageDown";
  t[118] = "Insert";
  t[119] = "Delete";
  t[125] = "NumpadEqual";
  t[127] = "Pause";
  t[129] = "NumpadComma";
  t[133] = "MetaLeft";
  t[134] = "MetaRight";
  t[135] = "ContextMenu";
  constexpr std::string_view f13_to_f24[] = {"F13", "F14", "F15", "F16", "F17", "F18",
                                             "F19", "F20", "F21", "F22", "F23", "F24"};
  for (unsigned i = 0; i < 12; ++i) t[191 + i] = f13_to_f24[i];
  return t;
}

constexpr auto kXTable = make_x_table();

}  // namespace

std::string_view x_keycode_name(unsigned keycode) { return keycode < kXTable.size() ? kXTable[keycode] : std::string_view{}; }

}  // namespace halvorine::client
