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
      press(HeldButton{mouse->button});
    } else {
      release(HeldButton{mouse->button});
    }
    return;
  }
  const auto& key = std::get<KeyEvent>(event);
  // Compare in place: no copy of the name for the common up/down traffic.
  auto same_key = [&](const Held& held) {
    const auto* name = std::get_if<std::string>(&held);
    return name && *name == key.name;
  };
  const auto found = std::find_if(held_.begin(), held_.end(), same_key);
  if (key.pressed) {
    // Auto-repeat sends more downs than ups: one release suffices.
    if (found == held_.end() && held_.size() < kCapacity) held_.emplace_back(key.name);
  } else if (found != held_.end()) {
    held_.erase(found);
  }
}

void HeldInputs::press(Held held) {
  if (std::find(held_.begin(), held_.end(), held) != held_.end()) return;
  if (held_.size() < kCapacity) held_.push_back(std::move(held));
}

void HeldInputs::release(const Held& held) {
  const auto found = std::find(held_.begin(), held_.end(), held);
  if (found != held_.end()) held_.erase(found);
}

std::size_t HeldInputs::held_keys() const {
  return static_cast<std::size_t>(std::count_if(
      held_.begin(), held_.end(), [](const Held& held) { return held.index() == 0; }));
}

std::size_t HeldInputs::held_buttons() const { return held_.size() - held_keys(); }

std::vector<InputEvent> HeldInputs::take_releases() {
  std::vector<InputEvent> releases;
  releases.reserve(held_.size());
  for (auto& held : held_) {
    if (auto* name = std::get_if<std::string>(&held)) {
      releases.emplace_back(KeyEvent{std::move(*name), false});
    } else {
      releases.emplace_back(MouseEvent{last_x_, last_y_, std::get<HeldButton>(held).button, false, 0});
    }
  }
  held_.clear();
  return releases;
}

}  // namespace halvorine
