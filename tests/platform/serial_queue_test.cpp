#include "platform/serial_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace kestrano {
namespace {

TEST(SerialQueue, RunsTasksOneAtATimeInSubmissionOrderFromManyThreads) {
  std::vector<int> seen;  // touched only on the queue
  std::atomic<int> running{0};
  bool overlapped = false;
  {
    SerialQueue queue("test.queue");
    std::vector<std::thread> producers;
    for (int p = 0; p < 4; ++p) {
      producers.emplace_back([&, p] {
        for (int i = 0; i < 500; ++i) {
          queue.async([&, p, i] {
            if (running.fetch_add(1) != 0) {
              overlapped = true;
            }
            seen.push_back(p * 1000 + i);
            running.fetch_sub(1);
          });
        }
      });
    }
    for (auto& t : producers) {
      t.join();
    }
  }  // the destructor runs what is queued before it joins
  ASSERT_EQ(seen.size(), 2000u);
  EXPECT_FALSE(overlapped);
  // Each producer's tasks keep their order.
  std::vector<int> last(4, -1);
  for (int v : seen) {
    EXPECT_GT(v % 1000, last[v / 1000]);
    last[v / 1000] = v % 1000;
  }
}

TEST(SerialQueue, SyncIsABarrierAndKnowsItsThread) {
  SerialQueue queue("test.queue");
  std::atomic<int> done{0};
  for (int i = 0; i < 100; ++i) {
    queue.async([&] { done.fetch_add(1, std::memory_order_relaxed); });
  }
  bool onQueue = false;
  queue.sync([&] { onQueue = queue.isCurrent(); });
  EXPECT_EQ(done.load(), 100);
  EXPECT_TRUE(onQueue);
  EXPECT_FALSE(queue.isCurrent());
}

}  // namespace
}  // namespace kestrano
