#include "platform/linux/pulse/pulse_default_device.h"

#include <pulse/pulseaudio.h>

#include "platform/scope_guard.h"

namespace kestrano {
namespace {

// One question to the server and its answer, filled on the mainloop thread
// while the asking thread waits under the loop's lock.
struct Query {
  PulseClient* client = nullptr;
  bool output = false;  // the default sink's monitor, else the default source
  bool done = false;
  std::string name;  // the default sink or source; then the monitor's name
  bool found = false;
  bool isMonitor = false;
  pa_sample_spec spec{};
};

void finish(Query& q) {
  q.done = true;
  q.client->signal();
}

void onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
  auto* q = static_cast<Query*>(userdata);
  if (info != nullptr) {
    const char* name = q->output ? info->default_sink_name : info->default_source_name;
    q->name = name != nullptr ? name : "";
  }
  finish(*q);
}

// Lists end with a call that has eol set; the entry comes before it.
void onSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
  auto* q = static_cast<Query*>(userdata);
  if (eol == 0 && info != nullptr) {
    q->found = info->monitor_source_name != nullptr;
    q->name = q->found ? info->monitor_source_name : "";
    q->spec = info->sample_spec;
    return;
  }
  finish(*q);
}

void onSourceInfo(pa_context*, const pa_source_info* info, int eol, void* userdata) {
  auto* q = static_cast<Query*>(userdata);
  if (eol == 0 && info != nullptr) {
    q->found = true;
    q->isMonitor = info->monitor_of_sink != PA_INVALID_INDEX;
    q->spec = info->sample_spec;
    return;
  }
  finish(*q);
}

// With the lock held: waits (bounded) for the reply to `op`, which sets
// q.done. Whether it came.
bool awaitReply(pa_operation* op, Query& q) {
  if (op == nullptr) {
    return false;
  }
  // Cancelled when the wait gives up, so the reply's callback can no longer
  // touch the query on our stack.
  ScopeGuard release([op] {
    pa_operation_cancel(op);
    pa_operation_unref(op);
  });
  q.done = false;
  return q.client->waitFor([&] { return q.done; });
}

}  // namespace

std::optional<PulseDevice> queryDefaultDevice(PulseClient& client, DefaultDevice which,
                                              std::optional<Error>& error) {
  const bool output = which == DefaultDevice::outputMonitor;
  const char* kind = output ? "output" : "microphone";
  PulseClient::Lock lock(client);
  Query q;
  q.client = &client;
  q.output = output;
  auto noAnswer = [&] {
    error = pulseError(PulseErrorCode::timedOut, "no answer from " + client.serverName());
    return std::nullopt;
  };
  if (!awaitReply(pa_context_get_server_info(client.context(), &onServerInfo, &q), q)) {
    return noAnswer();
  }
  if (q.name.empty()) {
    error = pulseError(PulseErrorCode::noSource,
                       client.serverName() + " has no default " + std::string(kind));
    return std::nullopt;
  }
  const std::string chosen = q.name;
  pa_operation* op =
      output
          ? pa_context_get_sink_info_by_name(client.context(), chosen.c_str(), &onSinkInfo, &q)
          : pa_context_get_source_info_by_name(client.context(), chosen.c_str(), &onSourceInfo, &q);
  if (!awaitReply(op, q)) {
    return noAnswer();
  }
  if (q.isMonitor) {
    error = pulseError(PulseErrorCode::noSource, client.serverName() + " has no microphone");
    return std::nullopt;
  }
  if (!q.found || q.spec.rate == 0 || q.spec.channels == 0) {
    error = pulseError(PulseErrorCode::defaultMissing,
                       "the default " + std::string(kind) + " \"" + chosen + "\" is not available");
    return std::nullopt;
  }
  return PulseDevice{output ? q.name : chosen, q.spec.rate, q.spec.channels};
}

bool meansNoDevice(const std::optional<Error>& error) {
  return error && (error->code == static_cast<std::int64_t>(PulseErrorCode::noSource) ||
                   error->code == static_cast<std::int64_t>(PulseErrorCode::defaultMissing));
}

}  // namespace kestrano
