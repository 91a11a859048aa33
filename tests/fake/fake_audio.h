#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/audio_engine.h"
#include "platform/serial_queue.h"
#include "tests/fake/call_log.h"

namespace kestrano::fake {

// The microphone node. Buffers reach the installed tap block on a tap thread
// of the node's own; removeTapOnBus waits for a running call.
class FakeInputNode final : public AudioInputNode {
 public:
  FakeInputNode(std::shared_ptr<CallLog> log, AudioFormat format)
      : log_(std::move(log)), format_(format) {}

  AudioFormat outputFormatForBus(int bus) override;
  void installTapOnBus(int bus, std::uint32_t bufferSize, const AudioFormat& format,
                       TapBlock block) override;
  void removeTapOnBus(int bus) override;

  std::optional<AudioFormat> tapFormat() const;
  bool hasTap() const;
  // A copy of the installed block (empty when none), for calls after the
  // fact (a late tap call).
  TapBlock tapBlock() const;
  // Queues one buffer for the tap thread; dropped when no tap is installed.
  void deliverBuffer(PcmBuffer buffer);
  // Waits until every buffer queued so far has been handled.
  void drainTapThread() {
    tapThread_.sync([] {});
  }

 private:
  const std::shared_ptr<CallLog> log_;
  const AudioFormat format_;
  mutable std::mutex mutex_;  // guards block_ and tapFormat_; held while the block runs
  TapBlock block_;
  std::optional<AudioFormat> tapFormat_;
  SerialQueue tapThread_{"fake.tap"};  // last: joined before the state above goes
};

class FakeAudioEngine final : public AudioEngine {
 public:
  FakeAudioEngine(std::shared_ptr<CallLog> log, std::shared_ptr<FakeInputNode> node,
                  std::optional<Error> startError)
      : log_(std::move(log)), node_(std::move(node)), startError_(std::move(startError)) {}

  std::shared_ptr<AudioInputNode> inputNode() override { return node_; }
  std::optional<Error> startAndReturnError() override;
  void stop() override;
  bool running() const { return running_.load(); }

 private:
  const std::shared_ptr<CallLog> log_;
  const std::shared_ptr<FakeInputNode> node_;
  const std::optional<Error> startError_;
  std::atomic<bool> running_{false};
};

// A converter that resamples by picking the nearest input frame and maps
// channels by index. It asks its input block up to `maxInputRequests` times
// per conversion (as real converters do to fill the output), and records
// what it was handed.
class FakeConverter final : public AudioConverter {
 public:
  struct Conversion {
    int requests = 0;                   // input block calls
    int buffersHanded = 0;              // of those, how many gave a buffer
    const float* outputData = nullptr;  // the output buffer's first channel
    std::uint32_t framesWritten = 0;
    std::uint32_t capacity = 0;  // the output buffer's room
  };

  FakeConverter(std::shared_ptr<CallLog> log, AudioFormat from, AudioFormat to)
      : log_(std::move(log)), from_(from), to_(to) {}

  ConverterOutputStatus convert(PcmBuffer& output, std::optional<Error>& error,
                                const ConverterInputBlock& inputBlock) override;

  // The next `count` conversions fail with an error.
  void failNext(int count) { failures_.store(count); }
  // Called in each conversion, before it returns (e.g. to move the clock).
  void setOnConvert(std::function<void()> hook);
  std::vector<Conversion> conversions() const;

  static constexpr int maxInputRequests = 3;

 private:
  const std::shared_ptr<CallLog> log_;
  const AudioFormat from_;
  const AudioFormat to_;
  std::atomic<int> failures_{0};
  mutable std::mutex mutex_;  // guards conversions_ and onConvert_
  std::vector<Conversion> conversions_;
  std::function<void()> onConvert_;
};

class FakeAudioFactory final : public AudioFactory {
 public:
  explicit FakeAudioFactory(std::shared_ptr<CallLog> log) : log_(std::move(log)) {}

  // Set before the recorder runs.
  AudioFormat microphoneFormat = AudioFormat::standard(44100, 1);
  std::optional<Error> engineStartError;
  bool noConverter = false;
  bool noEngine = false;

  std::shared_ptr<AudioEngine> makeEngine() override;
  std::shared_ptr<AudioConverter> makeConverter(const AudioFormat& from,
                                                const AudioFormat& to) override;

  std::shared_ptr<FakeAudioEngine> engine() const;
  std::shared_ptr<FakeInputNode> node() const;
  std::shared_ptr<FakeConverter> converter() const;
  std::optional<std::pair<AudioFormat, AudioFormat>> converterFormats() const;

 private:
  const std::shared_ptr<CallLog> log_;
  mutable std::mutex mutex_;  // guards the fields below
  std::shared_ptr<FakeAudioEngine> engine_;
  std::shared_ptr<FakeInputNode> node_;
  std::shared_ptr<FakeConverter> converter_;
  std::optional<std::pair<AudioFormat, AudioFormat>> converterFormats_;
};

}  // namespace kestrano::fake
