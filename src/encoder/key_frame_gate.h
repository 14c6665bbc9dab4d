// Holds back encoder output a decoder could not use. Closed (after a loss, a
// new GUI or a new encoder), it drops every output until one carries a key
// frame (an IDR with its parameter sets) and passes that one from the key
// frame's access unit on, so nothing that depends on a lost picture, or on
// another encoder's parameter sets, reaches the GUI.
//
// Threading: one thread (the encoder's).
#pragma once

#include "encoder/encoded_frame.h"

namespace halvorine {

class KeyFrameGate {
 public:
  // An encoder that ignores a key-frame request is asked again after this
  // many dropped outputs (a second at 30 fps).
  static constexpr unsigned kDropsBeforeAskingAgain = 30;

  // Starts closed: an encoder's first output must be a key frame.
  KeyFrameGate() = default;

  // From now on, nothing passes before the next key frame.
  void close() {
    open_ = false;
    drops_ = 0;
  }
  bool open() const { return open_; }

  // Leaves in `output` what may go to the GUI: all of it while open; while
  // closed, nothing, or the tail from the key frame on (which opens the
  // gate). True when the encoder should be asked for a key frame again.
  bool pass(EncodedFrame& output);

 private:
  bool open_ = false;
  unsigned drops_ = 0;
};

}  // namespace halvorine
