#include "capture/host/x_headers.h"  // first: it removes two Xlib macros

#include "capture/host/x_connection.h"


#include "desktop/host/x_display.h"

namespace halvorine {
namespace {

constexpr int kConnectAttempts = 3;

}  // namespace

std::shared_ptr<XCaptureConnection> XCaptureConnection::open() {
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
  // The worker's rule for every X connection (desktop/host/x_display.h).
  watch_connection_loss(display_, &lost_);
}

XCaptureConnection::~XCaptureConnection() {
  if (!lost()) {
    XCloseDisplay(display_);
    return;
  }
  // XCloseDisplay on a broken connection can crash in libXext's close hooks
  // (MIT-SHM, DAMAGE and XFIXES all register one). Close only the socket.
  close_lost_display(display_);
}

}  // namespace halvorine
