// The Linux backends against a private Xvfb started by the test.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>

#include "bin/worker/inject/host/virtual_key_keysyms.h"
#include "bin/worker/inject/host/x_input_sink.h"
#include "bin/worker/inject/input_desktop.h"
#include "bin/worker/inject/key_table.h"
#include "desktop/desktop_name.h"
#include "desktop/host/x_desktop_api.h"

// Last: Xlib's macros (None, Bool, Status) would break the headers above.
#include <X11/Xatom.h>
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

namespace halvorine {
namespace {

// An Xvfb on a display it picks itself (-displayfd); DISPLAY points at it.
class PrivateXvfb {
 public:
  PrivateXvfb() {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(fds[0]);
      const std::string fd = std::to_string(fds[1]);
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x800x24", "-nolisten", "tcp",
             static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    char buffer[16] = {};
    ssize_t got = 0;
    for (ssize_t n; got < 15 && (n = read(fds[0], buffer + got, 15 - got)) > 0;) {
      got += n;
      if (buffer[got - 1] == '\n') break;
    }
    close(fds[0]);
    if (got > 0) {
      display_ = ":" + std::string(buffer, buffer + got - 1);
      setenv("DISPLAY", display_.c_str(), 1);
    }
  }
  ~PrivateXvfb() { stop(); }
  bool running() const { return !display_.empty(); }
  void stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

// The keysym each key that goes by virtual key must type on X, written out.
TEST(VirtualKeyKeysymsTest, EveryKeyOfTheKeyTableTypesItsKeysym) {
  std::vector<std::pair<std::string, KeySym>> expected = {
      {"Space", XK_space},            {"Tab", XK_Tab},                {"Enter", XK_Return},
      {"Backspace", XK_BackSpace},    {"Escape", XK_Escape},
      {"ShiftLeft", XK_Shift_L},      {"ShiftRight", XK_Shift_R},
      {"ControlLeft", XK_Control_L},  {"ControlRight", XK_Control_R},
      {"AltLeft", XK_Alt_L},          {"AltRight", XK_Alt_R},
      {"MetaLeft", XK_Super_L},       {"MetaRight", XK_Super_R},
      {"OSLeft", XK_Super_L},         {"OSRight", XK_Super_R},
      {"ContextMenu", XK_Menu},       {"CapsLock", XK_Caps_Lock},
      {"NumLock", XK_Num_Lock},       {"ScrollLock", XK_Scroll_Lock},
      {"Insert", XK_Insert},          {"Delete", XK_Delete},
      {"Home", XK_Home},              {"End", XK_End},
      {"PageUp", XK_Prior},           {"PageDown", XK_Next},
      {"ArrowLeft", XK_Left},         {"ArrowUp", XK_Up},
      {"ArrowRight", XK_Right},       {"ArrowDown", XK_Down},
      {"PrintScreen", XK_Print},      {"Pause", XK_Pause},
      {"NumpadAdd", XK_KP_Add},       {"NumpadSubtract", XK_KP_Subtract},
      {"NumpadMultiply", XK_KP_Multiply}, {"NumpadDivide", XK_KP_Divide},
      {"NumpadDecimal", XK_KP_Decimal}, {"NumpadComma", XK_KP_Separator},
      {"NumpadEnter", XK_KP_Enter},   {"NumpadEqual", XK_equal},
      {"Numpad0", XK_KP_0},           {"Numpad5", XK_KP_5},           {"Numpad9", XK_KP_9},
      {"F1", XK_F1},                  {"F12", XK_F12},
      {"F13", XK_F13},                {"F24", XK_F24},
  };
  for (const auto& [name, keysym] : expected) {
    const std::optional<KeyCode> key = lookup_key(name);
    ASSERT_TRUE(key) << name;
    EXPECT_EQ(keysym_for_virtual_key(key->virtual_key, key->extended), keysym) << name;
  }
}

TEST(VirtualKeyKeysymsTest, ExtendedFlagPicksTheKeyWhereWindowsUsesIt) {
  EXPECT_EQ(keysym_for_virtual_key(0x0D, false), static_cast<std::uint32_t>(XK_Return));
  EXPECT_EQ(keysym_for_virtual_key(0x0D, true), static_cast<std::uint32_t>(XK_KP_Enter));
  EXPECT_EQ(keysym_for_virtual_key(0x26, true), static_cast<std::uint32_t>(XK_Up));
  EXPECT_EQ(keysym_for_virtual_key(0x26, false), static_cast<std::uint32_t>(XK_KP_Up));
  EXPECT_EQ(keysym_for_virtual_key(0x2E, true), static_cast<std::uint32_t>(XK_Delete));
  EXPECT_EQ(keysym_for_virtual_key(0x87, false), static_cast<std::uint32_t>(XK_F24));
  EXPECT_EQ(keysym_for_virtual_key(0xFF, false), 0u);
}

class XBackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!xvfb.running()) GTEST_FAIL() << "Xvfb did not start";
    peer = XOpenDisplay(nullptr);
    ASSERT_NE(peer, nullptr);
  }
  void TearDown() override {
    if (peer) XCloseDisplay(peer);
  }
  void set_name(const std::string& name) {
    const Atom atom = XInternAtom(peer, "_HALVORINE_DESKTOP", False);
    XChangeProperty(peer, DefaultRootWindow(peer), atom, XA_STRING, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(name.data()), static_cast<int>(name.size()));
    XSync(peer, False);
  }
  std::pair<int, int> pointer() {
    Window root, child;
    int x = -1, y = -1, wx, wy;
    unsigned mask;
    XQueryPointer(peer, DefaultRootWindow(peer), &root, &child, &x, &y, &wx, &wy, &mask);
    return {x, y};
  }

