// The default platform of the process on Linux: screen capture through the
// portal on a Wayland session and through the X server otherwise, with
// system audio and the microphone from the sound server with a libswresample
// converter, and the FFmpeg writer, all stamped on one monotonic clock.
#include "platform/linux/linux_platform.h"

#include <cstdlib>
#include <memory>

#include "platform/linux/ffmpeg/ffmpeg_writer_factory.h"
#include "platform/linux/monotonic_clock.h"
#include "platform/linux/posix_file_system.h"
#include "platform/linux/posix_standard_error.h"
#include "platform/linux/pulse/pulse_audio_factory.h"
#include "platform/linux/pulse/pulse_system_audio_source.h"
#include "platform/linux/session_kind.h"
#include "platform/linux/wayland/wayland_capture_service.h"
#include "platform/linux/x11/x11_capture_service.h"

namespace kestrano {

Platform makeLinuxPlatform() {
  // One clock for every track, so capture and microphone line up.
  auto clock = std::make_shared<MonotonicClock>();
  Platform p;
  p.standardError = std::make_shared<PosixStandardError>();
  // The sound backends say on stderr when a device or the server is missing
  // and when it is back: the recording goes on meanwhile, with silence.
  auto notice = [err = p.standardError](std::string_view line) {
    err->writeData(std::string(line) + "\n");
  };
  auto systemAudio = [clock, notice] {
    return std::make_unique<PulseSystemAudioSource>(clock, notice);
  };
  // Chosen once here. A Wayland session whose portal cannot serve fails the
  // start with the portal's error: an X11 grab there would record only
  // Xwayland's windows while seeming to work.
  p.screenCapture =
      isWaylandSession(std::getenv("WAYLAND_DISPLAY"), std::getenv("XDG_SESSION_TYPE"))
          ? makeWaylandCaptureService(clock, systemAudio)
          : makeX11CaptureService(clock, systemAudio);
  p.mediaWriter = makeFfmpegWriterFactory();
  p.audio = makePulseAudioFactory(clock, notice);
  p.hostClock = clock;
  p.fileSystem = std::make_shared<PosixFileSystem>();
  return p;
}

}  // namespace kestrano
