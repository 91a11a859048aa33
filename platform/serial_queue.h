#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace kestrano {

// A serial executor: one thread runs the submitted tasks one at a time, in
// the order they were submitted. The destructor runs what is still queued,
// then joins the thread; it must not run on the queue's own thread.
class SerialQueue {
 public:
  explicit SerialQueue(std::string label);
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const { return label_; }

  // Queues a task; never blocks on the task itself.
  void async(std::function<void()> task);

  // Runs a task on the queue and waits for it; a barrier behind everything
  // queued before. Must not be called from the queue's own thread.
  void sync(const std::function<void()>& task);

  // True when called from the queue's thread.
  bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

 private:
  void run();

  const std::string label_;
  std::mutex mutex_;  // guards tasks_ and stopping_
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  bool stopping_ = false;
  std::thread thread_;  // last: starts after the state it uses exists
};

}  // namespace kestrano
