#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/media_writer.h"
#include "tests/fake/call_log.h"
#include "tests/fake/completion_delivery.h"

namespace kestrano::fake {

class FakeAssetWriter;

// One writer input. Keeps what it takes; refuses (and does not keep) samples
// while not ready as scripted, after markAsFinished, or while its writer is
// not writing. Queries are not logged, actions are.
class FakeWriterInput final : public AssetWriterInput {
 public:
  struct Appended {
    std::shared_ptr<MediaSample> sample;
    bool sessionWasStarted;  // whether the writer's session had started then
  };

  FakeWriterInput(std::shared_ptr<CallLog> log, std::string label, MediaType type,
                  OutputSettings settings)
      : log_(std::move(log)), label_(std::move(label)), type_(type), settings_(settings) {}

  MediaType mediaType() const override { return type_; }
  void setExpectsMediaDataInRealTime(bool realTime) override;
  bool isReadyForMoreMediaData() const override;
  bool appendSampleBuffer(std::shared_ptr<MediaSample> sample) override;
  void markAsFinished() override;

  // Scripted readiness; true by default.
  void setReady(bool ready) { ready_.store(ready); }
  // The next `count` readiness queries answer false, then true again.
  void refuseNext(int count) { refusals_.store(count); }

  const std::string& label() const { return label_; }
  const OutputSettings& settings() const { return settings_; }
  bool expectsRealTime() const;
  bool finished() const;
  std::vector<Appended> appended() const;
  std::size_t appendedCount() const;
  // Appends that came while the input reported not ready or after finishing.
  int refusedCount() const;
  void attachTo(const std::shared_ptr<FakeAssetWriter>& writer);

 private:
  bool acceptsNow() const;  // requires mutex_

  const std::shared_ptr<CallLog> log_;
  const std::string label_;
  const MediaType type_;
  const OutputSettings settings_;
  std::atomic<bool> ready_{true};
  mutable std::atomic<int> refusals_{0};
  mutable std::mutex mutex_;  // guards the fields below
  std::weak_ptr<FakeAssetWriter> writer_;
  bool realTime_ = false;
  bool finished_ = false;
  std::vector<Appended> appended_;
  int refused_ = 0;
};

class FakeAssetWriter final : public AssetWriter,
                              public std::enable_shared_from_this<FakeAssetWriter> {
 public:
  struct Script {
    bool startWritingSucceeds = true;
    std::optional<Error> startWritingError;  // error() after a failed start
    // How long startSessionAtSourceTime takes, to widen races in tests.
    std::chrono::microseconds sessionStartDuration{0};
  };

  FakeAssetWriter(std::shared_ptr<CallLog> log, std::shared_ptr<CompletionDelivery> delivery,
                  std::string url, Script script)
      : log_(std::move(log)),
        delivery_(std::move(delivery)),
        url_(std::move(url)),
        script_(std::move(script)) {}

  void addInput(std::shared_ptr<AssetWriterInput> input) override;
  bool startWriting() override;
  WriterStatus status() const override;
  std::optional<Error> error() const override;
  void startSessionAtSourceTime(MediaTime time) override;
  void finishWriting(std::function<void()> completion) override;
  std::string outputURL() const override { return url_; }

  // The writer fails as an encoder error would make it.
  void fail();
  std::vector<std::shared_ptr<FakeWriterInput>> inputs() const;
  // Session start times, one per call.
  std::vector<MediaTime> sessionStarts() const;
  bool sessionStarted() const;

 private:
  const std::shared_ptr<CallLog> log_;
  const std::shared_ptr<CompletionDelivery> delivery_;
  const std::string url_;
  const Script script_;
  mutable std::mutex mutex_;  // guards the fields below
  WriterStatus status_ = WriterStatus::unknown;
  std::optional<Error> error_;
  std::vector<std::shared_ptr<FakeWriterInput>> inputs_;
  std::vector<MediaTime> sessionStarts_;
};

class FakeMediaWriterFactory final : public MediaWriterFactory {
 public:
  FakeMediaWriterFactory(std::shared_ptr<CallLog> log, std::shared_ptr<CompletionDelivery> delivery)
      : log_(std::move(log)), delivery_(std::move(delivery)) {}

  // Set before the recorder runs.
  std::optional<Error> makeWriterError;
  FakeAssetWriter::Script writerScript;

  std::shared_ptr<AssetWriter> makeWriter(const std::string& url, FileType fileType,
                                          std::optional<Error>& error) override;
  std::shared_ptr<AssetWriterInput> makeInput(MediaType mediaType,
                                              const OutputSettings& outputSettings) override;

  std::shared_ptr<FakeAssetWriter> writer() const;  // the last one made
  std::vector<std::shared_ptr<FakeWriterInput>> inputsMade() const;

 private:
  const std::shared_ptr<CallLog> log_;
  const std::shared_ptr<CompletionDelivery> delivery_;
  mutable std::mutex mutex_;  // guards writer_ and inputs_
  std::shared_ptr<FakeAssetWriter> writer_;
  std::vector<std::shared_ptr<FakeWriterInput>> inputs_;
};

}  // namespace kestrano::fake
