// What a view window reports to the view's loop, in the window's terms.
#pragma once

#include <string>
#include <string_view>

namespace halvorine::client {

struct WindowEvent {
  enum class Kind {
    close,       // the user closed the window, or the program is told to end
    move,        // the pointer moved to (x, y)
    button,      // button 1 left, 2 right, 3 middle (the wire's numbers)
    wheel,       // `notches` of the wheel, positive away from the user
    key,         // a physical key: its name, empty when it has none
    focus_lost,  // the window no longer receives the keyboard
    redraw,      // the window's content must be drawn again
  };
  Kind kind = Kind::close;
  int x = 0;  // pointer position in the window's client area, in pixels
  int y = 0;
  int button = 0;
  bool pressed = false;
  int notches = 0;
  std::string_view key_name;  // static text from the key-name tables
  unsigned key_code = 0;      // the platform's code, to report a key without a name
  std::string key_code_text;  // that code as the user knows it (filled only when nameless)
};

}  // namespace halvorine::client
