// The DesktopDuplicator: captures one display output as a stream of
// CapturedFrame records, by desktop duplication when it can be set up and by
// GDI captures of the virtual screen (GDI-only mode) otherwise.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "capture/capture_platform.h"
#include "capture/captured_frame.h"
#include "common/clock.h"
#include "common/error.h"
#include "common/logger.h"

namespace halvorine {

class DesktopDuplicator {
 public:
  // Sets up duplication of the output with global index `output_index`
  // (adapters in order, their outputs in order). Any set-up failure is
  // logged and yields a GDI-only duplicator instead. The duplicator is bound
  // to the calling thread. `platform`, `log` and `clock` must outlive it.
  static DesktopDuplicator create(CapturePlatform& platform, Logger& log, const Clock& clock,
                                  std::uint32_t output_index);
  // The same on this machine's own platform, which the duplicator then owns.
  static DesktopDuplicator create(Logger& log, const Clock& clock, std::uint32_t output_index);

  DesktopDuplicator(DesktopDuplicator&&) noexcept;
  DesktopDuplicator& operator=(DesktopDuplicator&&) noexcept;
  DesktopDuplicator(const DesktopDuplicator&) = delete;
  DesktopDuplicator& operator=(const DesktopDuplicator&) = delete;
  ~DesktopDuplicator();

  // The next frame: nullopt when nothing changed within the wait, a pointer-
  // only update (empty pixels), or a complete image with its changed
  // rectangles; the image is the duplicator's own and valid until the next
  // capture (see CapturedFrame). `timeout_ms` bounds the wait for a duplicated frame (at least
  // 8 ms are always allowed); GDI-only mode ignores it and paces itself to
  // about 30 calls per second. An error (duplication only) means the
  // duplicator should be dropped and built anew. Calling it from any thread
  // but the creating one is a fatal stop.
  Result<std::optional<CapturedFrame>> capture(std::uint32_t timeout_ms);

  // A complete image of the output in its native orientation (the size of
  // duplicated frames), or of the whole virtual screen in GDI-only mode.
  // nullopt on any failure; a rotation that does not give the duplicator's
  // size is logged. Runs on the duplicator's thread.
  std::optional<std::vector<std::uint8_t>> capture_gdi_full() const;

  std::uint32_t width() const { return width_; }
  std::uint32_t height() const { return height_; }
  bool gdi_only() const { return session_ == nullptr; }
  // DXGI_MODE_ROTATION of the output; identity in GDI-only mode.
  std::uint32_t rotation() const { return rotation_; }
  std::uint32_t output_index() const { return output_index_; }
  // The current wait bound of duplication mode, 8..50 ms once adapted.
  std::uint32_t acquire_timeout_ms() const { return acquire_timeout_ms_; }

 private:
  DesktopDuplicator(CapturePlatform& platform, Logger& log, const Clock& clock);
  Result<void> set_up_duplication(std::uint32_t output_index);
  void become_gdi_only(const Error& error);

  Result<std::optional<CapturedFrame>> capture_duplicated(std::uint32_t timeout_ms);
  std::optional<CapturedFrame> capture_gdi_only();
  std::vector<Rect> changed_rects();
  void copy_region(const MappedStaging& mapped, const Rect& rect);

  std::unique_ptr<CapturePlatform> owned_platform_;  // only for the production overload
  CapturePlatform* platform_;
  Logger* log_;
  const Clock* clock_;
  std::thread::id owner_thread_;
  std::unique_ptr<DuplicationSession> session_;  // absent: GDI-only mode
  // The screen as last captured, handed out by reference (CapturedFrame).
  std::vector<std::uint8_t> image_;
  bool image_complete_ = false;  // every pixel read since set-up (duplication)
  std::vector<std::uint8_t> gdi_scratch_;  // the next GDI-only capture's buffer
  std::vector<Rect> dirty_scratch_;
  std::vector<MoveRect> move_scratch_;
  std::uint64_t last_hash_ = 0;
  std::uint32_t acquire_timeout_ms_ = 16;
  std::uint32_t width_ = 0;
  std::uint32_t height_ = 0;
  std::uint32_t rotation_ = kRotationIdentity;
  std::uint32_t shape_serial_ = 0;
  std::uint32_t output_index_ = 0;
  bool force_full_ = false;
};

}  // namespace halvorine
