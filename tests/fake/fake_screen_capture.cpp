#include "tests/fake/fake_screen_capture.h"

#include <thread>

namespace kestrano::fake {

FakeStream::FakeStream(std::shared_ptr<CallLog> log, std::shared_ptr<CompletionDelivery> delivery,
                       Script script, ContentFilter filter, StreamConfiguration configuration,
                       std::weak_ptr<StreamDelegate> delegate)
    : log_(std::move(log)),
      delivery_(std::move(delivery)),
      script_(std::move(script)),
      filter_(std::move(filter)),
      configuration_(configuration),
      delegate_(std::move(delegate)) {}

std::optional<Error> FakeStream::addStreamOutput(std::weak_ptr<StreamOutput> output,
                                                 StreamOutputType type,
                                                 std::shared_ptr<SerialQueue> sampleHandlerQueue) {
  auto raw = static_cast<std::int64_t>(type);
  log_->add("stream.addOutput " + std::to_string(raw));
  const auto& error =
      type == StreamOutputType::screen ? script_.addScreenOutputError : script_.addAudioOutputError;
  if (error) {
    return error;
  }
  std::lock_guard lock(mutex_);
  outputs_[raw] = Registration{std::move(output), std::move(sampleHandlerQueue)};
  return std::nullopt;
}

void FakeStream::startCapture(ErrorCompletion completion) {
  log_->add("stream.startCapture");
  delivery_->deliver(
      [completion = std::move(completion), error = script_.startError] { completion(error); });
}

void FakeStream::stopCapture(ErrorCompletion completion) {
  log_->add("stream.stopCapture");
  std::shared_ptr<SerialQueue> queue;
  {
    std::lock_guard lock(mutex_);
    // A successful stop delivers nothing more; a failed one may.
    stopped_ = !script_.stopError;
    auto it = outputs_.find(static_cast<std::int64_t>(StreamOutputType::screen));
    if (it != outputs_.end()) {
      queue = it->second.queue;
    }
  }
  auto complete = [log = log_, delivery = delivery_, completion = std::move(completion),
                   error = script_.stopError] {
    delivery->deliver([log, completion, error] {
      log->add("stream.stopCompletion");
      completion(error);
    });
  };
  // As the real service promises: every sample queued before has been
  // delivered when the completion runs.
  if (queue) {
    queue->async(std::move(complete));
  } else {
    complete();
  }
}

bool FakeStream::isDelegate(const void* object) const {
  auto d = delegate_.lock();
  return d && dynamic_cast<const void*>(d.get()) == object;
}

std::shared_ptr<SerialQueue> FakeStream::queueFor(StreamOutputType type) const {
  std::lock_guard lock(mutex_);
  auto it = outputs_.find(static_cast<std::int64_t>(type));
  return it == outputs_.end() ? nullptr : it->second.queue;
}

bool FakeStream::outputIs(StreamOutputType type, const void* object) const {
  std::lock_guard lock(mutex_);
  auto it = outputs_.find(static_cast<std::int64_t>(type));
  if (it == outputs_.end()) {
    return false;
  }
  auto o = it->second.output.lock();
  return o && dynamic_cast<const void*>(o.get()) == object;
}

bool FakeStream::deliverSample(std::shared_ptr<MediaSample> sample, StreamOutputType type) {
  Registration registration;
  {
    std::lock_guard lock(mutex_);
    if (stopped_) {
      return false;
    }
    auto it = outputs_.find(static_cast<std::int64_t>(type));
    if (it == outputs_.end()) {
      it = outputs_.find(static_cast<std::int64_t>(StreamOutputType::screen));
    }
    if (it == outputs_.end()) {
      return false;
    }
    registration = it->second;
  }
  registration.queue->async(
      [self = shared_from_this(), output = registration.output, sample = std::move(sample), type] {
        if (auto o = output.lock()) {
          o->streamDidOutputSampleBuffer(*self, sample, type);
        }
      });
  return true;
}

void FakeStream::drainQueue() {
  if (auto queue = queueFor(StreamOutputType::screen)) {
    queue->sync([] {});
  }
}

void FakeStream::stopWithError(const Error& error) {
  std::thread caller([this, &error] {
    if (auto d = delegate_.lock()) {
      d->streamDidStopWithError(*this, error);
    }
  });
  caller.join();
}

void FakeScreenCapture::getShareableContent(ContentCompletion completion) {
  log_->add("capture.getShareableContent");
  std::optional<ShareableContent> content;
  if (!contentError) {
    content = ShareableContent{displays};
  }
  delivery_->deliver([completion = std::move(completion), content, error = contentError] {
    completion(content, error);
  });
}

std::shared_ptr<Stream> FakeScreenCapture::makeStream(const ContentFilter& filter,
                                                      const StreamConfiguration& configuration,
                                                      std::weak_ptr<StreamDelegate> delegate) {
  log_->add("capture.makeStream");
  if (noStream) {
    return nullptr;
  }
  auto stream = std::make_shared<FakeStream>(log_, delivery_, streamScript, filter, configuration,
                                             std::move(delegate));
  std::lock_guard lock(mutex_);
  stream_ = stream;
  return stream;
}

std::shared_ptr<FakeStream> FakeScreenCapture::stream() const {
  std::lock_guard lock(mutex_);
  return stream_;
}

}  // namespace kestrano::fake
