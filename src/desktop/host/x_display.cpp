#include "desktop/host/x_display.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <mutex>

namespace halvorine {
namespace {

// Xlib's default handler for protocol errors ends the process; the worker
// must not die because the X server refused one request.
int ignore_protocol_error(Display*, XErrorEvent*) { return 0; }

// Xlib's default handler for a broken connection ends the process too. This
// one returns, so Xlib goes on to the connection's exit handler, which only
// marks the connection lost.
int note_io_error(Display*) { return 0; }

}  // namespace

std::shared_ptr<XDisplayConnection> XDisplayConnection::open() {
  static std::once_flag handler_installed;
  std::call_once(handler_installed, [] {
    XSetErrorHandler(ignore_protocol_error);
    XSetIOErrorHandler(note_io_error);
  });
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return nullptr;
  return std::shared_ptr<XDisplayConnection>(new XDisplayConnection(display));
}

XDisplayConnection::XDisplayConnection(Display* display) : display_(display) {
  // Without this Xlib ends the process when the server goes away; here the
  // connection is only marked lost and the next open reconnects.
  XSetIOErrorExitHandler(display_, &XDisplayConnection::on_connection_lost, this);
  name_atom_ = XInternAtom(display_, "_HALVORINE_DESKTOP", False);
}

XDisplayConnection::~XDisplayConnection() {
  if (!lost()) {
    XCloseDisplay(display_);
    return;
  }
  // XCloseDisplay on a broken connection can crash in the extensions' close
  // hooks (libXext, which XTest uses). Close only the socket and leave the
  // few kilobytes of the Display structure: this happens once per lost server.
  close(ConnectionNumber(display_));
}

void XDisplayConnection::on_connection_lost(Display*, void* self) {
  static_cast<XDisplayConnection*>(self)->lost_.store(true, std::memory_order_relaxed);
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
  if (lost()) return 0;
  for (const auto& [bound, keycode] : bound_keysyms_) {
    if (bound == keysym) return keycode;
  }
  if (const KeyCode keycode = XKeysymToKeycode(display_, keysym); keycode != 0) return keycode;

  int min_keycode = 0;
  int max_keycode = 0;
  XDisplayKeycodes(display_, &min_keycode, &max_keycode);
  int per_keycode = 0;
  KeySym* map = XGetKeyboardMapping(display_, static_cast<KeyCode>(min_keycode), max_keycode - min_keycode + 1,
                                    &per_keycode);
  if (map == nullptr) return 0;
  // The highest free keycode, away from the keys a keyboard really has.
  int chosen = 0;
  for (int keycode = max_keycode; keycode >= min_keycode && chosen == 0; --keycode) {
    const KeySym* syms = map + static_cast<std::ptrdiff_t>(keycode - min_keycode) * per_keycode;
    if (std::all_of(syms, syms + per_keycode, [](KeySym sym) { return sym == NoSymbol; })) chosen = keycode;
  }
  XFree(map);
  if (chosen == 0) return 0;
  KeySym binding = keysym;
  XChangeKeyboardMapping(display_, chosen, 1, &binding, 1);
  XSync(display_, False);
  if (lost()) return 0;
  bound_keysyms_.emplace_back(keysym, static_cast<unsigned>(chosen));
  return static_cast<unsigned>(chosen);
}

}  // namespace halvorine
