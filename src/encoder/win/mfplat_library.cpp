#include "encoder/win/mfplat_library.h"

namespace halvorine {
namespace {

Result<MfplatLibrary> load_mfplat() {
  auto library = SystemLibrary::load("mfplat.dll");
  if (!library) return std::unexpected(std::move(library.error()));
  MfplatLibrary f;
  for (auto resolved : {library->resolve(f.startup, "MFStartup"),
                        library->resolve(f.shutdown, "MFShutdown"),
                        library->resolve(f.enumerate_transforms, "MFTEnumEx"),
                        library->resolve(f.create_media_type, "MFCreateMediaType"),
                        library->resolve(f.create_memory_buffer, "MFCreateMemoryBuffer"),
                        library->resolve(f.create_sample, "MFCreateSample")}) {
    if (!resolved) return std::unexpected(std::move(resolved.error()));
  }
  std::move(*library).keep_loaded();
  return f;
}

}  // namespace

const Result<MfplatLibrary>& mfplat_library() {
  static const Result<MfplatLibrary> loaded = load_mfplat();
  return loaded;
}

}  // namespace halvorine
