// Construction of the DesktopDuplicator: the output search, the duplication
// set-up with its step names, and the fall-back to GDI-only mode.
#include <fmt/format.h>

#include "capture/desktop_duplicator.h"
#include "capture/output_search.h"

namespace halvorine {

DesktopDuplicator::DesktopDuplicator(CapturePlatform& platform, Logger& log, const Clock& clock)
    : platform_(&platform), log_(&log), clock_(&clock), owner_thread_(std::this_thread::get_id()) {}

DesktopDuplicator::DesktopDuplicator(DesktopDuplicator&&) noexcept = default;
DesktopDuplicator& DesktopDuplicator::operator=(DesktopDuplicator&&) noexcept = default;
DesktopDuplicator::~DesktopDuplicator() = default;

DesktopDuplicator DesktopDuplicator::create(CapturePlatform& platform, Logger& log, const Clock& clock,
                                            std::uint32_t output_index) {
  DesktopDuplicator duplicator(platform, log, clock);
  if (Result<void> set_up = duplicator.set_up_duplication(output_index); !set_up) {
    duplicator.become_gdi_only(set_up.error());
  }
  return duplicator;
}

DesktopDuplicator DesktopDuplicator::create(Logger& log, const Clock& clock, std::uint32_t output_index) {
  std::unique_ptr<CapturePlatform> platform = make_capture_platform();
  DesktopDuplicator duplicator = create(*platform, log, clock, output_index);
  duplicator.owned_platform_ = std::move(platform);
  return duplicator;
}

Result<void> DesktopDuplicator::set_up_duplication(std::uint32_t output_index) {
  // Every object obtained here is released when this returns, whatever the
  // outcome; only the session is kept.
  Result<std::unique_ptr<CaptureFactory>> factory = platform_->create_factory();
  if (!factory) return std::unexpected(std::move(factory.error()).context("CreateDXGIFactory1"));

  std::optional<FoundOutput> found = find_output(**factory, output_index);
  if (!found) {
    return std::unexpected(Error::last_os().context("EnumOutputs(search): no DXGI output"));
  }
  CaptureAdapter& adapter = *found->adapter;
  if (auto step = adapter.create_device(); !step) {
    return std::unexpected(std::move(step.error()).context("D3D11CreateDevice"));
  }
  if (auto step = adapter.open_output(found->index_on_adapter); !step) {
    return std::unexpected(std::move(step.error()).context("EnumOutputs(final)"));
  }
  if (auto step = adapter.query_output1(); !step) {
    return std::unexpected(std::move(step.error()).context("cast IDXGIOutput1"));
  }
  Result<OutputDescription> description = adapter.output_description();
  if (!description) return std::unexpected(std::move(description.error()).context("GetDesc"));
  const Rect& desktop = description->desktop_coordinates;
  std::int64_t width = std::int64_t{desktop.right} - desktop.left;
  std::int64_t height = std::int64_t{desktop.bottom} - desktop.top;
  if (description->rotation == kRotation90 || description->rotation == kRotation270) {
    std::swap(width, height);
  }
  // An empty or inverted rectangle would size the staging image from garbage.
  if (width <= 0 || height <= 0) {
    return std::unexpected(Error::message(fmt::format("empty desktop rectangle {}x{}", width, height))
                               .context("GetDesc"));
  }
  if (auto step = adapter.duplicate_output(); !step) {
    return std::unexpected(std::move(step.error()).context("DuplicateOutput"));
  }
  Result<std::unique_ptr<DuplicationSession>> session =
      adapter.create_session(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height));
  if (!session) return std::unexpected(std::move(session.error()));

  width_ = static_cast<std::uint32_t>(width);
  height_ = static_cast<std::uint32_t>(height);
  rotation_ = description->rotation;
  output_index_ = output_index;
  session_ = std::move(*session);
  return {};
}

void DesktopDuplicator::become_gdi_only(const Error& error) {
  log_->log(fmt::format("DesktopDuplicator: init DXGI esuat ({}) — trec pe GDI-only", error.text()));
  const ScreenMetrics metrics = platform_->screen_metrics();
  std::int32_t width = metrics.virtual_width < 1 ? metrics.screen_width : metrics.virtual_width;
  std::int32_t height = metrics.virtual_height < 1 ? metrics.screen_height : metrics.virtual_height;
  width_ = static_cast<std::uint32_t>(std::max(width, 0));
  height_ = static_cast<std::uint32_t>(std::max(height, 0));
  log_->log(fmt::format("DesktopDuplicator: mod GDI-only activ ({}x{})", width_, height_));
  session_.reset();
  rotation_ = kRotationIdentity;
  output_index_ = 0;
  acquire_timeout_ms_ = 16;
  shape_serial_ = 0;
  last_hash_ = 0;
  force_full_ = false;
}

}  // namespace halvorine
