// MfEventQueue over an asynchronous transform's IMFMediaEventGenerator.
//
// poll() uses GetEvent(MF_EVENT_FLAG_NO_WAIT). wait() asks with BeginGetEvent
// and waits on a Win32 event with a time limit, so a transform that never
// posts cannot hold the caller's thread; a request that timed out stays
// outstanding and its event is handed out by the next poll() or wait().
// Destroying the queue leaves an outstanding request with Media Foundation
// but takes the generator back from it, so the request no longer keeps the
// transform alive.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "common/win/com_ptr.h"
#include "encoder/transform_api.h"
#include "encoder/win/mf_sdk.h"

namespace halvorine {

class EventRequest;

class WinEventQueue final : public MfEventQueue {
 public:
  // Fails when the Win32 event for timed waits cannot be created.
  static Result<std::unique_ptr<WinEventQueue>> create(ComPtr<IMFMediaEventGenerator> generator);
  ~WinEventQueue() override;

  Result<std::optional<std::uint32_t>> poll() override;
  Result<std::optional<std::uint32_t>> wait(std::chrono::milliseconds timeout) override;

 private:
  WinEventQueue(ComPtr<IMFMediaEventGenerator> generator, ComPtr<EventRequest> request);
  // The outstanding request's event once it has completed.
  Result<std::optional<std::uint32_t>> take_completed();

  ComPtr<IMFMediaEventGenerator> generator_;
  ComPtr<EventRequest> request_;
  bool outstanding_ = false;
};

}  // namespace halvorine
