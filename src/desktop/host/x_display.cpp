#include "desktop/host/x_display.h"

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <mutex>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
// Last: LockDisplay, for the exit handler below; it also defines min and max.
#include <X11/Xlibint.h>
#undef min
#undef max

namespace halvorine {
namespace {

// Xlib's default handler for protocol errors ends the process; the worker
// must not die because the X server refused one request.
int ignore_protocol_error(Display*, XErrorEvent*) { return 0; }

// Xlib's default handler for a broken connection ends the process too. This
// one returns, so Xlib goes on to the connection's exit handler.
int note_io_error(Display*) { return 0; }

// Xlib releases the display lock before it calls the exit handler, and the
// request that found the connection broken releases it again once this
// returns: a second unlock of the same mutex. Taking the lock here keeps it
// balanced for that unwinding; nothing uses the Display afterwards.
void on_connection_lost(Display* display, void* lost) {
  static_cast<std::atomic<bool>*>(lost)->store(true, std::memory_order_relaxed);
  LockDisplay(display);
}

// Keypad keysyms that X may put on a NumLock level; Windows types them
// whatever NumLock's state.
bool is_keypad(unsigned long keysym) { return IsKeypadKey(keysym) != 0; }

}  // namespace

void watch_connection_loss(Display* display, std::atomic<bool>* lost) {
  static std::once_flag handlers_installed;
  std::call_once(handlers_installed, [] {
    XSetErrorHandler(ignore_protocol_error);
    XSetIOErrorHandler(note_io_error);
  });
  XSetIOErrorExitHandler(display, on_connection_lost, lost);
}

void close_lost_display(Display* display) { close(ConnectionNumber(display)); }

std::shared_ptr<XDisplayConnection> XDisplayConnection::open() {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return nullptr;
  return std::shared_ptr<XDisplayConnection>(new XDisplayConnection(display));
}

XDisplayConnection::XDisplayConnection(Display* display) : display_(display) {
  watch_connection_loss(display_, &lost_);
  name_atom_ = XInternAtom(display_, "_HALVORINE_DESKTOP", False);
}

XDisplayConnection::~XDisplayConnection() {
  // A binding is undone only while the keycode still holds our keysym alone:
  // someone else may have remapped it since.
  for (const Binding& binding : bindings_) {
    if (lost()) break;
    int per_keycode = 0;
    KeySym* row = XGetKeyboardMapping(display_, static_cast<KeyCode>(binding.keycode), 1, &per_keycode);
    if (lost()) {
      if (row) XFree(row);
      break;
    }
    // The server repeats a lone keysym for other groups: any keysym but ours
    // means someone else has the keycode now.
    const bool ours = row && per_keycode > 0 && row[0] == binding.keysym &&
                      std::all_of(row, row + per_keycode, [&binding](KeySym sym) {
                        return sym == NoSymbol || sym == binding.keysym;
                      });
    if (row) XFree(row);
    if (!ours) continue;
    KeySym none = NoSymbol;
    XChangeKeyboardMapping(display_, static_cast<int>(binding.keycode), 1, &none, 1);
  }
  if (lost()) {
    close_lost_display(display_);
    return;
  }
  XCloseDisplay(display_);
}

std::optional<std::string> XDisplayConnection::desktop_name() {
  if (lost()) return std::nullopt;
  Atom type = None;
  int format = 0;
  unsigned long items = 0;
  unsigned long remaining = 0;
  unsigned char* data = nullptr;
  const int status = XGetWindowProperty(display_, DefaultRootWindow(display_), name_atom_, 0, 1024, False,
                                        AnyPropertyType, &type, &format, &items, &remaining, &data);
  if (lost() || status != Success) {
    if (data) XFree(data);
    return std::nullopt;
  }
  std::optional<std::string> name;
  if (type == None) {
    name = "Default";
  } else if (format == 8 && remaining == 0) {
    name = std::string(reinterpret_cast<const char*>(data), items);
  }  // any other form of the property cannot be read as a name
  if (data) XFree(data);
  return name;
}

unsigned XDisplayConnection::keycode_for(unsigned long keysym) {
  if (lost() || keysym == NoSymbol) return 0;
  for (const Binding& known : known_) {
    if (known.keysym == keysym) return known.keycode;
  }
  // Xlib's cached map: no round trip. It does not see this connection's own
  // bindings, which known_ holds.
  const KeyCode any = XKeysymToKeycode(display_, keysym);
  if (any != 0 && !is_keypad(keysym)) return any;

  unsigned keycode = 0;
  if (any != 0) {
    // A keypad keysym: usable as it is when it is the key's first level and
    // NumLock's level (the second) does not change it.
    int per_keycode = 0;
    KeySym* row = XGetKeyboardMapping(display_, any, 1, &per_keycode);
    if (lost()) {
      if (row) XFree(row);
      return 0;
    }
    if (row && per_keycode > 0 && row[0] == keysym && (per_keycode < 2 || row[1] == keysym || row[1] == NoSymbol)) {
      keycode = any;
    }
    if (row) XFree(row);
  }
  if (keycode == 0) keycode = bind_to_free_keycode(keysym);
  if (lost()) return 0;
  if (keycode == 0) keycode = any;  // no free keycode: NumLock's level is better than nothing
  if (keycode != 0) known_.push_back({keysym, keycode});
  return keycode;
}

void XDisplayConnection::prepare_keycodes(const std::vector<std::uint32_t>& keysyms) {
  for (const std::uint32_t keysym : keysyms) {
    if (lost()) return;
    keycode_for(keysym);
  }
}

unsigned XDisplayConnection::bind_to_free_keycode(unsigned long keysym) {
  int min_keycode = 0;
  int max_keycode = 0;
  XDisplayKeycodes(display_, &min_keycode, &max_keycode);
  int per_keycode = 0;
  KeySym* map = XGetKeyboardMapping(display_, static_cast<KeyCode>(min_keycode), max_keycode - min_keycode + 1,
                                    &per_keycode);
  if (lost() || map == nullptr) {
    if (map) XFree(map);
    return 0;
  }
  // The highest free keycode, away from the keys a keyboard really has.
  int chosen = 0;
  for (int keycode = max_keycode; keycode >= min_keycode && chosen == 0; --keycode) {
    const KeySym* syms = map + static_cast<std::ptrdiff_t>(keycode - min_keycode) * per_keycode;
    if (std::all_of(syms, syms + per_keycode, [](KeySym sym) { return sym == NoSymbol; })) chosen = keycode;
  }
  XFree(map);
  if (chosen == 0) return 0;
  // Alone on its key, the keysym is every level's: no modifier changes it.
  KeySym binding = keysym;
  XChangeKeyboardMapping(display_, chosen, 1, &binding, 1);
  XSync(display_, False);
  if (lost()) return 0;
  bindings_.push_back({keysym, static_cast<unsigned>(chosen)});
  return static_cast<unsigned>(chosen);
}

}  // namespace halvorine
