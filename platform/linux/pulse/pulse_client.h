#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/error.h"
#include "platform/linux/pulse/pulse_errors.h"

struct pa_threaded_mainloop;
struct pa_context;

namespace kestrano {

// One connection to the sound server: a pa_threaded_mainloop with its thread
// and one context on it.
//
// Lock discipline: every libpulse call on the context or its streams from
// another thread is made while holding the mainloop lock (Lock below).
// libpulse callbacks run on the mainloop thread with that lock already held;
// they must not take it again through a Lock, and must not call stop().
// The lock is libpulse's own and is taken inside libpulse before every
// callback, where clang's thread-safety analysis cannot see it, so the data
// it guards is documented here and in the callers rather than annotated.
class PulseClient {
 public:
  // How long connecting, and any later wait for the server, may take before
  // we give up: a server that is gone refuses at once, one that stalls must
  // not hang the caller.
  static constexpr std::chrono::milliseconds kTimeout{3000};

  // Called once, on the mainloop thread with the lock held, when the
  // connection breaks after it was ready.
  using FailureHandler = std::function<void(const Error&)>;

  // Connects to the server libpulse picks by default; nothing and `error`
  // when that fails or takes longer than kTimeout.
  static std::unique_ptr<PulseClient> create(const std::string& name, FailureHandler onFailure,
                                             std::optional<Error>& error);
  ~PulseClient();
  PulseClient(const PulseClient&) = delete;
  PulseClient& operator=(const PulseClient&) = delete;

  // Holds the mainloop lock for its scope.
  class Lock {
   public:
    explicit Lock(PulseClient& client);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    pa_threaded_mainloop* loop_;
  };

  // With the lock held: waits (releasing the lock meanwhile) until `done`
  // returns true or the timeout passes; false on timeout or when the
  // connection failed. Callbacks that change what `done` looks at call
  // signal().
  bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout = kTimeout);
  // With the lock held (usually from a callback): wakes waitFor.
  void signal();

  // Stops the mainloop thread and joins it: no callback runs after this
  // returns. Safe twice. Not from the mainloop thread.
  void stop();

  pa_context* context() const { return context_; }
  // With the lock held: whether the connection is still up.
  bool alive() const;
  // The server's name as libpulse resolved it, or "the default sound server".
  std::string serverName() const;
  // Error `code` for the context's last failure, with `what` in front.
  Error lastError(PulseErrorCode code, const std::string& what) const;

 private:
  PulseClient() = default;
  static void onStateChange(pa_context* c, void* self);

  // Owned: freed in the destructor after the thread has stopped.
  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  bool started_ = false;  // the mainloop thread runs; touched by the owning thread only
  // Written on the mainloop thread with the lock held; read under the lock.
  bool ready_ = false;
  bool failed_ = false;
  FailureHandler onFailure_;  // immutable after create
};

}  // namespace kestrano
