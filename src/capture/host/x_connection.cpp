#include "capture/host/x_headers.h"  // first: it removes two Xlib macros

#include "capture/host/x_connection.h"

#include <unistd.h>

#include <mutex>

namespace halvorine {
namespace {

// The same behaviour as the input backend's handlers: a refused request must
// not end the worker (each call checks its own result), and a broken
// connection falls through to the connection's exit handler, which marks it.
int ignore_protocol_error(Display*, XErrorEvent*) { return 0; }
int note_io_error(Display*) { return 0; }

constexpr int kConnectAttempts = 3;

}  // namespace

std::shared_ptr<XCaptureConnection> XCaptureConnection::open() {
  static std::once_flag handler_installed;
  std::call_once(handler_installed, [] {
    XSetErrorHandler(ignore_protocol_error);
    XSetIOErrorHandler(note_io_error);
  });
  // A busy server refuses a share of new connections outright (EAGAIN or a
  // reset while connecting; one in five on a loaded Xvfb here), and the next
  // attempt gets through: a few at once, no waiting.
  Display* display = nullptr;
  for (int attempt = 0; attempt < kConnectAttempts && display == nullptr; ++attempt) {
    display = XOpenDisplay(nullptr);
  }
  if (display == nullptr) return nullptr;
  return std::shared_ptr<XCaptureConnection>(new XCaptureConnection(display));
}

std::string XCaptureConnection::display_name() {
  const char* name = XDisplayName(nullptr);
  return name != nullptr ? name : "";
}

XCaptureConnection::XCaptureConnection(Display* display) : display_(display) {
  XSetIOErrorExitHandler(display_, &XCaptureConnection::on_connection_lost, this);
}

XCaptureConnection::~XCaptureConnection() {
  if (!lost()) {
    XCloseDisplay(display_);
    return;
  }
  // XCloseDisplay on a broken connection can crash in libXext's close hooks
  // (MIT-SHM, DAMAGE and XFIXES all register one). Close only the socket.
  close(ConnectionNumber(display_));
}

void XCaptureConnection::on_connection_lost(Display*, void* self) {
  static_cast<XCaptureConnection*>(self)->lost_.store(true, std::memory_order_relaxed);
}

}  // namespace halvorine