  PrivateXvfb xvfb;
  Display* peer = nullptr;
  std::shared_ptr<XAttachment> attachment = std::make_shared<XAttachment>();
  XDesktopApi desktops{attachment, bind_numpad_keysyms};
  std::unique_ptr<SessionApi> sessions = make_session_api();
  XInputSink sink{attachment};
};

TEST_F(XBackendTest, DisplayNameIsDefaultOrTheRootProperty) {
  const OwnedDesktop desktop = desktops.open_input_desktop();
  ASSERT_TRUE(desktop);
  EXPECT_EQ(desktop_name(desktops, desktop), "Default");
  set_name("Winlogon");
  EXPECT_EQ(desktop_name(desktops, desktop), "Winlogon");
  set_name(std::string(255, 'n'));  // 255 units and the NUL fill the 512-byte buffer
  EXPECT_EQ(desktop_name(desktops, desktop), std::string(255, 'n'));
  set_name(std::string(256, 'n'));
  EXPECT_EQ(desktop_name(desktops, desktop), std::nullopt);
}

TEST_F(XBackendTest, OneActiveSessionWhoseImpersonationChangesNothing) {
  EXPECT_EQ(sessions->enumerate_sessions(), (std::vector<SessionInfo>{{1, SessionState::active}}));
  EXPECT_EQ(sessions->query_user_token(2), nullptr);
  const std::unique_ptr<UserToken> token = sessions->query_user_token(1);
  ASSERT_NE(token, nullptr);
  EXPECT_TRUE(sessions->impersonate(*token));
  EXPECT_EQ(sessions->current_thread_id(), static_cast<std::uint32_t>(gettid()));
}

