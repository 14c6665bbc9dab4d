// Feeds arbitrary bytes to the input pipe's decoder, split where the first
// byte says, and checks what must hold whatever the client sends: decoding
// ends, events are well formed, a split never changes the outcome, and the
// held-input tracker stays bounded.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "bin/worker/pipe/held_inputs.h"
#include "bin/worker/pipe/input_decoder.h"
#include "common/utf16.h"

namespace {

using halvorine::InputDecoder;
using halvorine::InputEvent;

struct Decoded {
  std::vector<InputEvent> events;
  int dropped = 0;
  std::string end;  // violation line, or the end-of-stream line
};

Decoded decode(std::span<const std::uint8_t> stream, std::size_t chunk) {
  Decoded out;
  InputDecoder decoder;
  halvorine::HeldInputs held;
  while (out.end.empty()) {
    if (stream.empty()) {
      out.end = decoder.read_failure_message("early eof");
      break;
    }
    auto input = stream.first(std::min(chunk, stream.size()));
    stream = stream.subspan(input.size());
    for (;;) {
      const auto before = input.size();
      const auto outcome = decoder.feed(input);
      if (outcome == InputDecoder::Outcome::need_more) {
        if (!input.empty()) std::abort();  // need_more consumes everything
        break;
      }
      if (outcome == InputDecoder::Outcome::violation) {
        out.end = decoder.violation_message();
        break;
      }
      if (input.size() == before && outcome != InputDecoder::Outcome::dropped) std::abort();
      if (outcome == InputDecoder::Outcome::dropped) {
        ++out.dropped;
        continue;
      }
      InputEvent& event = decoder.event();
      if (const auto* key = std::get_if<halvorine::KeyEvent>(&event)) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(key->name.data());
        if (key->name.size() > halvorine::kMaxKeyNameLength ||
            !halvorine::is_valid_utf8(std::span(bytes, key->name.size()))) {
          std::abort();
        }
      } else {
        const auto& mouse = std::get<halvorine::MouseEvent>(event);
        if (mouse.scroll < -128 || mouse.scroll > 127) std::abort();
        (void)halvorine::mouse_log_line(mouse);
      }
      held.note(event);
      if (held.held_keys() + held.held_buttons() > halvorine::HeldInputs::kCapacity) std::abort();
      out.events.push_back(std::move(event));
    }
  }
  for (const auto& release : held.take_releases()) {
    if (const auto* key = std::get_if<halvorine::KeyEvent>(&release); key && key->pressed) std::abort();
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t chunk = 1 + data[0] % 17;
  const std::span<const std::uint8_t> stream(data + 1, size - 1);
  const Decoded split = decode(stream, chunk);
  const Decoded whole = decode(stream, stream.size() + 1);
  if (split.events != whole.events || split.dropped != whole.dropped || split.end != whole.end) {
    std::abort();
  }
  return 0;
}
