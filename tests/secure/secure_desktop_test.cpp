#include "bin/worker/secure/secure_desktop.h"

#include <gtest/gtest.h>

#include "desktop/fake_desktop_api.h"

namespace halvorine {
namespace {

struct Expected {
  std::optional<std::string> name;
  bool attached;
};

void expect_followed(const FollowedDesktop& followed, const Expected& expected) {
  EXPECT_EQ(followed.name, expected.name);
  EXPECT_EQ(followed.attached, expected.attached);
}

TEST(FollowInputDesktop, AttachesOncePerNameAndKeepsOnlyTheAttachedDesktopOpen) {
  testing::FakeDesktopApi desktops;
  SecureDesktopState state;
  expect_followed(follow_input_desktop(state, desktops), {"Default", true});
  expect_followed(follow_input_desktop(state, desktops), {"Default", true});
  EXPECT_EQ(desktops.attaches, 1);
  EXPECT_EQ(desktops.desktops_open, 1);

  desktops.input_desktop = "Winlogon";
  expect_followed(follow_input_desktop(state, desktops), {"Winlogon", true});
  EXPECT_EQ(desktops.attaches, 2);
  EXPECT_EQ(desktops.desktops_open, 1);  // the previous desktop was closed
  EXPECT_EQ(state.attached_name, "Winlogon");
}

TEST(FollowInputDesktop, RefusedAttachKeepsThePreviousAttachment) {
  testing::FakeDesktopApi desktops;
  SecureDesktopState state;
  follow_input_desktop(state, desktops);
  desktops.input_desktop = "Winlogon";
  desktops.attach_refused = {"Winlogon"};
  for (int i = 0; i < 3; ++i) expect_followed(follow_input_desktop(state, desktops), {"Winlogon", false});
  EXPECT_EQ(desktops.attached, "Default");
  EXPECT_EQ(state.attached_name, "Default");
  EXPECT_EQ(desktops.desktops_open, 1);
}

TEST(FollowInputDesktop, UnreadableNameAttachesEveryTimeAndFailedOpenChangesNothing) {
  testing::FakeDesktopApi desktops;
  SecureDesktopState state;
  desktops.input_desktop = std::nullopt;
  for (int i = 0; i < 3; ++i) expect_followed(follow_input_desktop(state, desktops), {std::nullopt, true});
  EXPECT_EQ(desktops.attaches, 3);
  EXPECT_EQ(desktops.desktops_open, 1);

  desktops.open_fails = true;
  expect_followed(follow_input_desktop(state, desktops), {std::nullopt, false});
  EXPECT_TRUE(state.attached_desktop);
  EXPECT_EQ(desktops.attaches, 3);
}

}  // namespace
}  // namespace halvorine
