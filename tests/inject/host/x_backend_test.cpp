// The Linux backends against a private Xvfb started by the test.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "bin/worker/inject/host/virtual_key_keysyms.h"
#include "bin/worker/inject/host/x_desktop_session_api.h"
#include "bin/worker/inject/host/x_input_sink.h"
#include "bin/worker/inject/input_desktop.h"
#include "bin/worker/inject/key_table.h"

// Last: Xlib's macros (None, Bool, Status) would break the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
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

TEST(VirtualKeyKeysymsTest, EveryKeyOfTheKeyTableHasAKeysym) {
  std::vector<std::string> names;
  for (char c = 'A'; c <= 'Z'; ++c) names.push_back(std::string("Key") + c);
  for (char c = '0'; c <= '9'; ++c) names.push_back(std::string("Digit") + c), names.push_back(std::string("Numpad") + c);
  for (int n = 1; n <= 24; ++n) names.push_back(std::string("F").append(std::to_string(n)));
  for (const NamedKey& row : kNamedKeys) names.emplace_back(row.name);
  for (const std::string& name : names) {
    const std::optional<KeyCode> key = lookup_key(name);
    ASSERT_TRUE(key) << name;
    EXPECT_NE(keysym_for_virtual_key(key->virtual_key, key->extended), 0u) << name;
  }
}

TEST(VirtualKeyKeysymsTest, ExtendedFlagPicksTheKeyWhereWindowsUsesIt) {
  EXPECT_EQ(keysym_for_virtual_key(0x0D, false), static_cast<std::uint32_t>(XK_Return));
  EXPECT_EQ(keysym_for_virtual_key(0x0D, true), static_cast<std::uint32_t>(XK_KP_Enter));
  EXPECT_EQ(keysym_for_virtual_key(0x26, true), static_cast<std::uint32_t>(XK_Up));
  EXPECT_EQ(keysym_for_virtual_key(0x26, false), static_cast<std::uint32_t>(XK_KP_Up));
  EXPECT_EQ(keysym_for_virtual_key(0x2E, true), static_cast<std::uint32_t>(XK_Delete));
  EXPECT_EQ(keysym_for_virtual_key(0x41, false), static_cast<std::uint32_t>(XK_a));
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
  XDesktopSessionApi api{attachment};
  XInputSink sink{attachment};
};

TEST_F(XBackendTest, DisplayNameIsDefaultOrTheRootProperty) {
  const OwnedDesktop desktop = api.open_input_desktop();
  ASSERT_TRUE(desktop);
  EXPECT_EQ(desktop_name(api, desktop), "Default");
  set_name("Winlogon");
  EXPECT_EQ(desktop_name(api, desktop), "Winlogon");
  set_name(std::string(255, 'n'));  // 255 units and the NUL fill the 512-byte buffer
  EXPECT_EQ(desktop_name(api, desktop), std::string(255, 'n'));
  set_name(std::string(256, 'n'));
  EXPECT_EQ(desktop_name(api, desktop), std::nullopt);
}

TEST_F(XBackendTest, OneActiveSessionWhoseImpersonationChangesNothing) {
  EXPECT_EQ(api.enumerate_sessions(), (std::vector<SessionInfo>{{1, SessionState::active}}));
  EXPECT_EQ(api.query_user_token(2), nullptr);
  const std::unique_ptr<UserToken> token = api.query_user_token(1);
  ASSERT_NE(token, nullptr);
  EXPECT_TRUE(api.impersonate(*token));
  EXPECT_EQ(api.current_thread_id(), static_cast<std::uint32_t>(gettid()));
}

TEST_F(XBackendTest, SinkInjectsOnlyOnceAttachedAndScalesAbsolutePositions) {
  const InputRecord move = InputRecord::pointer({65535, 32768, 0, 0xC001});
  const SendOutcome detached = sink.send(std::span(&move, 1));
  EXPECT_EQ(detached.inserted, 0u);
  EXPECT_EQ(detached.error, ENOTCONN);

  const OwnedDesktop desktop = api.open_input_desktop();
  ASSERT_TRUE(api.set_thread_desktop(desktop));
  EXPECT_EQ(sink.send(std::span(&move, 1)).inserted, 1u);
  XSync(peer, False);
  EXPECT_EQ(pointer(), std::make_pair(1279, 400));
}

TEST_F(XBackendTest, KeyWithoutAKeycodeIsReportedAsNotInserted) {
  const OwnedDesktop desktop = api.open_input_desktop();
  ASSERT_TRUE(api.set_thread_desktop(desktop));
  const InputRecord records[] = {InputRecord::key({0x41, 0, 0}), InputRecord::key({0x41, 0, 0x0002}),
                                 InputRecord::key({0xFF, 0, 0})};  // no keysym at all
  const SendOutcome outcome = sink.send(records);
  EXPECT_EQ(outcome.inserted, 2u);
  EXPECT_EQ(outcome.error, EINVAL);
}

TEST_F(XBackendTest, KeysymsMissingFromTheKeyboardMapAreBoundToAFreeKeycode) {
  const OwnedDesktop desktop = api.open_input_desktop();
  ASSERT_TRUE(api.set_thread_desktop(desktop));
  const InputRecord records[] = {InputRecord::key({0x83, 0, 0}), InputRecord::key({0x83, 0, 0x0002}),  // F20
                                 InputRecord::key({0x6C, 0, 0}), InputRecord::key({0x6C, 0, 0x0002})};  // NumpadComma
  EXPECT_EQ(sink.send(records).inserted, 4u);
  EXPECT_EQ(sink.send(records).inserted, 4u);  // the second time through the kept binding

  Display* fresh = XOpenDisplay(nullptr);  // sees the keyboard map as it is now
  ASSERT_NE(fresh, nullptr);
  const unsigned f20 = XKeysymToKeycode(fresh, XK_F20);
  const unsigned separator = XKeysymToKeycode(fresh, XK_KP_Separator);
  EXPECT_NE(f20, 0u);
  EXPECT_NE(separator, 0u);
  EXPECT_NE(f20, separator);
  XCloseDisplay(fresh);
}

TEST_F(XBackendTest, LostDisplayIsAFailureNotAnExit) {
  const OwnedDesktop desktop = api.open_input_desktop();
  ASSERT_TRUE(api.set_thread_desktop(desktop));
  XCloseDisplay(peer);
  peer = nullptr;
  xvfb.stop();
  const InputRecord move = InputRecord::pointer({1, 1, 0, 0xC001});
  SendOutcome outcome{1, 0};
  for (int i = 0; i < 3 && outcome.inserted != 0; ++i) outcome = sink.send(std::span(&move, 1));
  EXPECT_EQ(outcome.inserted, 0u);
  EXPECT_EQ(outcome.error, ENOTCONN);
  EXPECT_EQ(desktop_name(api, desktop), std::nullopt);
  EXPECT_FALSE(api.open_input_desktop());  // no server to reconnect to
}

TEST(XBackendWithoutDisplayTest, OpeningTheInputDesktopFails) {
  unsetenv("DISPLAY");
  XDesktopSessionApi api(std::make_shared<XAttachment>());
  EXPECT_FALSE(api.open_input_desktop());
}

}  // namespace
}  // namespace halvorine
