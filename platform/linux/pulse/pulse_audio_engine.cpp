#include "platform/linux/pulse/pulse_audio_engine.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "platform/linux/pulse/pulse_default_device.h"

namespace kestrano {
namespace {

// A microphone delivers once its stream's timing has settled (a fifth of a
// second); the start waits for that so that a caller that says "recording"
// loses nothing.
// A device that stays silent longer still records.
constexpr std::chrono::milliseconds kFirstDataWait{2000};

// Without a microphone: the format recordings keep microphone sound in, so
// that a track begun in silence needs no conversion when one appears (the
// server converts from the device's own).
AudioFormat withoutMicrophone() {
  return AudioFormat::standard(48000, 2);
}

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
  if (auto source = queryDefaultDevice(*client, DefaultDevice::input, error)) {
    return AudioFormat::standard(source->rate, source->channels);
  }
  if (meansNoDevice(error)) {
    return withoutMicrophone();
  }
  return AudioFormat();
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
                             double rate, MediaTime firstFrame) {
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
    if (fill == 0) {
      const std::int64_t offset = std::int64_t{done} * kNanosecondTimescale / std::lround(rate);
      pendingStart_ = MediaTime::make(firstFrame.nanoseconds() + offset, kNanosecondTimescale);
    }
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
      block_(out, AudioTime{.hostTime = pendingStart_});
      out.setFrameLength(0);
    }
  }
}

PulseAudioEngine::PulseAudioEngine(std::shared_ptr<HostClock> clock,
                                   PulseDefaultDeviceCapture::NoticeHandler notice)
    : clock_(std::move(clock)),
      notice_(std::move(notice)),
      node_(std::make_shared<PulseInputNode>()) {}

PulseAudioEngine::~PulseAudioEngine() {
  stop();
}

std::optional<Error> PulseAudioEngine::startAndReturnError() {
  MutexLock lock(mutex_);
  if (capture_) {
    return std::nullopt;
  }
  // The stream runs in the tap's format whatever the device's own: the
  // server converts, also after a switch to a device of another format.
  const AudioFormat format = node_->tapFormat().value_or(withoutMicrophone());
  const auto rate = static_cast<std::uint32_t>(format.sampleRate());
  const std::uint32_t channels = format.channelCount();
  node_->resetPending();
  std::optional<Error> error;
  capture_ = PulseDefaultDeviceCapture::start(
      {DefaultDevice::input, rate, channels, "microphone"}, clock_,
      [node = node_, channels, rate](const float* data, std::uint32_t frames, MediaTime first) {
        node->deliver(data, frames, channels, rate, first);
      },
      notice_, kFirstDataWait, error);
  return error;
}

void PulseAudioEngine::stop() {
  MutexLock lock(mutex_);
  capture_.reset();  // joins its threads: no tap call after this
}

}  // namespace kestrano
