#pragma once

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_engine.h"
#include "platform/mutex.h"
#include "platform/thread_annotations.h"
#include "tests/fake/fake_context.h"

namespace kestrano::fake {

// A format as the call log shows it, e.g. "44100Hz 1ch planar".
inline std::string describe(const AudioFormat& f) {
  return std::to_string(static_cast<long long>(f.sampleRate())) + "Hz " +
         std::to_string(f.channelCount()) + "ch " + (f.isInterleaved() ? "interleaved" : "planar");
}

// Stretches each input buffer by the rate ratio, repeating its first sample
// on every output channel (enough to see where audio went). Like a real
// converter it asks its input block again while the output has room (up to
// three times), so a buffer handed over twice shows as doubled frames.
class FakeConverter final : public AudioConverter {
 public:
  struct Conversion {
    std::uint32_t capacity = 0;
    const float* outputData = nullptr;  // the output buffer's first channel
  };

  FakeConverter(std::shared_ptr<FakeContext> context, double ratio, int failures,
                std::function<void()> onConvert)
      : context_(std::move(context)),
        ratio_(ratio),
        failures_(failures),
        onConvert_(std::move(onConvert)) {}

  ConverterOutputStatus convert(PcmBuffer& output, std::optional<Error>& error,
                                const ConverterInputBlock& inputBlock) override {
    context_->log.add("converter.convert");
    const std::uint32_t capacity = output.frameCapacity();
    std::uint32_t frames = 0;
    for (int request = 0; request < 3 && frames < capacity; ++request) {
      ConverterInputStatus status = ConverterInputStatus::endOfStream;
      const PcmBuffer* in = inputBlock(capacity - frames, status);
      if (status != ConverterInputStatus::haveData || in == nullptr) {
        break;
      }
      auto n = std::min(static_cast<std::uint32_t>(in->frameLength() * ratio_), capacity - frames);
      for (std::size_t ch = 0; n > 0 && ch < output.bufferCount(); ++ch) {
        std::fill_n(output.data(ch) + frames, n, in->data(0)[0]);
      }
      frames += n;
    }
    if (onConvert_) {
      onConvert_();
    }
    if (failures_.fetch_sub(1) > 0) {
      error = Error{"fake", 7, "conversion failed"};
      frames = 0;
    }
    output.setFrameLength(frames);
    conversions_.with([&](auto& all) { all.push_back(Conversion{capacity, output.data(0)}); });
    return error ? ConverterOutputStatus::error : ConverterOutputStatus::haveData;
  }
  std::vector<Conversion> conversions() const { return conversions_.get(); }

 private:
  const std::shared_ptr<FakeContext> context_;
  const double ratio_;
  std::atomic<int> failures_;
  const std::function<void()> onConvert_;
  Guarded<std::vector<Conversion>> conversions_;
};

// The audio factory, and the one engine with its microphone node that it
// makes. Buffers reach the installed tap block on a tap thread of the fake's
// own; removeTapOnBus waits for a running call.
class FakeAudio final : public AudioFactory,
                        public AudioEngine,
                        public AudioInputNode,
                        public std::enable_shared_from_this<FakeAudio> {
 public:
  explicit FakeAudio(std::shared_ptr<FakeContext> context) : context_(std::move(context)) {}

  // Set before the recorder runs.
  AudioFormat microphoneFormat = AudioFormat::standard(44100, 1);
  std::optional<Error> engineStartError;
  bool noEngine = false;
  bool noConverter = false;
  int failingConversions = 0;       // the first ones fail with an error
  std::function<void()> onConvert;  // runs inside each conversion (to move the clock)

  std::shared_ptr<AudioEngine> makeEngine() override {
    context_->log.add("engine.make");
    return noEngine ? nullptr : shared_from_this();
  }
  std::shared_ptr<AudioConverter> makeConverter(const AudioFormat& from,
                                                const AudioFormat& to) override {
    context_->log.add("converter.make " + describe(from) + " to " + describe(to));
    if (noConverter) {
      return nullptr;
    }
    const double ratio = from.sampleRate() > 0 ? to.sampleRate() / from.sampleRate() : 0;
    converter_.set(std::make_shared<FakeConverter>(context_, ratio, failingConversions, onConvert));
    return converter_.get();
  }
  std::shared_ptr<FakeConverter> converter() const { return converter_.get(); }

  std::shared_ptr<AudioInputNode> inputNode() override { return shared_from_this(); }
  std::optional<Error> startAndReturnError() override {
    context_->log.add("engine.start");
    return engineStartError;
  }
  void stop() override { context_->log.add("engine.stop"); }

  AudioFormat outputFormatForBus(int bus) override {
    context_->log.add("node.outputFormat " + std::to_string(bus));
    return microphoneFormat;
  }
  void installTapOnBus(int bus, std::uint32_t bufferSize, const AudioFormat& format,
                       TapBlock block) override {
    context_->log.add("node.installTap " + std::to_string(bus) + " " + std::to_string(bufferSize) +
                      " " + describe(format));
    MutexLock lock(mutex_);
    block_ = std::move(block);
  }
  void removeTapOnBus(int bus) override {
    context_->log.add("node.removeTap " + std::to_string(bus));
    MutexLock lock(mutex_);
    block_ = nullptr;
  }

  // A copy of the installed block, for a call after the fact (a late tap call).
  TapBlock tapBlock() const {
    MutexLock lock(mutex_);
    return block_;
  }
  // Queues one buffer for the tap thread; dropped when no tap is installed.
  void deliverBuffer(PcmBuffer buffer) {
    tapThread_.async([this, buffer = std::move(buffer)] {
      MutexLock lock(mutex_);
      if (block_) {
        block_(buffer, AudioTime{});
      }
    });
  }
  // Waits until every buffer queued so far has been handled.
  void drainTapThread() {
    tapThread_.sync([] {});
  }

 private:
  const std::shared_ptr<FakeContext> context_;
  Guarded<std::shared_ptr<FakeConverter>> converter_;
  mutable Mutex mutex_;  // held while the block runs, so removeTapOnBus waits for it
  TapBlock block_ GUARDED_BY(mutex_);
  SerialQueue tapThread_{"fake.tap"};  // last: joined before the state above goes
};

}  // namespace kestrano::fake
