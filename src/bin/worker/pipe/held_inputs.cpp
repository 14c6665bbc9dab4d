#include "bin/worker/pipe/held_inputs.h"

#include <algorithm>

namespace halvorine {
namespace {

// Only these codes press a real button (1 left, 2 right, 3 middle); any other
// code injects no button and so cannot leave one down.
bool is_real_button(std::uint8_t button) { return button >= 1 && button <= 3; }

}  // namespace

void HeldInputs::note(const InputEvent& event) {
  if (const auto* mouse = std::get_if<MouseEvent>(&event)) {
    last_x_ = mouse->x;
    last_y_ = mouse->y;
    if (!is_real_button(mouse->button)) return;
    if (mouse->pressed) {
      press(Held{{}, mouse->button, {}});
    } else {
      release({}, mouse->button);
    }
    return;
  }
  const auto* key_event = std::get_if<KeyEvent>(&event);
  if (!key_event) return;  // a verdict presses nothing
  const auto& key = *key_event;
  const std::optional<KeyCode> code = lookup_key(key.name);
  if (!code) return;  // injects nothing, so leaves nothing down
  if (key.pressed) {
    press(Held{*code, 0, key.name});
  } else {
    release(*code, 0);
  }
}

void HeldInputs::press(Held held) {
  // Auto-repeat sends more downs than ups: one release suffices.
  const auto same = [&](const Held& other) { return other.button == held.button && other.key == held.key; };
  if (std::find_if(held_.begin(), held_.end(), same) != held_.end()) return;
  // Cannot be full: every key and button fits (kCapacity).
  held_.push_back(std::move(held));
}

void HeldInputs::release(const KeyCode& key, std::uint8_t button) {
  const auto same = [&](const Held& held) { return held.button == button && held.key == key; };
  const auto found = std::find_if(held_.begin(), held_.end(), same);
  if (found != held_.end()) held_.erase(found);
}

std::size_t HeldInputs::held_buttons() const {
  return static_cast<std::size_t>(
      std::count_if(held_.begin(), held_.end(), [](const Held& held) { return held.button != 0; }));
}

std::size_t HeldInputs::held_keys() const { return held_.size() - held_buttons(); }

std::vector<InputEvent> HeldInputs::take_releases() {
  std::vector<InputEvent> releases;
  releases.reserve(held_.size());
  for (auto& held : held_) {
    if (held.button == 0) {
      releases.emplace_back(KeyEvent{std::move(held.name), false});
    } else {
      releases.emplace_back(MouseEvent{last_x_, last_y_, held.button, false, 0});
    }
  }
  held_.clear();
  return releases;
}

}  // namespace halvorine
