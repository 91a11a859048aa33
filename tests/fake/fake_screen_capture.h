#pragma once

#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "platform/screen_capture.h"
#include "tests/fake/fake_context.h"

namespace kestrano::fake {

// The capture service and the one stream it makes. The stream delivers what
// the test hands it, on the queue the recorder registered.
class FakeScreenCapture final : public ScreenCaptureService,
                                public Stream,
                                public std::enable_shared_from_this<FakeScreenCapture> {
 public:
  struct Output {
    std::weak_ptr<StreamOutput> output;
    std::shared_ptr<SerialQueue> queue;
  };
  struct State {
    std::optional<ContentFilter> filter;  // set once the stream is made
    StreamConfiguration configuration;
    std::weak_ptr<StreamDelegate> delegate;
    std::map<StreamOutputType, Output> outputs;
    bool stopped = false;
  };

  explicit FakeScreenCapture(std::shared_ptr<FakeContext> context) : context_(std::move(context)) {}

  // Set before the recorder runs.
  std::vector<Display> displays{Display{1, 0, 0, 1920, 1080}};
  std::optional<Error> contentError, addScreenOutputError, addAudioOutputError, startError,
      stopError;
  bool noStream = false;  // makeStream answers null

  void getShareableContent(ContentCompletion completion) override {
    context_->log.add("capture.getShareableContent");
    std::optional<ShareableContent> content;
    if (!contentError) {
      content = ShareableContent{displays};
    }
    context_->delivery.deliver(
        [completion, content, error = contentError] { completion(content, error); });
  }

  std::shared_ptr<Stream> makeStream(const ContentFilter& filter,
                                     const StreamConfiguration& configuration,
                                     std::weak_ptr<StreamDelegate> delegate) override {
    context_->log.add("capture.makeStream");
    if (noStream) {
      return nullptr;
    }
    state_.with([&](State& s) {
      s = State{filter, configuration, std::move(delegate), {}, false};
    });
    return shared_from_this();
  }

  std::optional<Error> addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                                       std::shared_ptr<SerialQueue> queue) override {
    context_->log.add("stream.addOutput " + std::to_string(static_cast<std::int64_t>(type)));
    const auto& error =
        type == StreamOutputType::screen ? addScreenOutputError : addAudioOutputError;
    if (!error) {
      state_.with([&](State& s) { s.outputs[type] = Output{std::move(output), std::move(queue)}; });
    }
    return error;
  }

  void startCapture(ErrorCompletion completion) override {
    context_->log.add("stream.startCapture");
    context_->delivery.deliver([completion, error = startError] { completion(error); });
  }

  void stopCapture(ErrorCompletion completion) override {
    context_->log.add("stream.stopCapture");
    state_.with([&](State& s) { s.stopped = !stopError; });  // a failed stop may deliver more
    auto complete = [context = context_.get(), completion, error = stopError] {
      context->delivery.deliver([context, completion, error] {
        context->log.add("stream.stopCompletion");
        completion(error);
      });
    };
    // As the real service promises: every sample queued before has been
    // delivered when the completion runs.
    if (auto queue = output(StreamOutputType::screen).queue) {
      queue->async(complete);
    } else {
      complete();
    }
  }

  State state() const { return state_.get(); }
  Output output(StreamOutputType type) const {
    return state_.with([&](State& s) {
      auto it = s.outputs.find(type);
      return it == s.outputs.end() ? Output{} : it->second;
    });
  }

  // Queues one sample to the output registered for its type (the screen
  // output for unregistered types). False when none or after a stop.
  bool deliverSample(std::shared_ptr<MediaSample> sample, StreamOutputType type) {
    auto target = state_.with([&](State& s) {
      auto it = s.outputs.find(type);
      if (it == s.outputs.end()) {
        it = s.outputs.find(StreamOutputType::screen);
      }
      return s.stopped || it == s.outputs.end() ? Output{} : it->second;
    });
    if (!target.queue) {
      return false;
    }
    target.queue->async([self = shared_from_this(), target, sample, type] {
      if (auto o = target.output.lock()) {
        o->streamDidOutputSampleBuffer(*self, sample, type);
      }
    });
    return true;
  }
  // Waits until everything queued so far on the screen output's queue ran.
  void drainQueue() {
    if (auto queue = output(StreamOutputType::screen).queue) {
      queue->sync([] {});
    }
  }

 private:
  const std::shared_ptr<FakeContext> context_;  // first: outlives the queues below
  Guarded<State> state_;
};

}  // namespace kestrano::fake
