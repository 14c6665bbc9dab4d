#include "bin/worker/pipe/held_inputs.h"

#include <gtest/gtest.h>

#include <fmt/format.h>

namespace halvorine {
namespace {

using Events = std::vector<InputEvent>;

// What is still down is released once, in press order, a button at the last
// position; only injected keys are tracked, each once whatever name pressed
// it, so every key fits.
TEST(HeldInputs, ReleasesWhatIsStillDownOnceInPressOrder) {
  Events unknown_then_shift, every_key;
  for (int i = 0; i < 300; ++i) unknown_then_shift.emplace_back(KeyEvent{fmt::format("NoSuchKey{}", i), true});
  unknown_then_shift.emplace_back(KeyEvent{"ShiftLeft", true});
  for (const auto& row : kPhysicalKeys) every_key.emplace_back(KeyEvent{std::string(row.code), true});
  for (const auto& [alias, code] : kKeyNameAliases) every_key.emplace_back(KeyEvent{std::string(alias), true});
  const struct {
    Events events;
    std::size_t keys, buttons;
    Events releases;  // empty with keys > 0: not compared
  } cases[] = {
      {{KeyEvent{"ControlLeft", true}, MouseEvent{100, 200, 1, true, 0}, KeyEvent{"KeyC", true},
        KeyEvent{"KeyC", true} /* auto-repeat */, MouseEvent{300, 400, 0, false, 0}},
       2, 1,
       {KeyEvent{"ControlLeft", false}, MouseEvent{300, 400, 1, false, 0}, KeyEvent{"KeyC", false}}},
      // Released, not a button (7), a wheel, a release of what was never pressed: nothing.
      {{KeyEvent{"ShiftLeft", true}, MouseEvent{1, 1, 2, true, 0}, MouseEvent{1, 1, 7, true, 0},
        MouseEvent{1, 1, 0, true, 3}, KeyEvent{"ShiftLeft", false}, MouseEvent{2, 2, 2, false, 0},
        KeyEvent{"KeyZ", false}},
       0, 0, {}},
      {unknown_then_shift, 1, 0, {KeyEvent{"ShiftLeft", false}}},
      {{KeyEvent{"KeyA", true}, KeyEvent{"Keya", true}, KeyEvent{"MetaLeft", true}, KeyEvent{"OSLeft", true}},
       2, 0, {KeyEvent{"KeyA", false}, KeyEvent{"MetaLeft", false}}},
      {{KeyEvent{"Keyq", true}, KeyEvent{"KeyQ", false}}, 0, 0, {}},
      {{KeyEvent{"Enter", true}, KeyEvent{"NumpadEnter", true}},
       2, 0, {KeyEvent{"Enter", false}, KeyEvent{"NumpadEnter", false}}},
      {every_key, every_key.size() - 2, 0, {}},  // OSLeft and OSRight repeat keys
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    HeldInputs held;
    for (const auto& event : c.events) held.note(event);
    EXPECT_EQ(held.held_keys(), c.keys);
    EXPECT_EQ(held.held_buttons(), c.buttons);
    EXPECT_LE(held.held_keys(), HeldInputs::kCapacity);
    const auto releases = held.take_releases();
    EXPECT_EQ(releases.size(), c.keys + c.buttons);
    if (!c.releases.empty() || c.keys == 0) {
      EXPECT_EQ(releases, c.releases);
    }
    EXPECT_TRUE(held.empty());
    EXPECT_TRUE(held.take_releases().empty());
  }
}

}  // namespace
}  // namespace halvorine
