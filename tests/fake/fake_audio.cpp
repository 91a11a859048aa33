#include "tests/fake/fake_audio.h"

#include <algorithm>
#include <string>

namespace kestrano::fake {

AudioFormat FakeInputNode::outputFormatForBus(int bus) {
  log_->add("node.outputFormat " + std::to_string(bus));
  return format_;
}

void FakeInputNode::installTapOnBus(int bus, std::uint32_t bufferSize, const AudioFormat& format,
                                    TapBlock block) {
  log_->add("node.installTap " + std::to_string(bus) + " " + std::to_string(bufferSize));
  std::lock_guard lock(mutex_);
  block_ = std::move(block);
  tapFormat_ = format;
}

void FakeInputNode::removeTapOnBus(int bus) {
  log_->add("node.removeTap " + std::to_string(bus));
  TapBlock old;
  {
    std::lock_guard lock(mutex_);  // waits for a running tap call
    old.swap(block_);
  }
}

std::optional<AudioFormat> FakeInputNode::tapFormat() const {
  std::lock_guard lock(mutex_);
  return tapFormat_;
}

bool FakeInputNode::hasTap() const {
  std::lock_guard lock(mutex_);
  return static_cast<bool>(block_);
}

TapBlock FakeInputNode::tapBlock() const {
  std::lock_guard lock(mutex_);
  return block_;
}

void FakeInputNode::deliverBuffer(PcmBuffer buffer) {
  tapThread_.async([this, buffer = std::move(buffer)] {
    std::lock_guard lock(mutex_);
    if (block_) {
      block_(buffer, AudioTime{});
    }
  });
}

std::optional<Error> FakeAudioEngine::startAndReturnError() {
  log_->add("engine.start");
  if (startError_) {
    return startError_;
  }
  running_.store(true);
  return std::nullopt;
}

void FakeAudioEngine::stop() {
  log_->add("engine.stop");
  running_.store(false);
}

ConverterOutputStatus FakeConverter::convert(PcmBuffer& output, std::optional<Error>& error,
                                             const ConverterInputBlock& inputBlock) {
  log_->add("converter.convert");
  Conversion record;
  record.outputData = output.bufferCount() > 0 ? output.data(0) : nullptr;
  record.capacity = output.frameCapacity();
  std::uint32_t written = 0;
  const double ratio = to_.sampleRate() / from_.sampleRate();
  for (int i = 0; i < maxInputRequests && written < output.frameCapacity(); ++i) {
    ConverterInputStatus status = ConverterInputStatus::endOfStream;
    const PcmBuffer* in = inputBlock(output.frameCapacity() - written, status);
    ++record.requests;
    if (status != ConverterInputStatus::haveData || in == nullptr) {
      break;
    }
    ++record.buffersHanded;
    auto frames = static_cast<std::uint32_t>(in->frameLength() * ratio);
    frames = std::min(frames, output.frameCapacity() - written);
    for (std::uint32_t f = 0; f < frames; ++f) {
      auto src = std::min(static_cast<std::uint32_t>(f / ratio), in->frameLength() - 1);
      for (std::uint32_t c = 0; c < to_.channelCount(); ++c) {
        std::uint32_t inChannel = std::min(c, from_.channelCount() - 1);
        float v = from_.isInterleaved() ? in->data(0)[src * from_.channelCount() + inChannel]
                                        : in->data(inChannel)[src];
        output.data(c)[written + f] = v;
      }
    }
    written += frames;
  }
  std::function<void()> hook;
  {
    std::lock_guard lock(mutex_);
    hook = onConvert_;
  }
  if (hook) {
    hook();
  }
  if (failures_.load() > 0) {
    failures_.fetch_sub(1);
    error = Error{"fake.converter", 7, "conversion failed"};
    written = 0;
  }
  output.setFrameLength(written);
  record.framesWritten = written;
  std::lock_guard lock(mutex_);
  conversions_.push_back(record);
  return error ? ConverterOutputStatus::error : ConverterOutputStatus::haveData;
}

void FakeConverter::setOnConvert(std::function<void()> hook) {
  std::lock_guard lock(mutex_);
  onConvert_ = std::move(hook);
}

std::vector<FakeConverter::Conversion> FakeConverter::conversions() const {
  std::lock_guard lock(mutex_);
  return conversions_;
}

std::shared_ptr<AudioEngine> FakeAudioFactory::makeEngine() {
  log_->add("engine.make");
  if (noEngine) {
    return nullptr;
  }
  auto node = std::make_shared<FakeInputNode>(log_, microphoneFormat);
  auto engine = std::make_shared<FakeAudioEngine>(log_, node, engineStartError);
  std::lock_guard lock(mutex_);
  engine_ = engine;
  node_ = node;
  return engine;
}

std::shared_ptr<AudioConverter> FakeAudioFactory::makeConverter(const AudioFormat& from,
                                                                const AudioFormat& to) {
  log_->add("converter.make");
  std::lock_guard lock(mutex_);
  converterFormats_ = std::make_pair(from, to);
  if (noConverter) {
    return nullptr;
  }
  converter_ = std::make_shared<FakeConverter>(log_, from, to);
  return converter_;
}

std::shared_ptr<FakeAudioEngine> FakeAudioFactory::engine() const {
  std::lock_guard lock(mutex_);
  return engine_;
}

std::shared_ptr<FakeInputNode> FakeAudioFactory::node() const {
  std::lock_guard lock(mutex_);
  return node_;
}

std::shared_ptr<FakeConverter> FakeAudioFactory::converter() const {
  std::lock_guard lock(mutex_);
  return converter_;
}

std::optional<std::pair<AudioFormat, AudioFormat>> FakeAudioFactory::converterFormats() const {
  std::lock_guard lock(mutex_);
  return converterFormats_;
}

}  // namespace kestrano::fake
