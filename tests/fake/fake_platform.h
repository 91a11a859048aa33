#pragma once

#include <memory>

#include "platform/platform.h"
#include "tests/fake/fake_audio.h"
#include "tests/fake/fake_context.h"
#include "tests/fake/fake_media_writer.h"
#include "tests/fake/fake_screen_capture.h"
#include "tests/fake/fake_system.h"

namespace kestrano::fake {

// A whole scriptable platform sharing one call log and one completion
// delivery. Script the parts, then hand platform() to the Recorder.
struct FakePlatform {
  std::shared_ptr<FakeContext> context = std::make_shared<FakeContext>();
  CallLog& log = context->log;
  CompletionDelivery& delivery = context->delivery;
  std::shared_ptr<FakeScreenCapture> capture = std::make_shared<FakeScreenCapture>(context);
  std::shared_ptr<FakeMediaWriter> writer = std::make_shared<FakeMediaWriter>(context);
  std::shared_ptr<FakeAudio> audio = std::make_shared<FakeAudio>(context);
  std::shared_ptr<FakeHostClock> clock = std::make_shared<FakeHostClock>(context);
  std::shared_ptr<FakeFileSystem> fileSystem = std::make_shared<FakeFileSystem>(context);
  std::shared_ptr<FakeStandardError> standardError = std::make_shared<FakeStandardError>(context);

  Platform platform() const {
    return Platform{capture, writer, audio, clock, fileSystem, standardError};
  }
};

}  // namespace kestrano::fake
