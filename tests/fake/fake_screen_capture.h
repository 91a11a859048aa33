#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/screen_capture.h"
#include "tests/fake/call_log.h"
#include "tests/fake/completion_delivery.h"

namespace kestrano::fake {

// A capture stream that delivers what the test hands it, on the queue the
// recorder registered.
class FakeStream final : public Stream, public std::enable_shared_from_this<FakeStream> {
 public:
  struct Script {
    std::optional<Error> addScreenOutputError;
    std::optional<Error> addAudioOutputError;
    std::optional<Error> startError;
    std::optional<Error> stopError;
  };

  FakeStream(std::shared_ptr<CallLog> log, std::shared_ptr<CompletionDelivery> delivery,
             Script script, ContentFilter filter, StreamConfiguration configuration,
             std::weak_ptr<StreamDelegate> delegate);

  std::optional<Error> addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                                       std::shared_ptr<SerialQueue> sampleHandlerQueue) override;
  void startCapture(ErrorCompletion completion) override;
  void stopCapture(ErrorCompletion completion) override;

  const ContentFilter& filter() const { return filter_; }
  const StreamConfiguration& configuration() const { return configuration_; }
  bool isDelegate(const void* object) const;
  // The queue registered for a type; null when none.
  std::shared_ptr<SerialQueue> queueFor(StreamOutputType type) const;
  bool outputIs(StreamOutputType type, const void* object) const;

  // Queues one sample of `type` to the output registered for it (for types
  // without a registration, the screen output) on its queue. Returns false
  // when no output is registered or the capture has stopped.
  bool deliverSample(std::shared_ptr<MediaSample> sample, StreamOutputType type);
  // Waits until everything queued so far on the screen output's queue ran.
  void drainQueue();
  // Calls the delegate's stop-with-error from a thread of the fake's own and
  // waits for it to return.
  void stopWithError(const Error& error);

 private:
  struct Registration {
    std::weak_ptr<StreamOutput> output;
    std::shared_ptr<SerialQueue> queue;
  };
  const std::shared_ptr<CallLog> log_;
  const std::shared_ptr<CompletionDelivery> delivery_;
  const Script script_;
  const ContentFilter filter_;
  const StreamConfiguration configuration_;
  const std::weak_ptr<StreamDelegate> delegate_;
  mutable std::mutex mutex_;  // guards outputs_ and stopped_
  std::map<std::int64_t, Registration> outputs_;
  bool stopped_ = false;
};

// The capture service: a scripted list of displays or an error.
class FakeScreenCapture final : public ScreenCaptureService {
 public:
  FakeScreenCapture(std::shared_ptr<CallLog> log, std::shared_ptr<CompletionDelivery> delivery)
      : log_(std::move(log)), delivery_(std::move(delivery)) {}

  // Set before the recorder runs.
  std::vector<Display> displays{Display{1, 0, 0, 1920, 1080}};
  std::optional<Error> contentError;
  bool noStream = false;  // makeStream answers null
  FakeStream::Script streamScript;

  void getShareableContent(ContentCompletion completion) override;
  std::shared_ptr<Stream> makeStream(const ContentFilter& filter,
                                     const StreamConfiguration& configuration,
                                     std::weak_ptr<StreamDelegate> delegate) override;

  // The last stream made, or null.
  std::shared_ptr<FakeStream> stream() const;

 private:
  const std::shared_ptr<CallLog> log_;
  const std::shared_ptr<CompletionDelivery> delivery_;
  mutable std::mutex mutex_;  // guards stream_
  std::shared_ptr<FakeStream> stream_;
};

}  // namespace kestrano::fake
