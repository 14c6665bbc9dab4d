// d3d11.dll and dxgi.dll, loaded at run time (see common/win/system_library.h):
// without them duplication cannot be set up and capture runs GDI-only.
#pragma once

#include "common/error.h"
#include "common/win/system_library.h"
#include "common/win/win_sdk.h"

#include <d3d11.h>
#include <dxgi1_2.h>

namespace halvorine {

struct Direct3dLibrary {
  decltype(&::D3D11CreateDevice) create_device = nullptr;
};

struct DxgiLibrary {
  decltype(&::CreateDXGIFactory1) create_factory = nullptr;
};

// Loaded on the first call; the answer holds for the process and the
// libraries stay loaded (devices and factories may outlive any one user).
const Result<Direct3dLibrary>& direct3d_library();
const Result<DxgiLibrary>& dxgi_library();

}  // namespace halvorine
