// The default platform of the process on Linux: X11 screen capture with
// PulseAudio system audio, the PulseAudio microphone with a libswresample
// converter, and the FFmpeg writer, all stamped on one monotonic clock.
#include "platform/linux/linux_platform.h"

#include <memory>

#include "platform/linux/ffmpeg/ffmpeg_writer_factory.h"
#include "platform/linux/monotonic_clock.h"
#include "platform/linux/posix_file_system.h"
#include "platform/linux/posix_standard_error.h"
#include "platform/linux/pulse/pulse_audio_factory.h"
#include "platform/linux/pulse/pulse_system_audio_source.h"
#include "platform/linux/x11/x11_capture_service.h"

namespace kestrano {

Platform makeLinuxPlatform() {
  // One clock for every track, so capture and microphone line up.
  auto clock = std::make_shared<MonotonicClock>();
  Platform p;
  p.screenCapture = makeX11CaptureService(
      clock, [clock] { return std::make_unique<PulseSystemAudioSource>(clock); });
  p.mediaWriter = makeFfmpegWriterFactory();
  p.audio = makePulseAudioFactory(clock);
  p.hostClock = clock;
  p.fileSystem = std::make_shared<PosixFileSystem>();
  p.standardError = std::make_shared<PosixStandardError>();
  return p;
}

}  // namespace kestrano
