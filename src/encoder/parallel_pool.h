// A small fixed pool of worker threads for data-parallel loops (the NV12
// conversion). The calling thread takes part in every loop and waits for the
// rest, so a pool of N threads starts N − 1 workers. A loop allocates nothing.
//
// Threading: run() may be called from any thread; concurrent calls take turns.
// The body must not call run() on the same pool. A body should not throw
// (allocate its scratch before the loop, per slot); if it does, the loop
// stops handing out ranges, every thread leaves it, and only then does run()
// return the error, so nothing still runs on the caller's stack.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/error.h"

namespace halvorine {

class ParallelPool {
 public:
  // `threads` counts the calling thread; 0 is taken as 1. If the system
  // refuses to start a worker, the pool runs with the ones it has.
  explicit ParallelPool(unsigned threads);
  ~ParallelPool();  // stops and joins the workers
  ParallelPool(const ParallelPool&) = delete;
  ParallelPool& operator=(const ParallelPool&) = delete;

  // The calling thread plus the workers that actually started.
  unsigned thread_count() const { return static_cast<unsigned>(workers_.size()) + 1; }

  // Calls body(begin, end), or body(begin, end, slot), on disjoint ranges
  // that together cover [0, items), spread over the pool's threads in chunks
  // taken on demand. `slot` (< thread_count(), 0 for the calling thread)
  // names the thread running the range: scratch sized per slot before the
  // loop needs no allocation inside it. An exception thrown by the body ends
  // the loop early and comes back as the error, with its text; the pool
  // stays usable.
  template <typename Body>
  Result<void> run(std::size_t items, Body&& body) {
    using Plain = std::remove_reference_t<Body>;
    return run_erased(
        items,
        [](void* context, std::size_t begin, std::size_t end, unsigned slot) {
          auto& plain = *static_cast<Plain*>(context);
          if constexpr (std::is_invocable_v<Plain&, std::size_t, std::size_t, unsigned>) {
            plain(begin, end, slot);
          } else {
            plain(begin, end);
          }
        },
        const_cast<void*>(static_cast<const void*>(&body)));
  }

  // The process-wide pool, sized to the machine (logical processors, at most
  // 8), created on first use and kept until the process ends.
  static ParallelPool& shared();

 private:
  using Function = void (*)(void* context, std::size_t begin, std::size_t end, unsigned slot);

  struct Job {
    Function function = nullptr;
    void* context = nullptr;
    std::size_t items = 0;
    std::size_t chunk = 1;
    std::atomic<std::size_t> next{0};  // first item not yet handed out
    std::atomic<bool> failed{false};
    std::exception_ptr failure;  // the first exception; written by its thread only
  };

  Result<void> run_erased(std::size_t items, Function function, void* context);
  void work_on_current_job(unsigned slot) noexcept;
  void worker_main(unsigned slot);

  std::mutex run_mutex_;  // one loop at a time
  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable workers_idle_;
  std::uint64_t generation_ = 0;
  unsigned active_workers_ = 0;
  bool stopping_ = false;
  Job job_;
  std::vector<std::thread> workers_;
};

}  // namespace halvorine
