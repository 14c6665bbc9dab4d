// The Media Foundation headers, after the project's SDK settings.
#pragma once

#include "common/win/win_sdk.h"
// clang-format off: these need windows.h (through win_sdk.h) first.
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mftransform.h>
#include <strmif.h>  // ICodecAPI
// clang-format on

#include <cstdint>

#include "common/error.h"

namespace halvorine {

// A failed platform call as the transform seam reports it: the HRESULT with
// the system's message.
inline Error hresult_error(HRESULT hr) { return Error::hresult(static_cast<std::int32_t>(hr)); }

}  // namespace halvorine
