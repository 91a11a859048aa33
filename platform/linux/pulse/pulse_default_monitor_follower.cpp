#include "platform/linux/pulse/pulse_default_monitor_follower.h"

namespace kestrano {
namespace {

// Fire-and-forget: the reply arrives on the mainloop thread or not at all.
void release(pa_operation* op) {
  if (op != nullptr) {
    pa_operation_unref(op);
  }
}

}  // namespace

PulseDefaultMonitorFollower::PulseDefaultMonitorFollower(PulseClient& client,
                                                         std::uint32_t streamIndex)
    : client_(client), streamIndex_(streamIndex) {
  PulseClient::Lock lock(client_);
  pa_context_set_subscribe_callback(client_.context(), &PulseDefaultMonitorFollower::onEvent, this);
  release(pa_context_subscribe(client_.context(), PA_SUBSCRIPTION_MASK_SERVER, nullptr, nullptr));
}

void PulseDefaultMonitorFollower::onEvent(pa_context* c, pa_subscription_event_type_t type,
                                          std::uint32_t, void* self) {
  // Server events include a change of the default sink.
  if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) == PA_SUBSCRIPTION_EVENT_SERVER) {
    release(pa_context_get_server_info(c, &PulseDefaultMonitorFollower::onServerInfo, self));
  }
}

void PulseDefaultMonitorFollower::onServerInfo(pa_context* c, const pa_server_info* info,
                                               void* self) {
  if (info != nullptr && info->default_sink_name != nullptr) {
    release(pa_context_get_sink_info_by_name(c, info->default_sink_name,
                                             &PulseDefaultMonitorFollower::onSinkInfo, self));
  }
}

void PulseDefaultMonitorFollower::onSinkInfo(pa_context* c, const pa_sink_info* info, int eol,
                                             void* userdata) {
  auto* self = static_cast<PulseDefaultMonitorFollower*>(userdata);
  if (eol != 0 || info == nullptr || info->monitor_source_name == nullptr ||
      self->monitor_ == info->monitor_source_name) {
    return;
  }
  self->monitor_ = info->monitor_source_name;
  release(pa_context_move_source_output_by_name(c, self->streamIndex_, self->monitor_.c_str(),
                                                nullptr, nullptr));
}

}  // namespace kestrano
