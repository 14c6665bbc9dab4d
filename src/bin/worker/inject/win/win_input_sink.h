// InputSink on Win32: SendInput into the input stream of the desktop the
// calling thread is attached to.
#pragma once

#include "bin/worker/inject/input_sink.h"

namespace halvorine {

class WinInputSink final : public InputSink {
 public:
  SendOutcome send(std::span<const InputRecord> records) override;
  bool is_down(std::uint16_t virtual_key) override;

 private:
  static constexpr unsigned kSendsPerDrain = 64;
  void drain_thread_messages();
  unsigned sends_since_drain_ = 0;
};

}  // namespace halvorine
