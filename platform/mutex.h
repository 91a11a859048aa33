#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/thread_annotations.h"

namespace kestrano {

// std::mutex with the annotations clang's -Wthread-safety checks: declare
// the data it guards GUARDED_BY(mutex_) and hold it through MutexLock.
class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { m_.lock(); }
  void unlock() RELEASE() { m_.unlock(); }

 private:
  friend class MutexLock;
  std::mutex m_;
};

// Holds a Mutex for its scope. Its waits release the mutex while they sleep
// and hold it again when they return, as std::condition_variable does.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex.m_) {}
  ~MutexLock() RELEASE() {}
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  // Sleeps until notified (or woken spuriously): test the condition in a
  // loop in the caller, where the analysis sees the lock held.
  void wait(std::condition_variable& cv) { cv.wait(lock_); }
  // The same with a deadline; false once it has passed.
  bool waitUntil(std::condition_variable& cv, std::chrono::steady_clock::time_point deadline) {
    return cv.wait_until(lock_, deadline) == std::cv_status::no_timeout;
  }

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace kestrano