TEST_F(XBackendTest, SinkInjectsOnlyOnceAttachedAndScalesAbsolutePositions) {
  const InputRecord move = InputRecord::pointer({65535, 32768, 0, 0xC001});
  const SendOutcome detached = sink.send(std::span(&move, 1));
  EXPECT_EQ(detached.inserted, 0u);
  EXPECT_EQ(detached.error, ENOTCONN);

  const OwnedDesktop desktop = desktops.open_input_desktop();
  ASSERT_TRUE(desktops.set_thread_desktop(desktop));
  EXPECT_EQ(sink.send(std::span(&move, 1)).inserted, 1u);
  // The sink only flushes: the server may answer this connection first.
  for (int tries = 0; tries < 200 && pointer() != std::make_pair(1279, 400); ++tries) usleep(10'000);
  EXPECT_EQ(pointer(), std::make_pair(1279, 400));
}

TEST_F(XBackendTest, KeyWithoutAKeycodeIsReportedAsNotInserted) {
  const OwnedDesktop desktop = desktops.open_input_desktop();
  ASSERT_TRUE(desktops.set_thread_desktop(desktop));
  const InputRecord records[] = {InputRecord::key({0x70, 0, 0}), InputRecord::key({0x70, 0, 0x0002}),
                                 InputRecord::key({0xFF, 0, 0})};  // no keysym at all
  const SendOutcome outcome = sink.send(records);
  EXPECT_EQ(outcome.inserted, 2u);
  EXPECT_EQ(outcome.error, EINVAL);
}

TEST_F(XBackendTest, KeysymsMissingFromTheKeyboardMapAreBoundUntilTheConnectionCloses) {
  const OwnedDesktop desktop = desktops.open_input_desktop();
  ASSERT_TRUE(desktops.set_thread_desktop(desktop));
  const InputRecord records[] = {InputRecord::key({0x83, 0, 0}), InputRecord::key({0x83, 0, 0x0002}),  // F20
                                 InputRecord::key({0x6C, 0, 0}), InputRecord::key({0x6C, 0, 0x0002})};  // NumpadComma
  EXPECT_EQ(sink.send(records).inserted, 4u);
  EXPECT_EQ(sink.send(records).inserted, 4u);  // the second time through the kept binding

  const auto keycodes_now = [] {  // a fresh connection sees the keyboard map as it is now
    Display* fresh = XOpenDisplay(nullptr);
    const std::pair<unsigned, unsigned> found{XKeysymToKeycode(fresh, XK_F20), XKeysymToKeycode(fresh, XK_KP_Separator)};
    XCloseDisplay(fresh);
    return found;
  };
  const auto [f20, separator] = keycodes_now();
  EXPECT_NE(f20, 0u);
  EXPECT_NE(separator, 0u);
  EXPECT_NE(f20, separator);

  // Another client takes F20's keycode away: the next F20 is bound afresh,
  // and that binding too is undone on close.
  KeySym none = NoSymbol;
  XChangeKeyboardMapping(peer, static_cast<int>(f20), 1, &none, 1);
  XSync(peer, False);
  XSync(attachment->connection->get(), False);  // its MappingNotify is queued before the sink looks
  EXPECT_EQ(sink.send(records).inserted, 4u);
  EXPECT_NE(keycodes_now().first, 0u);

  attachment->connection.reset();  // closing the connection gives the keycodes back
  EXPECT_EQ(keycodes_now(), std::make_pair(0u, 0u));
}

// Windows types the digit for VK_NUMPAD0..9 (and the separator for
// VK_DECIMAL) whatever NumLock's state; so must the X backend.
TEST_F(XBackendTest, NumpadDigitsTypeDigitsWhateverNumLock) {
  const OwnedDesktop desktop = desktops.open_input_desktop();
  ASSERT_TRUE(desktops.set_thread_desktop(desktop));
  XGrabKeyboard(peer, DefaultRootWindow(peer), False, GrabModeAsync, GrabModeAsync, CurrentTime);
  const unsigned num_lock = XkbKeysymToModifiers(peer, XK_Num_Lock);
  ASSERT_NE(num_lock, 0u);
  for (const bool locked : {false, true}) {
    XkbLockModifiers(peer, XkbUseCoreKbd, num_lock, locked ? num_lock : 0);
    XSync(peer, False);
    std::vector<InputRecord> records;
    for (std::uint16_t vk = 0x60; vk <= 0x69; ++vk) {  // VK_NUMPAD0..9
      records.push_back(InputRecord::key({vk, 0, 0}));
      records.push_back(InputRecord::key({vk, 0, 0x0002}));
    }
    records.push_back(InputRecord::key({0x6E, 0, 0}));  // VK_DECIMAL
    records.push_back(InputRecord::key({0x6E, 0, 0x0002}));
    ASSERT_EQ(sink.send(records).inserted, records.size());
    XSync(attachment->connection->get(), False);  // the server has the events before the peer asks

    std::string typed;
    XSync(peer, False);
    while (XPending(peer) > 0) {
      XEvent event;
      XNextEvent(peer, &event);
      if (event.type != KeyPress) continue;
      char text[8];
      const int length = XLookupString(&event.xkey, text, sizeof text, nullptr, nullptr);
      typed.append(text, static_cast<std::size_t>(std::max(length, 0)));
    }
    EXPECT_EQ(typed, "0123456789.") << (locked ? "NumLock on" : "NumLock off");
  }
  XUngrabKeyboard(peer, CurrentTime);
}

TEST_F(XBackendTest, LostDisplayIsAFailureNotAnExit) {
  const OwnedDesktop desktop = desktops.open_input_desktop();
  ASSERT_TRUE(desktops.set_thread_desktop(desktop));
  XCloseDisplay(peer);
  peer = nullptr;
  xvfb.stop();
  const InputRecord move = InputRecord::pointer({1, 1, 0, 0xC001});
  SendOutcome outcome{1, 0};
  for (int i = 0; i < 3 && outcome.inserted != 0; ++i) outcome = sink.send(std::span(&move, 1));
  EXPECT_EQ(outcome.inserted, 0u);
  EXPECT_EQ(outcome.error, ENOTCONN);
  EXPECT_EQ(desktop_name(desktops, desktop), std::nullopt);
  EXPECT_FALSE(desktops.open_input_desktop());  // no server to reconnect to
}

TEST(XBackendWithoutDisplayTest, OpeningTheInputDesktopFails) {
  unsetenv("DISPLAY");
  XDesktopApi desktops(std::make_shared<XAttachment>());
  EXPECT_FALSE(desktops.open_input_desktop());
}

}  // namespace
}  // namespace halvorine
