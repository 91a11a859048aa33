#include "platform/linux/pulse/pulse_default_source.h"

#include <pulse/pulseaudio.h>

#include "platform/scope_guard.h"

namespace kestrano {
namespace {

struct Query {
  PulseClient* client = nullptr;
  bool done = false;
  std::string defaultSource;
  bool found = false;
  pa_sample_spec spec{};
};

void onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
  auto* q = static_cast<Query*>(userdata);
  if (info != nullptr && info->default_source_name != nullptr) {
    q->defaultSource = info->default_source_name;
  }
  q->done = true;
  q->client->signal();
}

void onSourceInfo(pa_context*, const pa_source_info* info, int eol, void* userdata) {
  auto* q = static_cast<Query*>(userdata);
  if (eol == 0 && info != nullptr) {
    q->found = true;
    q->spec = info->sample_spec;
    return;  // the list ends with a call that has eol set
  }
  q->done = true;
  q->client->signal();
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
  return q.client->waitFor([&] { return q.done; });
}

}  // namespace

std::optional<DefaultSource> queryDefaultSource(PulseClient& client, std::optional<Error>& error) {
  PulseClient::Lock lock(client);
  Query q;
  q.client = &client;
  if (!awaitReply(pa_context_get_server_info(client.context(), &onServerInfo, &q), q)) {
    error = pulseError(PulseErrorCode::timedOut, "no answer from " + client.serverName());
    return std::nullopt;
  }
  if (q.defaultSource.empty()) {
    error = pulseError(PulseErrorCode::noSource,
                       client.serverName() + " has no default source (microphone)");
    return std::nullopt;
  }
  q.done = false;
  if (!awaitReply(pa_context_get_source_info_by_name(client.context(), q.defaultSource.c_str(),
                                                     &onSourceInfo, &q),
                  q)) {
    error = pulseError(PulseErrorCode::timedOut, "no answer from " + client.serverName());
    return std::nullopt;
  }
  if (!q.found || q.spec.rate == 0 || q.spec.channels == 0) {
    error = pulseError(PulseErrorCode::noSource,
                       "the default source \"" + q.defaultSource + "\" is not available");
    return std::nullopt;
  }
  return DefaultSource{q.defaultSource, q.spec.rate, q.spec.channels};
}

}  // namespace kestrano
