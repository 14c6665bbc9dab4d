#include "bin/worker/inject/host/x_display.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <unistd.h>

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

}  // namespace halvorine
