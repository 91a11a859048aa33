#pragma once

#include <memory>
#include <mutex>

#include "platform/host_clock.h"
#include "platform/linux/pulse/pulse_client.h"
#include "platform/linux/pulse/pulse_default_monitor_follower.h"
#include "platform/linux/pulse/pulse_record_stream.h"
#include "platform/linux/system_audio_source.h"

namespace kestrano {

// System audio from PulseAudio: a record stream on the default sink's monitor
// (@DEFAULT_MONITOR@, moved along when the default sink changes), delivering interleaved 32-bit
// float buffers of about 10 ms on the connection's mainloop thread.
class PulseSystemAudioSource final : public SystemAudioSource {
 public:
  explicit PulseSystemAudioSource(std::shared_ptr<HostClock> clock);
  ~PulseSystemAudioSource() override;

  std::optional<Error> start(double sampleRate, std::uint32_t channelCount, BufferHandler onBuffer,
                             FailureHandler onFailure) override;
  void stop() override;

 private:
  const std::shared_ptr<HostClock> clock_;
  std::mutex mutex_;  // guards client_, stream_ and onFailure_ against start/stop racing
  std::unique_ptr<PulseClient> client_;
  std::unique_ptr<PulseRecordStream> stream_;
  std::unique_ptr<PulseDefaultMonitorFollower>
      follower_;  // its callbacks may run until client_ goes
  // The one failure report: the mainloop thread takes it (under the loop's
  // lock) so that a broken connection and its broken stream report once.
  FailureHandler onFailure_;
};

}  // namespace kestrano
