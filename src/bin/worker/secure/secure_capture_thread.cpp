#include "bin/worker/secure/secure_capture_thread.h"

#include "bin/worker/secure/com_apartment.h"
#include "bin/worker/secure/product_stream_backend.h"
#include "bin/worker/secure/secure_capture_log.h"
#include "desktop/desktop_api.h"

namespace halvorine {

void run_secure_capture_thread(VideoSender frames, KeyFrameRequest& key_frames, Logger& log, const Clock& clock,
                               std::string secure_desktop) {
  // Before any capture or encoder object exists: they are COM objects.
  const ComApartment com;
  const auto desktops = make_desktop_api();
  // Never destroyed before the thread's objects: declared first.
  SecureCaptureLog capture_log(log, clock);
  ProductStreamBackend backend(capture_log, clock);
  SecureCaptureLoop loop(*desktops, backend, std::move(frames), key_frames, capture_log, clock,
                         std::move(secure_desktop));
  for (;;) loop.step();
}

}  // namespace halvorine
