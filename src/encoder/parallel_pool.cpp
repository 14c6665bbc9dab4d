#include "encoder/parallel_pool.h"

#include <algorithm>
#include <string>
#include <system_error>

namespace halvorine {

ParallelPool::ParallelPool(unsigned threads) {
  const unsigned wanted_workers = threads > 1 ? threads - 1 : 0;
  workers_.reserve(wanted_workers);
  for (unsigned i = 0; i < wanted_workers; ++i) {
    try {
      workers_.emplace_back([this, slot = i + 1] { worker_main(slot); });
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

Result<void> ParallelPool::run_erased(std::size_t items, Function function, void* context) {
  if (items == 0) return {};
  std::lock_guard turn(run_mutex_);
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
    job_.chunk = workers_.empty() ? items : std::max<std::size_t>(1, items / (std::size_t{thread_count()} * 4));
    job_.next.store(0, std::memory_order_relaxed);
    job_.failed.store(false, std::memory_order_relaxed);
    job_.failure = nullptr;
    if (!workers_.empty()) ++generation_;
  }
  work_ready_.notify_all();
  work_on_current_job(0);
  {
    std::unique_lock lock(mutex_);
    // Every handed-out chunk belongs to the caller or to an active worker:
    // after this wait nothing runs on the caller's stack any more.
    workers_idle_.wait(lock, [this] { return active_workers_ == 0; });
  }
  if (!job_.failed.load(std::memory_order_relaxed)) return {};
  const std::exception_ptr failure = std::exchange(job_.failure, nullptr);
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& error) {
    return std::unexpected(Error::message(std::string("parallel loop: ") + error.what()));
  } catch (...) {
    return std::unexpected(Error::message("parallel loop: unknown exception"));
  }
}

void ParallelPool::work_on_current_job(unsigned slot) noexcept {
  for (;;) {
    const std::size_t begin = job_.next.fetch_add(job_.chunk, std::memory_order_relaxed);
    if (begin >= job_.items) return;
    try {
      job_.function(job_.context, begin, std::min(job_.items, begin + job_.chunk), slot);
    } catch (...) {
      // The first failure is kept (taking it allocates nothing); no further
      // range is handed out, and the caller reports it once all have left.
      if (!job_.failed.exchange(true)) job_.failure = std::current_exception();
      job_.next.store(job_.items, std::memory_order_relaxed);
      return;
    }
  }
}

void ParallelPool::worker_main(unsigned slot) {
  std::unique_lock lock(mutex_);
  std::uint64_t seen = generation_;
  for (;;) {
    work_ready_.wait(lock, [&] { return stopping_ || generation_ != seen; });
    if (stopping_) return;
    seen = generation_;
    ++active_workers_;
    lock.unlock();
    work_on_current_job(slot);
    lock.lock();
    if (--active_workers_ == 0) workers_idle_.notify_all();
  }
}

}  // namespace halvorine
