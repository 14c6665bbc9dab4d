// mfplat.dll, loaded at run time (see common/win/system_library.h): the
// Media Foundation functions the worker's encoder and the view's decoder call.
#pragma once

#include "common/error.h"
#include "common/win/system_library.h"
#include "encoder/win/mf_sdk.h"

namespace halvorine {

struct MfplatLibrary {
  decltype(&::MFStartup) startup = nullptr;
  decltype(&::MFShutdown) shutdown = nullptr;
  decltype(&::MFTEnumEx) enumerate_transforms = nullptr;
  decltype(&::MFCreateMediaType) create_media_type = nullptr;
  decltype(&::MFCreateMemoryBuffer) create_memory_buffer = nullptr;
  decltype(&::MFCreateSample) create_sample = nullptr;
};

// Loaded and resolved on the first call, by whichever thread makes it; the
// answer (the functions, or why there are none) holds for the process. The
// library is never unloaded: transforms it made may outlive any one user.
const Result<MfplatLibrary>& mfplat_library();

}  // namespace halvorine
