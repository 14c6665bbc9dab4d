// Test peer for the view under Wine: serves \\.\pipe\halvorine-secure-video
// for one connection per argument, then exits (the Windows twin of
// host/record_server.py):
//   huge        a length field of 80 MiB, then nothing
//   garbage     one record of bytes that are not H.264
//   FILE.h264   the Annex-B file's access units (split before each access
//               unit delimiter) as records, 30 a second, then the end
// Prints "served ITEM" after each.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/win/unique_handle.h"
#include "common/win/win_sdk.h"

namespace {

bool write_record(HANDLE pipe, const std::uint8_t* bytes, std::uint32_t length, std::uint32_t announced) {
  const std::uint8_t header[4] = {static_cast<std::uint8_t>(announced), static_cast<std::uint8_t>(announced >> 8),
                                  static_cast<std::uint8_t>(announced >> 16), static_cast<std::uint8_t>(announced >> 24)};
  DWORD written = 0;
  return WriteFile(pipe, header, 4, &written, nullptr) && (length == 0 || WriteFile(pipe, bytes, length, &written, nullptr));
}

void serve(HANDLE pipe, const std::string& item) {
  if (item == "huge") {
    write_record(pipe, nullptr, 0, 80u << 20);
    Sleep(1000);
    return;
  }
  if (item == "garbage") {
    const std::string text = "this is not H.264 at all";
    write_record(pipe, reinterpret_cast<const std::uint8_t*>(text.data()), static_cast<std::uint32_t>(text.size()),
                 static_cast<std::uint32_t>(text.size()));
    Sleep(1000);
    return;
  }
  std::ifstream file(item, std::ios::binary);
  const std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::uint8_t delimiter[5] = {0, 0, 0, 1, 9};
  std::vector<std::size_t> starts;
  for (std::size_t i = 0; i + 5 <= data.size(); ++i) {
    if (std::equal(delimiter, delimiter + 5, data.begin() + static_cast<std::ptrdiff_t>(i))) starts.push_back(i);
  }
  starts.push_back(data.size());
  for (std::size_t i = 0; i + 1 < starts.size(); ++i) {
    const auto length = static_cast<std::uint32_t>(starts[i + 1] - starts[i]);
    if (!write_record(pipe, data.data() + starts[i], length, length)) return;
    Sleep(33);
  }
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    halvorine::UniqueHandle pipe(CreateNamedPipeW(L"\\\\.\\pipe\\halvorine-secure-video", PIPE_ACCESS_DUPLEX,
                                                  PIPE_TYPE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0, nullptr));
    if (!pipe) {
      std::fprintf(stderr, "record_feeder: CreateNamedPipeW failed (%lu)\n", GetLastError());
      return 1;
    }
    if (!ConnectNamedPipe(pipe.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return 1;
    serve(pipe.get(), argv[i]);
    FlushFileBuffers(pipe.get());
    DisconnectNamedPipe(pipe.get());
    std::printf("served %s\n", argv[i]);
    std::fflush(stdout);
  }
  return 0;
}
