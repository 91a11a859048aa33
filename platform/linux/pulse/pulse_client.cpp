#include "platform/linux/pulse/pulse_client.h"

#include <pulse/pulseaudio.h>

#include "platform/scope_guard.h"

namespace kestrano {

std::unique_ptr<PulseClient> PulseClient::create(const std::string& name, FailureHandler onFailure,
                                                 std::optional<Error>& error) {
  std::unique_ptr<PulseClient> client(new PulseClient());
  client->onFailure_ = std::move(onFailure);
  client->loop_ = pa_threaded_mainloop_new();
  if (client->loop_ == nullptr) {
    error = pulseError(PulseErrorCode::setupFailed,
                       "cannot create the sound server connection's main loop");
    return nullptr;
  }
  client->context_ = pa_context_new(pa_threaded_mainloop_get_api(client->loop_), name.c_str());
  if (client->context_ == nullptr) {
    error = pulseError(PulseErrorCode::setupFailed, "cannot create a sound server context");
    return nullptr;
  }
  pa_context_set_state_callback(client->context_, &PulseClient::onStateChange, client.get());
  // A null server: libpulse picks the default (and follows PULSE_SERVER).
  // No autospawn: a recorder must not start a sound server of its own.
  if (pa_context_connect(client->context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    error = client->lastError(PulseErrorCode::connectionFailed,
                              "cannot connect to " + client->serverName());
    return nullptr;
  }
  if (pa_threaded_mainloop_start(client->loop_) < 0) {
    error = pulseError(PulseErrorCode::threadStartFailed,
                       "cannot start the sound server connection's thread");
    return nullptr;
  }
  client->started_ = true;
  {
    Lock lock(*client);
    bool ready = client->waitFor([&] { return client->ready_ || client->failed_; });
    if (!ready || !client->ready_) {
      error = client->failed_ ? client->lastError(PulseErrorCode::connectionFailed,
                                                  "cannot connect to " + client->serverName())
                              : pulseError(PulseErrorCode::timedOut,
                                           "timed out connecting to " + client->serverName());
      client->failed_ = true;  // no failure report for a connection that never came up
    }
  }
  if (error) {
    return nullptr;
  }
  return client;
}

PulseClient::~PulseClient() {
  stop();
  if (context_ != nullptr) {
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
  }
  if (loop_ != nullptr) {
    pa_threaded_mainloop_free(loop_);
  }
}

void PulseClient::stop() {
  if (started_) {
    pa_threaded_mainloop_stop(loop_);
    started_ = false;
  }
}

void PulseClient::onStateChange(pa_context* c, void* userdata) {
  auto* self = static_cast<PulseClient*>(userdata);
  switch (pa_context_get_state(c)) {
    case PA_CONTEXT_READY:
      self->ready_ = true;
      break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
      if (self->ready_ && !self->failed_ && self->onFailure_) {
        self->failed_ = true;
        self->onFailure_(self->lastError(PulseErrorCode::connectionFailed,
                                         "lost the connection to " + self->serverName()));
      }
      self->failed_ = true;
      break;
    default:
      break;
  }
  self->signal();
}

bool PulseClient::alive() const {
  return ready_ && !failed_;
}

std::string PulseClient::serverName() const {
  const char* server = context_ ? pa_context_get_server(context_) : nullptr;
  return server ? std::string("the sound server at ") + server : "the default sound server";
}

Error PulseClient::lastError(PulseErrorCode code, const std::string& what) const {
  return pulseError(code, what, context_ ? pa_context_errno(context_) : PA_ERR_UNKNOWN);
}

void PulseClient::signal() {
  pa_threaded_mainloop_signal(loop_, 0);
}

namespace {

// A one-shot timer that wakes the waiting thread at the deadline.
struct Deadline {
  PulseClient* client;
  bool passed = false;
};

void onDeadline(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
  auto* d = static_cast<Deadline*>(userdata);
  d->passed = true;
  d->client->signal();
}

}  // namespace

bool PulseClient::waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  if (done()) {
    return true;
  }
  Deadline deadline{this};
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
  pa_time_event* timer = pa_context_rttime_new(
      context_, pa_rtclock_now() + static_cast<pa_usec_t>(timeout.count()) * PA_USEC_PER_MSEC,
      &onDeadline, &deadline);
  if (timer == nullptr) {
    return false;
  }
  ScopeGuard freeTimer([api, timer] { api->time_free(timer); });
  while (!done()) {
    if (deadline.passed || (failed_ && ready_)) {
      return false;
    }
    pa_threaded_mainloop_wait(loop_);
  }
  return true;
}

PulseClient::Lock::Lock(PulseClient& client) : loop_(client.loop_) {
  pa_threaded_mainloop_lock(loop_);
}

PulseClient::Lock::~Lock() {
  pa_threaded_mainloop_unlock(loop_);
}

}  // namespace kestrano
