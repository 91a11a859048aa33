#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "platform/file_system.h"
#include "platform/host_clock.h"
#include "platform/platform.h"
#include "platform/standard_error.h"
#include "tests/fake/fake_audio.h"
#include "tests/fake/fake_context.h"
#include "tests/fake/fake_media_writer.h"
#include "tests/fake/fake_screen_capture.h"

namespace kestrano::fake {

// A host clock that reads what the test set (nanoseconds).
class FakeHostClock final : public HostClock {
 public:
  explicit FakeHostClock(std::shared_ptr<FakeContext> context) : context_(std::move(context)) {}
  MediaTime now() const override {
    context_->log.add("clock.now");
    return MediaTime::make(nanos_.load(), kNanosecondTimescale);
  }
  void set(std::int64_t nanoseconds) { nanos_.store(nanoseconds); }

 private:
  const std::shared_ptr<FakeContext> context_;
  std::atomic<std::int64_t> nanos_{1'000'000'000};
};

// Removal answers the scripted error (none: it succeeds); relative paths live
// under /cwd; every file has the scripted attributes.
class FakeFileSystem final : public FileSystem {
 public:
  explicit FakeFileSystem(std::shared_ptr<FakeContext> context) : context_(std::move(context)) {}

  // Set before the recorder runs; nothing means the file is missing.
  std::optional<FileAttributes> attributes =
      FileAttributes{{kFileSizeKey, PropertyValue{std::int64_t{4242}}}};
  std::optional<Error> removeError;

  std::string fileUrlWithPath(const std::string& path) const override {
    return !path.empty() && path.front() == '/' ? path : "/cwd/" + path;
  }
  std::optional<Error> removeItemAtUrl(const std::string& url) override {
    context_->log.add("fs.remove " + url);
    return removeError;
  }
  std::optional<FileAttributes> attributesOfItemAtPath(const std::string& path,
                                                       std::optional<Error>& error) override {
    context_->log.add("fs.attributes " + path);
    if (!attributes) {
      error = Error{"fake", 2, "no such file"};
    }
    return attributes;
  }

 private:
  const std::shared_ptr<FakeContext> context_;
};

// Each write becomes one "stderr <bytes>" entry of the call log.
class FakeStandardError final : public StandardError {
 public:
  explicit FakeStandardError(std::shared_ptr<FakeContext> context) : context_(std::move(context)) {}
  void writeData(std::string_view bytes) override {
    context_->log.add("stderr " + std::string(bytes));
  }

 private:
  const std::shared_ptr<FakeContext> context_;
};

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
