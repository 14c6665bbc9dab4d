#include "capture/output_search.h"

namespace halvorine {

std::optional<FoundOutput> find_output(CaptureFactory& factory, std::uint32_t output_index) {
  std::uint32_t counter = 0;
  for (std::uint32_t adapter_index = 0;; ++adapter_index) {
    std::unique_ptr<CaptureAdapter> adapter = factory.enum_adapter(adapter_index);
    if (!adapter) return std::nullopt;
    for (std::uint32_t output = 0; adapter->has_output(output); ++output, ++counter) {
      if (counter == output_index) return FoundOutput{std::move(adapter), output};
    }
  }
}

}  // namespace halvorine
