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

// Only injected keys are tracked, each once, whatever name pressed it.
TEST(HeldInputs, TracksEachInjectedKeyOnce) {
  std::vector<InputEvent> unknown_then_shift;
  for (int i = 0; i < 300; ++i) unknown_then_shift.emplace_back(KeyEvent{fmt::format("K{}", i), true});
  unknown_then_shift.emplace_back(KeyEvent{"ShiftLeft", true});
  const struct {
    const char* what;
    std::vector<InputEvent> events;
    std::vector<InputEvent> releases;
  } cases[] = {
      {"names that inject nothing take no room", unknown_then_shift, {KeyEvent{"ShiftLeft", false}}},
      {"one key under two spellings",
       {KeyEvent{"KeyA", true}, KeyEvent{"Keya", true}, KeyEvent{"MetaLeft", true}, KeyEvent{"OSLeft", true}},
       {KeyEvent{"KeyA", false}, KeyEvent{"MetaLeft", false}}},
      {"released under another spelling", {KeyEvent{"Keyq", true}, KeyEvent{"KeyQ", false}}, {}},
      {"keys sharing a code but not the extended flag are two",
       {KeyEvent{"Enter", true}, KeyEvent{"NumpadEnter", true}},
       {KeyEvent{"Enter", false}, KeyEvent{"NumpadEnter", false}}},
  };
  for (const auto& c : cases) {
    HeldInputs held;
    for (const auto& event : c.events) held.note(event);
    EXPECT_EQ(held.take_releases(), c.releases) << c.what;
  }
}

TEST(HeldInputs, HoldsEveryKeyThereIs) {
  std::vector<std::string> names;
  for (char c = 'A'; c <= 'Z'; ++c) names.push_back(fmt::format("Key{}", c));
  for (char c = '0'; c <= '9'; ++c) names.push_back(fmt::format("Digit{}", c));
  for (char c = '0'; c <= '9'; ++c) names.push_back(fmt::format("Numpad{}", c));
  for (int f = 1; f <= 24; ++f) names.push_back(fmt::format("F{}", f));
  for (const auto& row : kNamedKeys) names.emplace_back(row.name);
  HeldInputs held;
  for (const auto& name : names) held.note(KeyEvent{name, true});
  for (std::uint8_t button = 1; button <= 3; ++button) held.note(MouseEvent{0, 0, button, true, 0});
  // OSLeft/OSRight repeat MetaLeft/MetaRight, NumpadEqual repeats Equal.
  EXPECT_EQ(held.held_keys(), names.size() - 3);
  EXPECT_EQ(held.held_buttons(), 3u);
  EXPECT_LE(held.held_keys() + held.held_buttons(), HeldInputs::kCapacity);
  EXPECT_EQ(held.take_releases().size(), names.size());
}

}  // namespace
}  // namespace halvorine
