// Finding an output by its global index: adapters in order, the outputs of
// each in order, one counter across all of them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "capture/capture_platform.h"

namespace halvorine {

struct FoundOutput {
  std::unique_ptr<CaptureAdapter> adapter;
  std::uint32_t index_on_adapter = 0;
};

// The adapter holding output `output_index` and the output's index on it;
// nullopt when there are fewer outputs. An adapter without outputs is
// skipped; the first adapter that cannot be enumerated ends the search.
std::optional<FoundOutput> find_output(CaptureFactory& factory, std::uint32_t output_index);

}  // namespace halvorine
