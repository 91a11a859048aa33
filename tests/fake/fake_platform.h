#pragma once

#include <memory>

#include "platform/platform.h"
#include "tests/fake/call_log.h"
#include "tests/fake/completion_delivery.h"
#include "tests/fake/fake_audio.h"
#include "tests/fake/fake_media_writer.h"
#include "tests/fake/fake_screen_capture.h"
#include "tests/fake/fake_system.h"

namespace kestrano::fake {

// A whole scriptable platform sharing one call log and one completion
// delivery. Script the parts, then hand platform() to the Recorder.
struct FakePlatform {
  std::shared_ptr<CallLog> log = std::make_shared<CallLog>();
  std::shared_ptr<CompletionDelivery> delivery = std::make_shared<CompletionDelivery>();
  std::shared_ptr<FakeScreenCapture> capture = std::make_shared<FakeScreenCapture>(log, delivery);
  std::shared_ptr<FakeMediaWriterFactory> writers =
      std::make_shared<FakeMediaWriterFactory>(log, delivery);
  std::shared_ptr<FakeAudioFactory> audio = std::make_shared<FakeAudioFactory>(log);
  std::shared_ptr<FakeHostClock> clock = std::make_shared<FakeHostClock>(log);
  std::shared_ptr<FakeFileSystem> fileSystem = std::make_shared<FakeFileSystem>(log);
  std::shared_ptr<FakeStandardError> standardError = std::make_shared<FakeStandardError>();

  Platform platform() const {
    return Platform{capture, writers, audio, clock, fileSystem, standardError};
  }
};

}  // namespace kestrano::fake
