#include "desktop/desktop_attachment.h"

#include <gtest/gtest.h>

#include "desktop/fake_desktop_api.h"

namespace halvorine {
namespace {

struct Expected {
  std::optional<std::string> name;
  bool attached;
};

void expect_followed(const DesktopAttachment::Followed& followed, const Expected& expected) {
  EXPECT_EQ(followed.name, expected.name);
  EXPECT_EQ(followed.attached, expected.attached);
}

TEST(DesktopAttachment, AttachesOncePerNameAndKeepsOnlyTheAttachedDesktopOpen) {
  testing::FakeDesktopApi desktops;
  DesktopAttachment state;
  expect_followed(state.follow(desktops), {"Default", true});
  expect_followed(state.follow(desktops), {"Default", true});
  EXPECT_EQ(desktops.attaches, 1);
  EXPECT_EQ(desktops.desktops_open, 1);

  desktops.input_desktop = "Winlogon";
  expect_followed(state.follow(desktops), {"Winlogon", true});
  EXPECT_EQ(desktops.attaches, 2);
  EXPECT_EQ(desktops.desktops_open, 1);  // the previous desktop was closed
  EXPECT_EQ(state.name(), "Winlogon");
}

TEST(DesktopAttachment, RefusedAttachKeepsThePreviousAttachment) {
  testing::FakeDesktopApi desktops;
  DesktopAttachment state;
  state.follow(desktops);
  desktops.input_desktop = "Winlogon";
  desktops.attach_refused = {"Winlogon"};
  for (int i = 0; i < 3; ++i) expect_followed(state.follow(desktops), {"Winlogon", false});
  EXPECT_EQ(desktops.attached, "Default");
  EXPECT_EQ(state.name(), "Default");
  EXPECT_EQ(desktops.desktops_open, 1);
}

TEST(DesktopAttachment, UnreadableNameAttachesEveryTimeAndFailedOpenChangesNothing) {
  testing::FakeDesktopApi desktops;
  DesktopAttachment state;
  desktops.input_desktop = std::nullopt;
  for (int i = 0; i < 3; ++i) expect_followed(state.follow(desktops), {std::nullopt, true});
  EXPECT_EQ(desktops.attaches, 3);
  EXPECT_EQ(desktops.desktops_open, 1);

  desktops.open_fails = true;
  expect_followed(state.follow(desktops), {std::nullopt, false});
  EXPECT_TRUE(state);
  EXPECT_EQ(desktops.attaches, 3);
}

}  // namespace
}  // namespace halvorine
