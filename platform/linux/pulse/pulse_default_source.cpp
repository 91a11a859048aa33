#include "platform/linux/pulse/pulse_default_source.h"

#include <pulse/pulseaudio.h>

#include <memory>

namespace kestrano {
namespace {

// Cancels (so its callback can no longer touch our stack) and releases an
// operation that may still be pending when a wait gives up.
struct OperationRelease {
  void operator()(pa_operation* op) const {
    pa_operation_cancel(op);
    pa_operation_unref(op);
  }
};
using Operation = std::unique_ptr<pa_operation, OperationRelease>;

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

}  // namespace

std::optional<DefaultSource> queryDefaultSource(PulseClient& client, std::optional<Error>& error) {
  PulseClient::Lock lock(client);
  Query q;
  q.client = &client;
  {
    Operation op(pa_context_get_server_info(client.context(), &onServerInfo, &q));
    if (!op || !client.waitFor([&] { return q.done; })) {
      error = pulseError(PA_ERR_TIMEOUT, "no answer from " + client.serverName());
      return std::nullopt;
    }
  }
  if (q.defaultSource.empty()) {
    error =
        pulseError(PA_ERR_NOENTITY, client.serverName() + " has no default source (microphone)");
    return std::nullopt;
  }
  q.done = false;
  {
    Operation op(pa_context_get_source_info_by_name(client.context(), q.defaultSource.c_str(),
                                                    &onSourceInfo, &q));
    if (!op || !client.waitFor([&] { return q.done; })) {
      error = pulseError(PA_ERR_TIMEOUT, "no answer from " + client.serverName());
      return std::nullopt;
    }
  }
  if (!q.found || q.spec.rate == 0 || q.spec.channels == 0) {
    error = pulseError(PA_ERR_NOENTITY,
                       "the default source \"" + q.defaultSource + "\" is not available");
    return std::nullopt;
  }
  return DefaultSource{q.defaultSource, q.spec.rate, q.spec.channels};
}

}  // namespace kestrano
