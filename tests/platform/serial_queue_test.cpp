#include "platform/serial_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace kestrano {
namespace {

TEST(SerialQueue, RunsTasksOneAtATimeInOrderAndDrainsBeforeItGoes) {
  std::vector<int> seen;  // touched only on the queue
  std::atomic<int> running{0}, overlaps{0};
  {
    SerialQueue queue("test.queue");
    std::vector<std::jthread> producers;
    for (int p = 0; p < 4; ++p) {
      producers.emplace_back([&, p] {
        for (int i = 0; i < 500; ++i) {
          queue.async([&, p, i] {
            overlaps += running.fetch_add(1);
            seen.push_back(p * 1000 + i);
            running.fetch_sub(1);
          });
        }
      });
    }
    producers.clear();  // joins them
    // sync is a barrier behind everything queued, run on the queue's thread.
    bool onQueue = false;
    queue.sync([&] { onQueue = queue.isCurrent(); });
    EXPECT_TRUE(onQueue && !queue.isCurrent());
    EXPECT_EQ(seen.size(), 2000u);
    queue.async([&] { seen.push_back(4000); });
  }  // the destructor runs what is queued before it joins
  ASSERT_EQ(seen.size(), 2001u);
  EXPECT_EQ(overlaps.load(), 0);
  std::vector<int> last(5, -1);  // each producer's tasks keep their order
  for (int v : seen) {
    EXPECT_GT(v % 1000, last[v / 1000]);
    last[v / 1000] = v % 1000;
  }
}

}  // namespace
}  // namespace kestrano
