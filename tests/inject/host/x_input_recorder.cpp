// Test peer for the Linux end-to-end test: a window covering the X screen that
// takes the keyboard focus and appends what reaches it to a file, one line
// per event, flushed at once:
//   ready
//   key press|release KEYCODE KEYSYM0 KEYSYM1     (keysyms of levels 0 and 1)
//   text TEXT                                    (after a press that types printable text)
//   button press|release BUTTON X Y              (root coordinates)
//   motion N                                      (pointer motions since the last line,
//                                                  written before a key or button line)
// The server's auto-repeat of a held key is not written: the checks are about
// the presses and releases the worker sends, however long a loaded machine
// holds a key. Runs until killed.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace {

const char* keysym_name(XKeyEvent& event, int index) {
  const KeySym keysym = XLookupKeysym(&event, index);
  const char* name = keysym == NoSymbol ? nullptr : XKeysymToString(keysym);
  return name ? name : "NoSymbol";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: x_input_recorder OUTPUT_FILE\n");
    return 2;
  }
  // A display busy with another test's clients has been seen to refuse a
  // connection: try again for a while.
  Display* display = XOpenDisplay(nullptr);
  for (int attempt = 0; !display && attempt < 100; ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    display = XOpenDisplay(nullptr);
  }
  if (!display) {
    std::fprintf(stderr, "x_input_recorder: cannot open display (%s)\n", XDisplayName(nullptr));
    return 1;
  }
  std::FILE* out = std::fopen(argv[1], "w");
  if (!out) return 1;
  const int screen = DefaultScreen(display);
  const Window window =
      XCreateSimpleWindow(display, RootWindow(display, screen), 0, 0, DisplayWidth(display, screen),
                          DisplayHeight(display, screen), 0, BlackPixel(display, screen), WhitePixel(display, screen));
  XSelectInput(display, window,
               KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask |
                   StructureNotifyMask);
  XMapRaised(display, window);
  unsigned long long motions = 0;
  XkbSetDetectableAutoRepeat(display, True, nullptr);  // a repeat is then a press of a key already down
  bool down[256] = {};
  auto report_motions = [&] {
    if (motions > 0) std::fprintf(out, "motion %llu\n", motions);
    motions = 0;
  };
  for (;;) {
    XEvent event;
    XNextEvent(display, &event);
    switch (event.type) {
      case MotionNotify:
        ++motions;  // counted, not written: floods move the pointer millions of times
        continue;
      case MapNotify:
        XSetInputFocus(display, window, RevertToParent, CurrentTime);
        XSync(display, False);
        std::fprintf(out, "ready\n");
        break;
      case MappingNotify:  // the worker may bind keysyms to free keycodes
        XRefreshKeyboardMapping(&event.xmapping);
        break;
      case KeyPress:
      case KeyRelease:
        if (event.type == KeyPress && down[event.xkey.keycode & 0xFF]) break;
        down[event.xkey.keycode & 0xFF] = event.type == KeyPress;
        report_motions();
        if (XLookupKeysym(&event.xkey, 0) == NoSymbol) {
          // The server can deliver the first press of a keycode bound just
          // before it ahead of the binding's MappingNotify (seen on Xvfb):
          // look again in the map as the server has it now.
          XMappingEvent refresh{};
          refresh.type = MappingNotify;
          refresh.display = display;
          refresh.request = MappingKeyboard;
          refresh.first_keycode = static_cast<int>(event.xkey.keycode);
          refresh.count = 1;
          XRefreshKeyboardMapping(&refresh);
        }
        std::fprintf(out, "key %s %u %s %s\n", event.type == KeyPress ? "press" : "release", event.xkey.keycode,
                     keysym_name(event.xkey, 0), keysym_name(event.xkey, 1));
        if (event.type == KeyPress) {
          // What the key types with the modifiers and locks in force.
          char text[16];
          const int length = XLookupString(&event.xkey, text, sizeof text - 1, nullptr, nullptr);
          text[length > 0 ? length : 0] = '\0';
          if (length > 0 && static_cast<unsigned char>(text[0]) > ' ' && text[0] != 0x7F) {
            std::fprintf(out, "text %s\n", text);
          }
        }
        break;
      case ButtonPress:
      case ButtonRelease:
        report_motions();
        std::fprintf(out, "button %s %u %d %d\n", event.type == ButtonPress ? "press" : "release",
                     event.xbutton.button, event.xbutton.x_root, event.xbutton.y_root);
        break;
      default:
        break;
    }
    std::fflush(out);
  }
}
