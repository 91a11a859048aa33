#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/media_writer.h"
#include "tests/fake/fake_context.h"

namespace kestrano::fake {

class FakeWriterInput;

// The writer factory and the one writer it makes, for one recording.
class FakeMediaWriter final : public MediaWriterFactory,
                              public AssetWriter,
                              public std::enable_shared_from_this<FakeMediaWriter> {
 public:
  struct State {
    std::string url;
    WriterStatus status = WriterStatus::unknown;
    std::optional<Error> error;
    std::vector<MediaTime> sessionStarts;                  // one per call
    std::vector<std::shared_ptr<FakeWriterInput>> inputs;  // as made: video#0, audio#1, audio#2
  };

  explicit FakeMediaWriter(std::shared_ptr<FakeContext> context) : context_(std::move(context)) {}

  // Set before the recorder runs.
  std::optional<Error> makeWriterError;
  bool startWritingSucceeds = true;
  std::optional<Error> startWritingError;  // error() after a failed start
  // How long startSessionAtSourceTime takes, to widen races in tests.
  std::chrono::microseconds sessionStartDuration{0};
  // Another recording took the path before this one finished.
  bool outputTaken = false;

  std::shared_ptr<AssetWriter> makeWriter(const std::string& url, FileType,
                                          std::optional<Error>& error) override {
    context_->log.add("writer.make " + url);
    if (makeWriterError) {
      error = makeWriterError;
      return nullptr;
    }
    state_.with([&](State& s) { s.url = url; });
    return shared_from_this();
  }
  std::shared_ptr<AssetWriterInput> makeInput(MediaType type,
                                              const OutputSettings& settings) override;
  void addInput(std::shared_ptr<AssetWriterInput> input) override;

  bool startWriting() override {
    context_->log.add("writer.startWriting");
    state_.with([&](State& s) {
      s.status = startWritingSucceeds ? WriterStatus::writing : WriterStatus::failed;
      s.error = startWritingSucceeds ? std::nullopt : startWritingError;
    });
    return startWritingSucceeds;
  }
  WriterStatus status() const override { return state_.get().status; }
  std::optional<Error> error() const override { return state_.get().error; }
  void startSessionAtSourceTime(MediaTime time) override {
    std::this_thread::sleep_for(sessionStartDuration);
    state_.with([&](State& s) { s.sessionStarts.push_back(time); });
  }
  void finishWriting(std::function<void()> completion) override {
    context_->log.add("writer.finishWriting");
    state_.with([](State& s) {
      if (s.status == WriterStatus::writing) {
        s.status = WriterStatus::completed;
      }
    });
    context_->delivery.deliver([context = context_.get(), completion] {
      context->log.add("writer.finishCompletion");
      completion();
    });
  }
  std::string outputURL() const override { return state_.get().url; }
  // A file was made and, unless a test says another took its path, is there.
  bool outputIsAtURL() const override {
    WriterStatus status = state_.get().status;
    return !outputTaken && (status == WriterStatus::completed || status == WriterStatus::failed);
  }
  void cancelWriting() override {
    context_->log.add("writer.cancelWriting");
    state_.with([](State& s) { s.status = WriterStatus::cancelled; });
  }

  // The writer fails as an encoder error would make it.
  void fail() {
    state_.with([](State& s) {
      s.status = WriterStatus::failed;
      s.error = Error{"fake", 99, "encoder failed"};
    });
  }
  State state() const { return state_.get(); }

 private:
  const std::shared_ptr<FakeContext> context_;
  Guarded<State> state_;
};

// One writer input. Keeps what it takes; refuses (and counts) samples after
// markAsFinished or while its writer is not writing.
class FakeWriterInput final : public AssetWriterInput {
 public:
  struct Appended {
    std::shared_ptr<MediaSample> sample;
    bool sessionWasStarted;  // whether the writer's session had started then
  };
  struct State {
    bool finished = false;
    std::vector<Appended> appended;
    int refused = 0;  // appends after finishing or while the writer was not writing
  };

  FakeWriterInput(std::shared_ptr<FakeContext> context, std::weak_ptr<FakeMediaWriter> writer,
                  std::string label, MediaType type, OutputSettings settings)
      : label(std::move(label)),
        type(type),
        settings(settings),
        context_(std::move(context)),
        writer_(std::move(writer)) {}

  const std::string label;
  const MediaType type;
  const OutputSettings settings;

  MediaType mediaType() const override { return type; }
  void setExpectsMediaDataInRealTime(bool realTime) override {
    context_->log.add("input.realTime " + label + (realTime ? " yes" : " no"));
  }
  bool isReadyForMoreMediaData() const override {
    if (refusals_.fetch_sub(1) > 0) {
      return false;
    }
    return !state().finished && writer().status == WriterStatus::writing;
  }
  bool appendSampleBuffer(std::shared_ptr<MediaSample> sample) override {
    context_->log.add("input.append " + label);
    const auto writerNow = writer();  // never locked inside this input's lock
    return state_.with([&](State& s) {
      if (s.finished || writerNow.status != WriterStatus::writing) {
        ++s.refused;
        return false;
      }
      s.appended.push_back(Appended{std::move(sample), !writerNow.sessionStarts.empty()});
      return true;
    });
  }
  void markAsFinished() override {
    context_->log.add("input.markAsFinished " + label);
    state_.with([](State& s) { s.finished = true; });
  }

  // The next `count` readiness queries answer false, then true again.
  void refuseNext(int count) { refusals_.store(count); }
  State state() const { return state_.get(); }

 private:
  FakeMediaWriter::State writer() const {
    auto writer = writer_.lock();
    return writer ? writer->state() : FakeMediaWriter::State{};
  }

  const std::shared_ptr<FakeContext> context_;
  const std::weak_ptr<FakeMediaWriter> writer_;
  mutable std::atomic<int> refusals_{0};
  Guarded<State> state_;
};

inline std::shared_ptr<AssetWriterInput> FakeMediaWriter::makeInput(
    MediaType type, const OutputSettings& settings) {
  return state_.with([&](State& s) {
    std::string label = std::string(type == MediaType::video ? "video" : "audio") + "#" +
                        std::to_string(s.inputs.size());
    context_->log.add("input.make " + label);
    s.inputs.push_back(
        std::make_shared<FakeWriterInput>(context_, weak_from_this(), label, type, settings));
    return s.inputs.back();
  });
}

inline void FakeMediaWriter::addInput(std::shared_ptr<AssetWriterInput> input) {
  auto fake = std::dynamic_pointer_cast<FakeWriterInput>(input);
  context_->log.add("writer.addInput " + (fake ? fake->label : std::string("?")));
}

}  // namespace kestrano::fake
