#include "view/key_names.h"

#include <array>

namespace halvorine::client {
namespace {

// Set-1 scan codes without the extended bit, indexed by code.
constexpr std::array<std::string_view, 128> make_plain_table() {
  std::array<std::string_view, 128> t{};
  t[0x01] = "Escape";
  constexpr std::string_view digits[] = {"Digit1", "Digit2", "Digit3", "Digit4", "Digit5",
                                         "Digit6", "Digit7", "Digit8", "Digit9", "Digit0"};
  for (unsigned i = 0; i < 10; ++i) t[0x02 + i] = digits[i];
  t[0x0C] = "Minus";
  t[0x0D] = "Equal";
  t[0x0E] = "Backspace";
  t[0x0F] = "Tab";
  constexpr std::string_view top[] = {"KeyQ", "KeyW", "KeyE", "KeyR", "KeyT", "KeyY", "KeyU", "KeyI", "KeyO", "KeyP"};
  for (unsigned i = 0; i < 10; ++i) t[0x10 + i] = top[i];
  t[0x1A] = "BracketLeft";
  t[0x1B] = "BracketRight";
  t[0x1C] = "Enter";
  t[0x1D] = "ControlLeft";
  constexpr std::string_view home[] = {"KeyA", "KeyS", "KeyD", "KeyF", "KeyG", "KeyH", "KeyJ", "KeyK", "KeyL"};
  for (unsigned i = 0; i < 9; ++i) t[0x1E + i] = home[i];
  t[0x27] = "Semicolon";
  t[0x28] = "Quote";
  t[0x29] = "Backquote";
  t[0x2A] = "ShiftLeft";
  t[0x2B] = "Backslash";
  constexpr std::string_view bottom[] = {"KeyZ", "KeyX", "KeyC", "KeyV", "KeyB", "KeyN", "KeyM"};
  for (unsigned i = 0; i < 7; ++i) t[0x2C + i] = bottom[i];
  t[0x33] = "Comma";
  t[0x34] = "Period";
  t[0x35] = "Slash";
  t[0x36] = "ShiftRight";
  t[0x37] = "NumpadMultiply";
  t[0x38] = "AltLeft";
  t[0x39] = "Space";
  t[0x3A] = "CapsLock";
  constexpr std::string_view f1_to_f10[] = {"F1", "F2", "F3", "F4", "F5", "F6", "F7", "F8", "F9", "F10"};
  for (unsigned i = 0; i < 10; ++i) t[0x3B + i] = f1_to_f10[i];
  t[0x45] = "Pause";  // NumLock is the same code with the extended bit
  t[0x46] = "ScrollLock";
  t[0x47] = "Numpad7";
  t[0x48] = "Numpad8";
  t[0x49] = "Numpad9";
  t[0x4A] = "NumpadSubtract";
  t[0x4B] = "Numpad4";
  t[0x4C] = "Numpad5";
  t[0x4D] = "Numpad6";
  t[0x4E] = "NumpadAdd";
  t[0x4F] = "Numpad1";
  t[0x50] = "Numpad2";
  t[0x51] = "Numpad3";
  t[0x52] = "Numpad0";
  t[0x53] = "NumpadDecimal";
  t[0x57] = "F11";
  t[0x58] = "F12";
  t[0x59] = "NumpadEqual";
  constexpr std::string_view f13_to_f23[] = {"F13", "F14", "F15", "F16", "F17", "F18",
                                             "F19", "F20", "F21", "F22", "F23"};
  for (unsigned i = 0; i < 11; ++i) t[0x64 + i] = f13_to_f23[i];
  t[0x76] = "F24";
  t[0x7E] = "NumpadComma";
  return t;
}

// The same codes with the extended bit (sent after an E0 prefix).
constexpr std::array<std::string_view, 128> make_extended_table() {
  std::array<std::string_view, 128> t{};
  t[0x1C] = "NumpadEnter";
  t[0x1D] = "ControlRight";
  t[0x35] = "NumpadDivide";
  t[0x37] = "PrintScreen";
  t[0x38] = "AltRight";
  t[0x45] = "NumLock";
  t[0x47] = "Home";
  t[0x48] = "ArrowUp";
  t[0x49] = "PageUp";
  t[0x4B] = "ArrowLeft";
  t[0x4D] = "ArrowRight";
  t[0x4F] = "End";
  t[0x50] = "ArrowDown";
  t[0x51] = "PageDown";
  t[0x52] = "Insert";
  t[0x53] = "Delete";
  t[0x5B] = "MetaLeft";
  t[0x5C] = "MetaRight";
  t[0x5D] = "ContextMenu";
  return t;
}

constexpr auto kPlain = make_plain_table();
constexpr auto kExtended = make_extended_table();

}  // namespace

std::string_view scan_code_name(unsigned scan_code, bool extended) {
  if (scan_code >= kPlain.size()) return {};
  return extended ? kExtended[scan_code] : kPlain[scan_code];
}

}  // namespace halvorine::client
