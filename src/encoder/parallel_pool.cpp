#include "encoder/parallel_pool.h"

#include <algorithm>
#include <system_error>

namespace halvorine {

ParallelPool::ParallelPool(unsigned threads) {
  const unsigned wanted_workers = threads > 1 ? threads - 1 : 0;
  workers_.reserve(wanted_workers);
  for (unsigned i = 0; i < wanted_workers; ++i) {
    try {
      workers_.emplace_back([this] { worker_main(); });
    } catch (const std::system_error&) {
      break;  // the calling thread alone can still do all the work
    }
  }
}

ParallelPool::~ParallelPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  work_ready_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

ParallelPool& ParallelPool::shared() {
  // Never destroyed: joining threads from static destructors at process exit
  // is fragile on Windows, and idle workers cost nothing.
  static ParallelPool* const pool = [] {
    const unsigned processors = std::thread::hardware_concurrency();
    return new ParallelPool(std::clamp(processors, 1U, 8U));
  }();
  return *pool;
}

void ParallelPool::run_erased(std::size_t items, Function function, void* context) {
  if (items == 0) return;
  std::lock_guard turn(run_mutex_);
  if (workers_.empty()) {
    function(context, 0, items);
    return;
  }
  {
    std::unique_lock lock(mutex_);
    // A worker that woke late for the previous loop may still be looking at
    // it; the job is only replaced once every worker has left it.
    workers_idle_.wait(lock, [this] { return active_workers_ == 0; });
    job_.function = function;
    job_.context = context;
    job_.items = items;
    // Several chunks per thread so a thread that falls behind (or starts
    // late) is balanced by the others.
    job_.chunk = std::max<std::size_t>(1, items / (std::size_t{thread_count()} * 4));
    job_.next.store(0, std::memory_order_relaxed);
    ++generation_;
  }
  work_ready_.notify_all();
  work_on_current_job();
  std::unique_lock lock(mutex_);
  // Every handed-out chunk belongs to the caller or to an active worker.
  workers_idle_.wait(lock, [this] { return active_workers_ == 0; });
}

void ParallelPool::work_on_current_job() {
  for (;;) {
    const std::size_t begin = job_.next.fetch_add(job_.chunk, std::memory_order_relaxed);
    if (begin >= job_.items) return;
    job_.function(job_.context, begin, std::min(job_.items, begin + job_.chunk));
  }
}

void ParallelPool::worker_main() {
  std::unique_lock lock(mutex_);
  std::uint64_t seen = generation_;
  for (;;) {
    work_ready_.wait(lock, [&] { return stopping_ || generation_ != seen; });
    if (stopping_) return;
    seen = generation_;
    ++active_workers_;
    lock.unlock();
    work_on_current_job();
    lock.lock();
    if (--active_workers_ == 0) workers_idle_.notify_all();
  }
}

}  // namespace halvorine
