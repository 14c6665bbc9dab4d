// The secure-video pipe writer's request for a key frame, taken by the
// secure-capture thread before its next encode. A GUI that has just connected
// can decode nothing until a key frame arrives, and the refresh key frames are
// rare while the screen keeps changing.
//
// Lock-free and never blocking: the writer (on the runtime's thread) and the
// capture thread only load and store atomics. It also tells the writer which
// frames were sent before the request was honoured, so that a new GUI's first
// record is the key frame and not a frame it cannot decode. Frames are
// numbered by the order they enter the video channel: the capture thread
// counts the frames the channel accepted, the writer the frames it took out.
// The writer requests only after draining the channel, so the key frame
// cannot be drained with the stale frames; the encoder passes nothing after
// the request before its key frame (VideoEncoder), so the first frame not
// stale is the key frame.
#pragma once

#include <atomic>
#include <cstdint>

namespace halvorine {

class KeyFrameRequest {
 public:
  // Writer: a GUI was accepted; every frame already sent is stale for it.
  void request() noexcept { pending_.store(true, std::memory_order_release); }

  // Capture thread: whether a request waits (a still screen then gets its
  // key frame without waiting for the refresh).
  bool pending() const noexcept { return pending_.load(std::memory_order_acquire); }

  // Capture thread, before each encode: true, once per request (requests
  // made before it is taken merge), when the next output must be a key frame.
  // `frames_sent` counts the frames the channel has accepted so far.
  bool take(std::uint64_t frames_sent) noexcept {
    if (!pending_.load(std::memory_order_acquire)) return false;
    // The boundary is published before the request is cleared, so a writer
    // that sees it cleared sees this boundary or a later one.
    stale_through_.store(frames_sent, std::memory_order_relaxed);
    pending_.store(false, std::memory_order_release);
    return true;
  }

  // Writer: whether the `frame_number`-th frame taken from the channel (from
  // 1) was sent before the capture thread honoured the last request. While
  // the request is pending every frame taken is stale: it was sent already.
  bool stale(std::uint64_t frame_number) const noexcept {
    if (pending_.load(std::memory_order_acquire)) return true;
    return frame_number <= stale_through_.load(std::memory_order_relaxed);
  }

 private:
  std::atomic<bool> pending_{false};
  std::atomic<std::uint64_t> stale_through_{0};
};

}  // namespace halvorine
