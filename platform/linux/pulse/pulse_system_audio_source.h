#pragma once

#include <memory>

#include "platform/host_clock.h"
#include "platform/linux/pulse/pulse_client.h"
#include "platform/linux/pulse/pulse_default_monitor_follower.h"
#include "platform/linux/pulse/pulse_record_stream.h"
#include "platform/linux/system_audio_source.h"
#include "platform/mutex.h"

namespace kestrano {

// System audio from PulseAudio: a record stream on the default sink's monitor
// (@DEFAULT_MONITOR@, moved along when the default sink changes), delivering
// the stream's interleaved 32-bit float chunks on the connection's mainloop
// thread.
class PulseSystemAudioSource final : public SystemAudioSource {
 public:
  explicit PulseSystemAudioSource(std::shared_ptr<HostClock> clock);
  ~PulseSystemAudioSource() override;

  std::optional<Error> start(double sampleRate, std::uint32_t channelCount, BufferHandler onBuffer,
                             FailureHandler onFailure) override;
  void stop() override;

 private:
  const std::shared_ptr<HostClock> clock_;
  Mutex mutex_;  // start and stop may race from any thread
  std::unique_ptr<PulseClient> client_ GUARDED_BY(mutex_);
  std::unique_ptr<PulseRecordStream> stream_ GUARDED_BY(mutex_);
  // Its callbacks may run until client_ goes.
  std::unique_ptr<PulseDefaultMonitorFollower> follower_ GUARDED_BY(mutex_);
  // The one failure report: the mainloop thread takes it under the loop's
  // lock, so that a broken connection and its broken stream report once.
  // start and stop set it under mutex_ while no mainloop thread runs.
  FailureHandler onFailure_;
};

}  // namespace kestrano
