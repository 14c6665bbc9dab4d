#include "encoder/key_frame_gate.h"

#include "encoder/annex_b.h"

namespace halvorine {

bool KeyFrameGate::pass(EncodedFrame& output) {
  if (open_ || output.empty()) return false;
  if (const auto start = key_frame_start(output)) {
    // Access units before the key frame (an asynchronous transform's late
    // output of earlier pictures) depend on what the GUI did not get.
    output.erase(output.begin(), output.begin() + static_cast<std::ptrdiff_t>(*start));
    open_ = true;
    return false;
  }
  output.clear();
  if (++drops_ < kDropsBeforeAskingAgain) return false;
  drops_ = 0;
  return true;
}

}  // namespace halvorine
