// InputSink on Win32: SendInput into the input stream of the desktop the
// calling thread is attached to.
#pragma once

#include "bin/worker/inject/input_sink.h"

namespace halvorine {

class WinInputSink final : public InputSink {
 public:
  SendOutcome send(std::span<const InputRecord> records) override;
};

}  // namespace halvorine
