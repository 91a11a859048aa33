#include "platform/linux/pulse/pulse_audio_engine.h"

#include <algorithm>
#include <chrono>

#include "platform/linux/pulse/pulse_default_source.h"

namespace kestrano {
namespace {

// A microphone delivers within a fragment or two of the stream's start; the
// start waits for that so that a caller that says "recording" loses nothing.
// A device that stays silent longer still records.
constexpr std::chrono::milliseconds kFirstDataWait{2000};

}  // namespace

AudioFormat PulseInputNode::outputFormatForBus(int bus) {
  if (bus != 0) {
    return AudioFormat();
  }
  std::optional<Error> error;
  auto client = PulseClient::create("microphone format", nullptr, error);
  if (!client) {
    return AudioFormat();
  }
  auto source = queryDefaultSource(*client, error);
  if (!source) {
    return AudioFormat();
  }
  return AudioFormat::standard(source->rate, source->channels);
}

void PulseInputNode::installTapOnBus(int bus, std::uint32_t bufferSize, const AudioFormat& format,
                                     TapBlock block) {
  if (bus != 0 || bufferSize == 0) {
    return;
  }
  MutexLock lock(tapMutex_);
  block_ = std::move(block);
  bufferSize_ = bufferSize;
  format_ = format;
  pending_.reset();
}

void PulseInputNode::removeTapOnBus(int bus) {
  if (bus != 0) {
    return;
  }
  // Waits for a running call of the block: deliver() holds the mutex for it.
  MutexLock lock(tapMutex_);
  block_ = nullptr;
  pending_.reset();
}

std::optional<AudioFormat> PulseInputNode::tapFormat() {
  MutexLock lock(tapMutex_);
  if (!block_ || !isSupportedAudioLayout(format_.sampleRate(), format_.channelCount())) {
    return std::nullopt;
  }
  return format_;
}

void PulseInputNode::resetPending() {
  MutexLock lock(tapMutex_);
  pending_.reset();
}

void PulseInputNode::deliver(const float* interleaved, std::uint32_t frames, std::uint32_t channels,
                             double rate) {
  MutexLock lock(tapMutex_);
  // A tap in another format than the stream's cannot be served.
  if (!block_ || format_.channelCount() != channels || format_.sampleRate() != rate) {
    return;
  }
  std::uint32_t done = 0;
  while (done < frames) {
    if (!pending_) {
      pending_.emplace(format_, bufferSize_);
    }
    PcmBuffer& out = *pending_;
    const std::uint32_t fill = out.frameLength();
    const std::uint32_t n = std::min(frames - done, bufferSize_ - fill);
    const float* from = interleaved + static_cast<std::size_t>(done) * channels;
    if (format_.isInterleaved()) {
      std::copy(from, from + static_cast<std::size_t>(n) * channels,
                out.data(0) + static_cast<std::size_t>(fill) * channels);
    } else {
      for (std::uint32_t c = 0; c < channels; ++c) {
        float* plane = out.data(c) + fill;
        for (std::uint32_t i = 0; i < n; ++i) {
          plane[i] = from[static_cast<std::size_t>(i) * channels + c];
        }
      }
    }
    out.setFrameLength(fill + n);
    done += n;
    if (out.frameLength() == bufferSize_) {
      block_(out, AudioTime{});
      out.setFrameLength(0);
    }
  }
}

PulseAudioEngine::PulseAudioEngine(std::shared_ptr<HostClock> clock)
    : clock_(std::move(clock)), node_(std::make_shared<PulseInputNode>()) {}

PulseAudioEngine::~PulseAudioEngine() {
  stop();
}

std::optional<Error> PulseAudioEngine::startAndReturnError() {
  MutexLock lock(mutex_);
  if (client_) {
    return std::nullopt;
  }
  std::optional<Error> error;
  // The engine has no way to report a server that goes away later: the tap
  // simply stops receiving buffers.
  auto client = PulseClient::create("microphone", nullptr, error);
  if (!client) {
    return error;
  }
  auto source = queryDefaultSource(*client, error);
  if (!source) {
    return error;
  }
  // The stream runs in the tap's format; the server converts if it differs
  // from the source's own.
  std::uint32_t rate = source->rate, channels = source->channels;
  if (auto tap = node_->tapFormat()) {
    rate = static_cast<std::uint32_t>(tap->sampleRate());
    channels = tap->channelCount();
  }
  node_->resetPending();
  PulseRecordStream::Options options{source->name, rate, channels};
  auto node = node_;
  auto stream = PulseRecordStream::create(
      *client, options, clock_,
      [node, channels, rate](const float* data, std::uint32_t frames, MediaTime) {
        node->deliver(data, frames, channels, rate);
      },
      nullptr, error);
  if (!stream) {
    return error;
  }
  stream->waitForFirstData(kFirstDataWait);
  client_ = std::move(client);
  stream_ = std::move(stream);
  return std::nullopt;
}

void PulseAudioEngine::stop() {
  MutexLock lock(mutex_);
  if (!client_) {
    return;
  }
  client_->stop();  // joins the mainloop thread: no tap call after this
  stream_.reset();
  client_.reset();
}

}  // namespace kestrano
