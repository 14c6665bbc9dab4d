#include "bin/worker/pipe/held_inputs.h"

#include <gtest/gtest.h>

namespace halvorine {
namespace {

TEST(HeldInputs, ReleasesWhatIsStillDownInPressOrderAtTheLastPosition) {
  HeldInputs held;
  held.note(KeyEvent{"ControlLeft", true});
  held.note(MouseEvent{100, 200, 1, true, 0});
  held.note(KeyEvent{"KeyC", true});
  held.note(KeyEvent{"KeyC", true});  // auto-repeat: still one key
  held.note(MouseEvent{300, 400, 0, false, 0});
  EXPECT_EQ(held.held_keys(), 2u);
  EXPECT_EQ(held.held_buttons(), 1u);
  EXPECT_EQ(held.take_releases(),
            (std::vector<InputEvent>{KeyEvent{"ControlLeft", false}, MouseEvent{300, 400, 1, false, 0},
                                     KeyEvent{"KeyC", false}}));
  EXPECT_TRUE(held.empty());
  EXPECT_TRUE(held.take_releases().empty());
}

TEST(HeldInputs, ReleasedInputsAndNonButtonsLeaveNothing) {
  HeldInputs held;
  held.note(KeyEvent{"ShiftLeft", true});
  held.note(MouseEvent{1, 1, 2, true, 0});
  held.note(MouseEvent{1, 1, 7, true, 0});  // not a button: injects nothing to release
  held.note(MouseEvent{1, 1, 0, true, 3});
  held.note(KeyEvent{"ShiftLeft", false});
  held.note(MouseEvent{2, 2, 2, false, 0});
  held.note(KeyEvent{"KeyZ", false});  // a release of something never pressed
  EXPECT_TRUE(held.empty());
  EXPECT_TRUE(held.take_releases().empty());
}

TEST(HeldInputs, RemembersAtMostItsCapacity) {
  HeldInputs held;
  for (std::size_t i = 0; i < HeldInputs::kCapacity + 50; ++i) {
    std::string name = "K";
    name += std::to_string(i);
    held.note(KeyEvent{std::move(name), true});
  }
  EXPECT_EQ(held.held_keys(), HeldInputs::kCapacity);
  const auto releases = held.take_releases();
  ASSERT_EQ(releases.size(), HeldInputs::kCapacity);
  EXPECT_EQ(releases.front(), InputEvent(KeyEvent{"K0", false}));
}

}  // namespace
}  // namespace halvorine
