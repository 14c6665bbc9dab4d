// Test peer for the flood tests: writes MEGABYTES of mouse moves to the input
// pipe as fast as the pipe takes them, between a ShiftLeft press and its
// release, and reports how fast the worker took them:
//   input_flood PIPE MEGABYTES
// The moves alternate between two points, so each one really moves the
// pointer, and the last one goes to x 40000, y 30000. Prints on standard
// output: "moves=N bytes=B seconds=S moves_per_second=R".
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "client_pipe.h"
#include "input_messages.h"

namespace {

// The wire bytes of one message in halvorine-client's language.
std::vector<std::uint8_t> bytes_of(const char* message) {
  return halvorine::client::parse_client_message(message)->bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: input_flood PIPE MEGABYTES\n");
    return 2;
  }
  const long long megabytes = std::atoll(argv[2]);
  auto opened = halvorine::client::open_client_pipe(argv[1]);
  for (int attempt = 0; !opened && attempt < 1000; ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the worker is starting
    opened = halvorine::client::open_client_pipe(argv[1]);
  }
  if (!opened) {
    std::fprintf(stderr, "input_flood: cannot open %s: %s\n", argv[1], opened.error().detail.c_str());
    return 3;
  }
  auto& pipe = **opened;
  auto write = [&](const std::vector<std::uint8_t>& bytes) {
    if (auto written = pipe.write_all(bytes); !written) {
      std::fprintf(stderr, "input_flood: write failed: %s\n", written.error().text().c_str());
      std::exit(1);
    }
  };

  // 7282 moves per block: just under 64 KiB, the size of a pipe's buffer.
  std::vector<std::uint8_t> block;
  const auto there = bytes_of("mouse 1000 1000"), back = bytes_of("mouse 2000 2000");
  for (int i = 0; i < 7282 / 2; ++i) {
    block.insert(block.end(), there.begin(), there.end());
    block.insert(block.end(), back.begin(), back.end());
  }
  const long long moves_per_block = static_cast<long long>(block.size() / 9);
  const long long blocks = (megabytes * 1'000'000 + static_cast<long long>(block.size()) - 1) /
                           static_cast<long long>(block.size());

  const auto start = std::chrono::steady_clock::now();
  write(bytes_of("key ShiftLeft down"));
  for (long long i = 0; i < blocks; ++i) write(block);
  write(bytes_of("mouse 40000 30000"));
  write(bytes_of("key ShiftLeft up"));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const long long moves = blocks * moves_per_block + 1;
  std::printf("moves=%lld bytes=%lld seconds=%.2f moves_per_second=%.0f\n", moves, moves * 9 + 2 * 13,
              seconds, moves / seconds);
  return 0;
}
