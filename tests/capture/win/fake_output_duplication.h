// A scripted IDXGIOutputDuplication for running the Windows duplication
// session on a real Direct3D 11 device where DuplicateOutput itself is not
// available (Wine). Each scripted frame hands out a real texture as the
// desktop image; the fake checks the call protocol (no acquire while a frame
// is held, no frame calls without one) and records the buffer sizes and
// waits it was given. Its lifetime belongs to the test: Release only counts.
#pragma once

#include <cstring>
#include <deque>
#include <vector>

#include "common/win/com_ptr.h"
#include "common/win/win_sdk.h"

#include <d3d11.h>
#include <dxgi1_2.h>

namespace halvorine::testing {

struct ScriptedFrame {
  HRESULT acquire_result = S_OK;
  DXGI_OUTDUPL_FRAME_INFO info{};
  ID3D11Texture2D* image = nullptr;  // not owned; the test keeps it alive
  std::vector<RECT> dirty;
  HRESULT dirty_result = S_OK;  // a failure replaces the answer
  std::vector<DXGI_OUTDUPL_MOVE_RECT> moves;
  HRESULT move_result = S_OK;
  std::vector<std::uint8_t> shape;
  DXGI_OUTDUPL_POINTER_SHAPE_INFO shape_info{};
};

class FakeOutputDuplication final : public IDXGIOutputDuplication {
 public:
  std::deque<ScriptedFrame> frames;  // an empty script answers with wait timeouts
  int acquired = 0;
  int released = 0;
  int protocol_errors = 0;
  std::vector<UINT> waits;
  std::vector<UINT> dirty_buffer_bytes;
  std::vector<UINT> move_buffer_bytes;
  ULONG references = 1;  // the test's own

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IDXGIObject) ||
        iid == __uuidof(IDXGIOutputDuplication)) {
      *object = this;
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }

  HRESULT STDMETHODCALLTYPE SetPrivateData(REFGUID, UINT, const void*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetPrivateDataInterface(REFGUID, const IUnknown*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetPrivateData(REFGUID, UINT*, void*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetParent(REFIID, void** parent) override {
    *parent = nullptr;
    return E_NOTIMPL;
  }
  void STDMETHODCALLTYPE GetDesc(DXGI_OUTDUPL_DESC* desc) override { *desc = {}; }

  HRESULT STDMETHODCALLTYPE AcquireNextFrame(UINT timeout_ms, DXGI_OUTDUPL_FRAME_INFO* info,
                                             IDXGIResource** resource) override {
    *resource = nullptr;
    if (held_) return protocol_error();
    waits.push_back(timeout_ms);
    if (frames.empty()) return DXGI_ERROR_WAIT_TIMEOUT;
    current_ = std::move(frames.front());
    frames.pop_front();
    if (FAILED(current_.acquire_result) || current_.acquire_result == DXGI_ERROR_WAIT_TIMEOUT) {
      return current_.acquire_result;
    }
    *info = current_.info;
    if (current_.image != nullptr) {
      const HRESULT hr = current_.image->QueryInterface(__uuidof(IDXGIResource),
                                                        reinterpret_cast<void**>(resource));
      if (FAILED(hr)) return hr;
    }
    held_ = true;
    ++acquired;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetFrameDirtyRects(UINT bytes, RECT* buffer, UINT* required) override {
    dirty_buffer_bytes.push_back(bytes);
    return answer(current_.dirty, current_.dirty_result, bytes, buffer, required);
  }
  HRESULT STDMETHODCALLTYPE GetFrameMoveRects(UINT bytes, DXGI_OUTDUPL_MOVE_RECT* buffer,
                                              UINT* required) override {
    move_buffer_bytes.push_back(bytes);
    return answer(current_.moves, current_.move_result, bytes, buffer, required);
  }
  HRESULT STDMETHODCALLTYPE GetFramePointerShape(UINT bytes, void* buffer, UINT* required,
                                                 DXGI_OUTDUPL_POINTER_SHAPE_INFO* info) override {
    const HRESULT hr = answer(current_.shape, S_OK, bytes, static_cast<std::uint8_t*>(buffer), required);
    if (SUCCEEDED(hr)) *info = current_.shape_info;
    return hr;
  }

  HRESULT STDMETHODCALLTYPE MapDesktopSurface(DXGI_MAPPED_RECT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE UnMapDesktopSurface() override { return E_NOTIMPL; }

  HRESULT STDMETHODCALLTYPE ReleaseFrame() override {
    if (!held_) return protocol_error();
    held_ = false;
    ++released;
    return S_OK;
  }

  bool holds_frame() const { return held_; }

 private:
  HRESULT protocol_error() {
    ++protocol_errors;
    return DXGI_ERROR_INVALID_CALL;
  }

  template <typename Entry>
  HRESULT answer(const std::vector<Entry>& entries, HRESULT result, UINT bytes, Entry* buffer, UINT* required) {
    if (!held_) return protocol_error();
    if (FAILED(result)) return result;
    const UINT needed = static_cast<UINT>(entries.size() * sizeof(Entry));
    *required = needed;
    if (bytes < needed) return DXGI_ERROR_MORE_DATA;
    if (needed != 0) std::memcpy(buffer, entries.data(), needed);
    return S_OK;
  }

  bool held_ = false;
  ScriptedFrame current_;
};

}  // namespace halvorine::testing
