#include "capture/win/direct3d_library.h"

namespace halvorine {
namespace {

template <typename Functions, typename Function>
Result<Functions> load_one(const char* library_name, Function* Functions::*member,
                           const char* symbol) {
  auto library = SystemLibrary::load(library_name);
  if (!library) return std::unexpected(std::move(library.error()));
  Functions functions;
  if (auto resolved = library->resolve(functions.*member, symbol); !resolved) {
    return std::unexpected(std::move(resolved.error()));
  }
  std::move(*library).keep_loaded();
  return functions;
}

}  // namespace

const Result<Direct3dLibrary>& direct3d_library() {
  static const Result<Direct3dLibrary> loaded =
      load_one("d3d11.dll", &Direct3dLibrary::create_device, "D3D11CreateDevice");
  return loaded;
}

const Result<DxgiLibrary>& dxgi_library() {
  static const Result<DxgiLibrary> loaded =
      load_one("dxgi.dll", &DxgiLibrary::create_factory, "CreateDXGIFactory1");
  return loaded;
}

}  // namespace halvorine
