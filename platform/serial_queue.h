#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <string>
#include <thread>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"

namespace kestrano {

// A serial executor: one thread runs the submitted tasks one at a time, in
// the order they were submitted. The destructor runs what is still queued,
// then joins the thread; it must not run on the queue's own thread.
class SerialQueue {
 public:
  // `threadName` names the thread in ps, top and debuggers (Linux keeps its
  // first 15 bytes).
  explicit SerialQueue(std::string threadName);
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  // Queues a task; never blocks on the task itself.
  void async(std::function<void()> task);

  // Runs a task on the queue and waits for it; a barrier behind everything
  // queued before. Must not be called from the queue's own thread.
  void sync(const std::function<void()>& task);

  // True when called from the queue's thread.
  bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

 private:
  void run(const std::string& threadName);

  Mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_ GUARDED_BY(mutex_);
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::thread thread_;  // last: starts after the state it uses exists
};

}  // namespace kestrano
