#include "platform/serial_queue.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace kestrano {
namespace {

TEST(SerialQueue, RunsTasksOneAtATimeInOrderAndDrainsBeforeItGoes) {
  std::vector<int> seen;  // touched only on the queue: TSan sees two tasks at once
  {
    SerialQueue queue("test.queue");
    std::jthread producer([&] {
      for (int i = 0; i < 1000; ++i) {
        queue.async([&, i] { seen.push_back(1000 + i); });
      }
    });
    for (int i = 0; i < 1000; ++i) {
      queue.async([&, i] { seen.push_back(i); });
    }
    producer.join();
    queue.sync([&] { EXPECT_EQ(seen.size(), 2000u); });  // a barrier behind all queued
    queue.async([&] { seen.push_back(2000); });
  }  // the destructor runs what is queued before it joins
  ASSERT_EQ(seen.size(), 2001u);
  int last[3] = {-1, 999, 1999};  // each producer's tasks keep their order
  for (int v : seen) {
    EXPECT_GT(v, last[v / 1000]);
    last[v / 1000] = v;
  }
}

}  // namespace
}  // namespace kestrano
