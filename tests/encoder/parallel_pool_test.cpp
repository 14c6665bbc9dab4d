#include "encoder/parallel_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

namespace halvorine {
namespace {

// Every item is handed out exactly once, in ranges inside [0, items).
void expect_each_item_once(ParallelPool& pool, std::size_t items) {
  std::vector<std::atomic<int>> seen(items);
  std::atomic<bool> bad_range{false};
  EXPECT_TRUE(pool.run(items, [&](std::size_t begin, std::size_t end) {
    if (begin >= end || end > items) bad_range = true;
    for (std::size_t i = begin; i < end && i < items; ++i) seen[i].fetch_add(1);
  }));
  EXPECT_FALSE(bad_range);
  for (std::size_t i = 0; i < items; ++i) ASSERT_EQ(seen[i].load(), 1) << "item " << i;
}

TEST(ParallelPoolTest, CoversEveryItemOnceForAnyPoolSize) {
  for (unsigned threads : {0U, 1U, 2U, 4U}) {
    ParallelPool pool(threads);
    EXPECT_EQ(pool.thread_count(), threads == 0 ? 1U : threads);
    for (std::size_t items : {0U, 1U, 2U, 3U, 7U, 64U, 1080U}) {
      for (int repeat = 0; repeat < 25; ++repeat) expect_each_item_once(pool, items);
    }
  }
}

TEST(ParallelPoolTest, WorkersShareTheLoopAndTheCallerWaitsForThem) {
  ParallelPool pool(3);
  std::atomic<int> done{0};
  std::vector<std::thread::id> ids(600);
  pool.run(ids.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      ids[i] = std::this_thread::get_id();
      done.fetch_add(1);
    }
  });
  // run() returned: everything is done and visible here.
  EXPECT_EQ(done.load(), 600);
  for (const auto& id : ids) EXPECT_NE(id, std::thread::id());
}

TEST(ParallelPoolTest, ConcurrentCallersTakeTurns) {
  ParallelPool pool(2);
  std::atomic<int> total{0};
  auto caller = [&] {
    for (int i = 0; i < 200; ++i) {
      pool.run(50, [&](std::size_t begin, std::size_t end) {
        total.fetch_add(static_cast<int>(end - begin));
      });
    }
  };
  std::thread a(caller), b(caller);
  a.join();
  b.join();
  EXPECT_EQ(total.load(), 2 * 200 * 50);
}

// A body that throws on one thread (a failed allocation, say) while the
// others are still inside the loop: the caller gets the error only once every
// thread has left, and the pool works on.
TEST(ParallelPoolTest, AThrowOnOneThreadComesBackAsAnErrorOnceEveryThreadHasLeft) {
  ParallelPool pool(3);
  for (int round = 0; round < 20; ++round) {
    std::atomic<int> inside{0};
    std::atomic<bool> thrown{false};
    const Result<void> result = pool.run(600, [&](std::size_t begin, std::size_t, unsigned slot) {
      struct Inside {
        std::atomic<int>& count;
        ~Inside() { count.fetch_sub(1); }
      } guard{inside};
      inside.fetch_add(1);
      if (slot >= 3) throw std::logic_error("no such slot");
      if (begin == 0) { thrown = true; throw std::runtime_error("no scratch"); }
      // The others are still at work when the error is there.
      for (int spin = 0; spin < 1'000'000 && !thrown; ++spin) std::this_thread::yield();
      for (int spin = 0; spin < 100; ++spin) std::this_thread::yield();
    });
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().text(), "parallel loop: no scratch");
    EXPECT_EQ(inside.load(), 0);
    expect_each_item_once(pool, 1080);
  }
}

TEST(ParallelPoolTest, SharedPoolIsSizedToTheMachine) {
  ParallelPool& pool = ParallelPool::shared();
  EXPECT_EQ(&pool, &ParallelPool::shared());
  EXPECT_GE(pool.thread_count(), 1U);
  EXPECT_LE(pool.thread_count(), 8U);
  expect_each_item_once(pool, 500);
}

}  // namespace
}  // namespace halvorine
