// InputSink on Win32: SendInput into the input stream of the desktop the
// calling thread is attached to; layouts read from that desktop's foreground
// thread.
#pragma once

#include "bin/worker/inject/input_sink.h"

namespace halvorine {

class WinInputSink final : public InputSink {
 public:
  SendOutcome send(std::span<const InputRecord> records) override;
  bool is_down(std::uint16_t virtual_key) override;
  std::optional<std::uint16_t> layout_virtual_key(std::uint16_t scan_code) override;

 private:
  static constexpr unsigned kSendsPerDrain = 64;
  void drain_thread_messages();
  unsigned sends_since_drain_ = 0;
};

}  // namespace halvorine
