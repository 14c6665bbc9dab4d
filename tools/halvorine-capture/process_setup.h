// What the capture tool asks of its process before it captures.
#pragma once

namespace halvorine {

// Windows: per-monitor DPI awareness, so screen metrics and GDI captures are
// in physical pixels as the worker sees them. Nothing elsewhere.
void prepare_capture_process();

}  // namespace halvorine
