#include "platform/serial_queue.h"

#include <pthread.h>

#include <future>
#include <utility>

namespace kestrano {

SerialQueue::SerialQueue(std::string threadName)
    : thread_([this, name = std::move(threadName)] { run(name); }) {}

SerialQueue::~SerialQueue() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void SerialQueue::async(std::function<void()> task) {
  {
    MutexLock lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  wake_.notify_one();
}

void SerialQueue::sync(const std::function<void()>& task) {
  std::promise<void> done;
  async([&] {
    task();
    done.set_value();
  });
  done.get_future().wait();
}

void SerialQueue::run(const std::string& threadName) {
#if defined(__linux__)
  // A name the kernel refuses only leaves the thread unnamed.
  (void)pthread_setname_np(pthread_self(), threadName.substr(0, 15).c_str());
#endif
  for (;;) {
    std::function<void()> task;
    {
      MutexLock lock(mutex_);
      while (!stopping_ && tasks_.empty()) {
        lock.wait(wake_);
      }
      if (tasks_.empty()) {
        return;  // stopping, and everything queued has run
      }
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
  }
}

}  // namespace kestrano
