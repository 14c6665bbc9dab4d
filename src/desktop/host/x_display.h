// The X display that stands in for the input desktop on Linux: one Xlib
// connection to the display named by DISPLAY per desktop-following thread.
// The injection thread's is shared by its desktop API and its XTest input
// sink; the secure-capture thread has one of its own. A connection is used
// by one thread only.
//
// The rule for every X connection the worker holds (this one, the capture
// backend's), which XConnection keeps:
//  - Watch it for loss right after XOpenDisplay, so a broken connection is
//    only marked lost instead of ending the process, and Xlib's display lock
//    stays balanced while the request that found the server gone unwinds (a
//    bare returning exit handler makes Xlib unlock it twice, which
//    ThreadSanitizer reports).
//  - Once lost, never pass its Display to Xlib again, not even to
//    XCloseDisplay or XFlush (the extensions' close hooks, MIT-SHM, DAMAGE
//    and XFIXES among them, can crash over a broken connection): close only
//    its socket and open a new connection, or report the failure. Xlib keeps
//    no consistent state for a connection it has declared broken.
//  - Check lost() after every Xlib call that may reach the server (round
//    trips, flushes, syncs) before the next one, so a batch stops at the
//    request that found the server gone.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

typedef struct _XDisplay Display;

namespace halvorine {

// One Xlib connection, owned by one thread, by the rule above. It stays
// where it was made: Xlib holds a pointer to its flag.
class XConnection {
 public:
  // A busy server refuses a share of new connections outright (EAGAIN or a
  // reset while connecting; one in five on a loaded Xvfb here), and the next
  // attempt gets through: a few at once, no waiting.
  static constexpr int kBusyServerAttempts = 3;

  // Connects to DISPLAY with up to `attempts` tries at once; nullptr when it
  // is unset or the server refuses.
  static std::shared_ptr<XConnection> open(int attempts);
  // Adopts an open Display.
  explicit XConnection(Display* display);
  // XCloseDisplay; for a lost connection only its socket is closed, and the
  // Display structure is left behind.
  ~XConnection();
  XConnection(const XConnection&) = delete;
  XConnection& operator=(const XConnection&) = delete;

  Display* get() const { return display_; }
  // True once Xlib has reported the connection broken; nothing may use it then.
  bool lost() const { return lost_.load(std::memory_order_relaxed); }

  // The display name a failed open refers to, for error texts.
  static std::string display_name();

 private:
  Display* display_;
  std::atomic<bool> lost_{false};
};

class XDisplayConnection {
 public:
  // Connects to DISPLAY; nullptr when it is unset or the server refuses.
  static std::shared_ptr<XDisplayConnection> open();
  // Undoes the keyboard-map bindings this connection made (unless it is
  // lost, when the map cannot be reached), then closes it.
  ~XDisplayConnection();
  XDisplayConnection(const XDisplayConnection&) = delete;
  XDisplayConnection& operator=(const XDisplayConnection&) = delete;

  // The Display, for Xlib calls; check lost() first and after each call that
  // may reach the server.
  Display* get() const { return connection_.get(); }
  // True once Xlib has reported the connection broken; it is then unusable.
  bool lost() const { return connection_.lost(); }

  // The root window's _HALVORINE_DESKTOP property when set (how tests and
  // demos make the display play another desktop), else "Default"; nullopt
  // when the connection is lost.
  std::optional<std::string> desktop_name();

  // The keycode that types `keysym` as Windows types the matching virtual
  // key in the keyboard map as the server last reported it; 0 when there is
  // none or the connection is lost.
  //  - A map change (setxkbmap, xmodmap, this connection's own bindings) is
  //    taken in first: keycodes resolved before it are resolved again. Seeing
  //    none costs one read of what has already arrived, no round trip.
  //  - A keypad keysym needs a key that gives it whatever NumLock's state
  //    (Windows' VK_NUMPAD0 always types "0"; X puts KP_0 on the NumLock level
  //    of the key whose first level is KP_Insert).
  //  - A keysym the map lacks (F13..F24 and KP_Separator on Xvfb's default
  //    map), or a keypad keysym only on a NumLock level, is bound alone to a
  //    keycode that has no keysym at all, as other XTest tools do. The binding
  //    is kept while the map keeps it (bound again after a map change that
  //    dropped it) and undone when the connection closes. With no free
  //    keycode, a keypad keysym falls back to its NumLock level.
  unsigned keycode_for(unsigned long keysym);

  // Resolves (and binds where needed) each keysym ahead of use. A binding
  // reaches other clients as a MappingNotify that the server may deliver
  // after a key event sent right behind it (seen on Xvfb), so a client can
  // look that first press up in its old map and see no keysym; bound when the
  // connection opens, the map is settled long before the first key. Only keys
  // typed often are worth it: Xvfb's map has 19 free keycodes.
  void prepare_keycodes(const std::vector<std::uint32_t>& keysyms);

 private:
  explicit XDisplayConnection(Display* display);
  // Refreshes Xlib's copy of the map and forgets known_ when the server has
  // reported a keyboard-map change. Also empties the event queue, which
  // nothing else on this connection reads.
  void notice_map_changes();
  unsigned bind_to_free_keycode(unsigned long keysym);
  // Our binding of `keysym` that the map still holds, else 0; bindings that
  // the map lost are forgotten on the way.
  unsigned surviving_binding(unsigned long keysym);

  struct Binding {
    unsigned long keysym;
    unsigned keycode;
  };

  XConnection connection_;
  Display* const display_ = connection_.get();
  unsigned long name_atom_ = 0;
  // Holds `binding.keycode` our keysym alone? (one round trip)
  bool holds_alone(const Binding& binding);

  std::vector<Binding> known_;     // keysyms resolved since the last map change, by this connection's rules
  std::vector<Binding> bindings_;  // keycodes this connection bound (one entry per keycode), to undo
};

// The desktop API's connection and whether the thread is attached to the
// display; the input sink injects through it once attached.
struct XAttachment {
  std::shared_ptr<XDisplayConnection> connection;
  // Counts connections made; an opened desktop's handle is the generation
  // of the connection it was opened on.
  std::uintptr_t generation = 0;
  bool attached = false;
};

}  // namespace halvorine
