#include "bin/worker/pipe/held_inputs.h"

#include <gtest/gtest.h>

#include <fmt/format.h>

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

// Only injected keys are tracked, each once whatever name pressed it, so every key fits.
TEST(HeldInputs, TracksEachInjectedKeyOnce) {
  std::vector<InputEvent> unknown_then_shift, every_key;
  for (int i = 0; i < 300; ++i) unknown_then_shift.emplace_back(KeyEvent{fmt::format("NoSuchKey{}", i), true});
  unknown_then_shift.emplace_back(KeyEvent{"ShiftLeft", true});
  for (int i = 0; i < 26; ++i) every_key.emplace_back(KeyEvent{fmt::format("Key{:c}", 'A' + i), true});
  for (int i = 0; i < 10; ++i) every_key.emplace_back(KeyEvent{fmt::format("Digit{}", i), true});
  for (int i = 0; i < 10; ++i) every_key.emplace_back(KeyEvent{fmt::format("Numpad{}", i), true});
  for (int i = 1; i <= 24; ++i) every_key.emplace_back(KeyEvent{fmt::format("F{}", i), true});
  for (const auto& row : kNamedKeys) every_key.emplace_back(KeyEvent{std::string(row.name), true});
  const struct {
    std::vector<InputEvent> events;
    std::size_t held;
    std::vector<InputEvent> releases;  // empty: not compared
  } cases[] = {
      {unknown_then_shift, 1, {KeyEvent{"ShiftLeft", false}}},
      {{KeyEvent{"KeyA", true}, KeyEvent{"Keya", true}, KeyEvent{"MetaLeft", true}, KeyEvent{"OSLeft", true}},
       2, {KeyEvent{"KeyA", false}, KeyEvent{"MetaLeft", false}}},
      {{KeyEvent{"Keyq", true}, KeyEvent{"KeyQ", false}}, 0, {}},
      {{KeyEvent{"Enter", true}, KeyEvent{"NumpadEnter", true}}, 2, {KeyEvent{"Enter", false}, KeyEvent{"NumpadEnter", false}}},
      {every_key, every_key.size() - 2, {}},  // OSLeft and OSRight repeat keys
  };
  for (const auto& c : cases) {
    HeldInputs held;
    for (const auto& event : c.events) held.note(event);
    EXPECT_EQ(held.held_keys(), c.held);
    EXPECT_LE(held.held_keys(), HeldInputs::kCapacity);
    const auto releases = held.take_releases();
    EXPECT_EQ(releases.size(), c.held);
    if (!c.releases.empty()) {
      EXPECT_EQ(releases, c.releases);
    }
  }
}

}  // namespace
}  // namespace halvorine
