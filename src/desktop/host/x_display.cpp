#include "desktop/host/x_display.h"

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

#include "common/host/unique_fd.h"

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

std::shared_ptr<XConnection> XConnection::open(int attempts) {
  Display* display = nullptr;
  for (int attempt = 0; attempt < attempts && display == nullptr; ++attempt) display = XOpenDisplay(nullptr);
  if (display == nullptr) return nullptr;
  return std::make_shared<XConnection>(display);
}

XConnection::XConnection(Display* display) : display_(display) {
  static std::once_flag handlers_installed;
  std::call_once(handlers_installed, [] {
    XSetErrorHandler(ignore_protocol_error);
    XSetIOErrorHandler(note_io_error);
  });
  XSetIOErrorExitHandler(display_, on_connection_lost, &lost_);
}

XConnection::~XConnection() {
  if (!lost()) {
    XCloseDisplay(display_);
    return;
  }
  // Adopted only to be closed here; Xlib is never asked about it again.
  const UniqueFd lost_socket(ConnectionNumber(display_));
}

std::string XConnection::display_name() {
  const char* name = XDisplayName(nullptr);
  return name != nullptr ? name : "";
}

std::shared_ptr<XDisplayConnection> XDisplayConnection::open() {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return nullptr;
  return std::shared_ptr<XDisplayConnection>(new XDisplayConnection(display));
}

XDisplayConnection::XDisplayConnection(Display* display) : connection_(display) {
  name_atom_ = XInternAtom(display_, "_HALVORINE_DESKTOP", False);
}

XDisplayConnection::~XDisplayConnection() {
  // A binding is undone only while the keycode still holds our keysym alone:
  // someone else may have remapped it since.
  for (const Binding& binding : bindings_) {
    if (!holds_alone(binding)) {
      if (lost()) break;
      continue;
    }
    KeySym none = NoSymbol;
    XChangeKeyboardMapping(display_, static_cast<int>(binding.keycode), 1, &none, 1);
  }
  // The connection closes after this.
}

bool XDisplayConnection::holds_alone(const Binding& binding) {
  if (lost()) return false;
  int per_keycode = 0;
  KeySym* row = XGetKeyboardMapping(display_, static_cast<KeyCode>(binding.keycode), 1, &per_keycode);
  // The server repeats a lone keysym for other groups: any keysym but ours
  // means someone else has the keycode now.
  const bool ours = !lost() && row && per_keycode > 0 && row[0] == binding.keysym &&
                    std::all_of(row, row + per_keycode, [&binding](KeySym sym) {
                      return sym == NoSymbol || sym == binding.keysym;
                    });
  if (row) XFree(row);
  return ours;
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
  notice_map_changes();
  if (lost()) return 0;
  for (const Binding& known : known_) {
    if (known.keysym == keysym) return known.keycode;
  }
  // Xlib's copy of the map, refreshed above: no round trip (with XKB, one to
  // fetch a change it was told of). It does not see bindings made since,
  // which known_ holds.
  const KeyCode any = XKeysymToKeycode(display_, keysym);
  if (lost()) return 0;
  if (any != 0 && !is_keypad(keysym)) return any;

  unsigned keycode = 0;
  if (any != 0) {
    // A keypad keysym: usable as it is when it is the key's first level and
    // NumLock's level (the second) does not change it. Our own binding, once
    // Xlib's map has it, is found first: level 0 is searched before level 1.
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
  // After a map change that put the keysym on a lower key unusably, our
  // binding may still stand: use it rather than take another free keycode.
  if (keycode == 0) keycode = surviving_binding(keysym);
  if (keycode == 0) keycode = bind_to_free_keycode(keysym);
  if (lost()) return 0;
  if (keycode == 0) keycode = any;  // no free keycode: NumLock's level is better than nothing
  if (keycode != 0) known_.push_back({keysym, keycode});
  return keycode;
}

void XDisplayConnection::notice_map_changes() {
  if (lost() || XEventsQueued(display_, QueuedAfterReading) == 0) return;
  bool changed = false;
  while (!lost() && XEventsQueued(display_, QueuedAlready) > 0) {
    XEvent event;
    XNextEvent(display_, &event);
    if (event.type == MappingNotify && event.xmapping.request == MappingKeyboard) {
      XRefreshKeyboardMapping(&event.xmapping);
      changed = true;
    }
  }
  // Cached keycodes may carry another keysym now, or none (a binding that a
  // new map dropped): resolve again rather than check each one per key.
  if (changed) known_.clear();
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
  // An earlier binding on this keycode was lost to a map change (the keycode
  // was free): it is this one now, undone once.
  std::erase_if(bindings_, [chosen](const Binding& old) { return old.keycode == static_cast<unsigned>(chosen); });
  bindings_.push_back({keysym, static_cast<unsigned>(chosen)});
  return static_cast<unsigned>(chosen);
}

unsigned XDisplayConnection::surviving_binding(unsigned long keysym) {
  for (auto it = bindings_.begin(); it != bindings_.end();) {
    if (it->keysym != keysym) {
      ++it;
      continue;
    }
    if (holds_alone(*it)) return it->keycode;
    if (lost()) return 0;
    it = bindings_.erase(it);  // the keycode is someone else's, or free: nothing of ours to undo there
  }
  return 0;
}

}  // namespace halvorine
