#include "encoder/win/win_event_queue.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "common/win/unique_handle.h"

namespace halvorine {

// The callback of BeginGetEvent. Media Foundation holds a reference while a
// request is outstanding and calls Invoke on one of its threads; Invoke only
// collects the event and signals. While the queue lives, the request holds the
// generator until Invoke has called EndGetEvent; the queue takes it back when
// it goes (abandon), since the generator's own queue holds the request: that
// cycle would otherwise keep a transform that never posts again alive for
// good.
class EventRequest final : public IMFAsyncCallback {
 public:
  explicit EventRequest(UniqueHandle done) : done_(std::move(done)) {}
  EventRequest(const EventRequest&) = delete;
  EventRequest& operator=(const EventRequest&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IMFAsyncCallback)) {
      *out = static_cast<IMFAsyncCallback*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&references_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }
  HRESULT STDMETHODCALLTYPE GetParameters(DWORD*, DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(IMFAsyncResult* result) override {
    std::lock_guard lock(mutex_);
    ComPtr<IMFMediaEventGenerator> generator = std::move(generator_);
    if (generator) {
      result_ = generator->EndGetEvent(result, event_.put());
      if (SUCCEEDED(result_) && !event_) result_ = E_POINTER;
    } else {
      result_ = E_UNEXPECTED;
    }
    completed_ = true;
    SetEvent(done_.get());
    return S_OK;
  }

  // BeginGetEvent on `generator` with this callback.
  HRESULT begin(const ComPtr<IMFMediaEventGenerator>& generator) {
    {
      std::lock_guard lock(mutex_);
      completed_ = false;
      event_.reset();
      generator_ = generator.share();
      ResetEvent(done_.get());
    }
    const HRESULT hr = generator->BeginGetEvent(this, nullptr);
    if (FAILED(hr)) {
      std::lock_guard lock(mutex_);
      generator_.reset();
    }
    return hr;
  }

  HANDLE done_handle() const { return done_.get(); }

  // Drops the request's hold on the generator; a later Invoke only signals.
  // Released outside the lock: the last reference may shut the generator's
  // queue down, which may call Invoke at once.
  void abandon() {
    ComPtr<IMFMediaEventGenerator> generator;
    {
      std::lock_guard lock(mutex_);
      generator = std::move(generator_);
    }
  }

  // The completed request's outcome; nullopt while it is outstanding.
  std::optional<std::pair<HRESULT, ComPtr<IMFMediaEvent>>> take() {
    std::lock_guard lock(mutex_);
    if (!completed_) return std::nullopt;
    completed_ = false;
    return std::pair{result_, std::move(event_)};
  }

 private:
  ~EventRequest() = default;

  LONG references_ = 1;
  UniqueHandle done_;  // manual-reset, set by Invoke
  std::mutex mutex_;
  ComPtr<IMFMediaEventGenerator> generator_;  // only while outstanding
  bool completed_ = false;
  HRESULT result_ = S_OK;
  ComPtr<IMFMediaEvent> event_;
};

namespace {

Result<std::uint32_t> event_type(IMFMediaEvent* event) {
  MediaEventType type = 0;
  const HRESULT hr = event->GetType(&type);
  if (FAILED(hr)) return std::unexpected(hresult_error(hr));
  return static_cast<std::uint32_t>(type);
}

}  // namespace

Result<std::unique_ptr<WinEventQueue>> WinEventQueue::create(
    ComPtr<IMFMediaEventGenerator> generator) {
  UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!done) return std::unexpected(hresult_error(HRESULT_FROM_WIN32(GetLastError())));
  ComPtr<EventRequest> request(new EventRequest(std::move(done)));
  return std::unique_ptr<WinEventQueue>(
      new WinEventQueue(std::move(generator), std::move(request)));
}

WinEventQueue::WinEventQueue(ComPtr<IMFMediaEventGenerator> generator,
                             ComPtr<EventRequest> request)
    : generator_(std::move(generator)), request_(std::move(request)) {}

// An outstanding request stays with Media Foundation until the transform
// posts its next event or shuts its queue down; it no longer holds the
// transform then.
WinEventQueue::~WinEventQueue() { request_->abandon(); }

Result<std::optional<std::uint32_t>> WinEventQueue::take_completed() {
  auto outcome = request_->take();
  if (!outcome) return std::optional<std::uint32_t>{};
  outstanding_ = false;
  auto& [hr, event] = *outcome;
  if (FAILED(hr)) return std::unexpected(hresult_error(hr));
  auto type = event_type(event.get());
  if (!type) return std::unexpected(type.error());
  return std::optional<std::uint32_t>{*type};
}

Result<std::optional<std::uint32_t>> WinEventQueue::poll() {
  // GetEvent beside an outstanding request would fail; its event comes first.
  if (outstanding_) return take_completed();
  ComPtr<IMFMediaEvent> event;
  const HRESULT hr = generator_->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.put());
  if (FAILED(hr) || !event) return std::optional<std::uint32_t>{};
  auto type = event_type(event.get());
  if (!type) return std::unexpected(type.error());
  return std::optional<std::uint32_t>{*type};
}

Result<std::optional<std::uint32_t>> WinEventQueue::wait(std::chrono::milliseconds timeout) {
  if (!outstanding_) {
    const HRESULT hr = request_->begin(generator_);
    if (FAILED(hr)) return std::unexpected(hresult_error(hr));
    outstanding_ = true;
  }
  const auto limit = std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 0, INFINITE - 1);
  const DWORD waited = WaitForSingleObject(request_->done_handle(), static_cast<DWORD>(limit));
  if (waited == WAIT_FAILED) {
    return std::unexpected(hresult_error(HRESULT_FROM_WIN32(GetLastError())));
  }
  return take_completed();
}

}  // namespace halvorine
