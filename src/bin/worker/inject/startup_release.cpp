#include "bin/worker/inject/startup_release.h"

#include <array>
#include <cstdint>

#include <fmt/format.h>

namespace halvorine {
namespace {

struct Modifier {
  std::uint16_t virtual_key;
  bool extended;  // as the key table injects it
};

// VK_LSHIFT, VK_RSHIFT, VK_LCONTROL, VK_RCONTROL, VK_LMENU, VK_RMENU, VK_LWIN, VK_RWIN.
constexpr std::array<Modifier, 8> kModifiers{{
    {0xA0, false}, {0xA1, false}, {0xA2, false}, {0xA3, true},
    {0xA4, false}, {0xA5, true}, {0x5B, true}, {0x5C, true},
}};

struct Button {
  std::uint16_t virtual_key;  // VK_LBUTTON, VK_RBUTTON, VK_MBUTTON
  std::uint32_t up_flag;
};

constexpr std::array<Button, 3> kButtons{{
    {0x01, kMouseEventLeftUp}, {0x02, kMouseEventRightUp}, {0x04, kMouseEventMiddleUp}}};

}  // namespace

std::size_t release_input_left_down(InputSink& sink, Logger& log) {
  std::array<InputRecord, kModifiers.size() + kButtons.size()> releases;
  std::size_t count = 0;
  for (const Modifier& key : kModifiers) {
    if (!sink.is_down(key.virtual_key)) continue;
    const std::uint32_t flags = kKeyEventKeyUp | (key.extended ? kKeyEventExtendedKey : 0);
    releases[count++] = InputRecord::key({.virtual_key = key.virtual_key, .scan_code = 0, .flags = flags});
  }
  for (const Button& button : kButtons) {
    // A release alone, without a move: the pointer stays where it is.
    if (sink.is_down(button.virtual_key)) {
      releases[count++] = InputRecord::pointer({.dx = 0, .dy = 0, .mouse_data = 0, .flags = button.up_flag});
    }
  }
  if (count == 0) return 0;
  log.log(fmt::format("inject: eliberez {} taste/butoane ramase apasate la pornire", count));
  sink.send(std::span(releases.data(), count));
  return count;
}

}  // namespace halvorine
