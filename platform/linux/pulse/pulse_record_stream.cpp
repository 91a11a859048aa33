#include "platform/linux/pulse/pulse_record_stream.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cstring>

#include "platform/audio_format.h"

namespace kestrano {
std::unique_ptr<PulseRecordStream> PulseRecordStream::create(
    PulseClient& client, const Options& options, std::shared_ptr<HostClock> clock,
    DataHandler onData, FailureHandler onFailure, std::optional<Error>& error) {
  if (!isSupportedAudioLayout(options.rate, options.channels)) {
    error = pulseError(PulseErrorCode::unsupportedLayout,
                       "cannot record " + std::to_string(options.rate) + " Hz with " +
                           std::to_string(options.channels) + " channels");
    return nullptr;
  }
  const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, options.rate,
                            static_cast<std::uint8_t>(options.channels)};
  std::unique_ptr<PulseRecordStream> self(new PulseRecordStream(
      client, options, std::move(clock), std::move(onData), std::move(onFailure)));
  PulseClient::Lock lock(client);
  if (!client.alive()) {
    error = client.lastError(PulseErrorCode::connectionFailed,
                             "the connection to " + client.serverName() + " is gone");
    return nullptr;
  }
  self->stream_ = pa_stream_new(client.context(), "capture", &spec, nullptr);
  if (self->stream_ == nullptr) {
    error = client.lastError(PulseErrorCode::streamFailed, "cannot create a record stream");
    return nullptr;
  }
  pa_stream_set_state_callback(self->stream_, &PulseRecordStream::onStateChange, self.get());
  pa_stream_set_read_callback(self->stream_, &PulseRecordStream::onReadable, self.get());
  pa_buffer_attr attr;
  attr.maxlength = static_cast<std::uint32_t>(-1);
  attr.tlength = attr.prebuf = attr.minreq = static_cast<std::uint32_t>(-1);
  attr.fragsize = static_cast<std::uint32_t>(
      pa_usec_to_bytes(static_cast<pa_usec_t>(options.fragment.count()) * PA_USEC_PER_MSEC, &spec));
  // Not monotonic: when the server corrects its timing, the latency jumps
  // to the right value at once instead of freezing the clock until real
  // time catches up (which stamped buffers at twice their length).
  // Pinned to its device: the server neither moves it elsewhere nor keeps
  // it alive on another device when this one goes; it fails instead, and
  // the owner chooses where to go.
  auto flags = static_cast<pa_stream_flags_t>(
      PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_NOT_MONOTONIC | PA_STREAM_AUTO_TIMING_UPDATE |
      PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
  const std::string source = "\"" + options.device + "\"";
  if (pa_stream_connect_record(self->stream_, options.device.c_str(), &attr, flags) < 0) {
    error = client.lastError(PulseErrorCode::streamFailed, "cannot record from " + source);
    return nullptr;
  }
  bool ready = client.waitFor([&] { return self->ready_ || self->failed_; });
  if (!ready || !self->ready_) {
    error = self->failed_
                ? client.lastError(PulseErrorCode::streamFailed, "cannot record from " + source)
                : pulseError(PulseErrorCode::timedOut,
                             "timed out starting to record from " + client.serverName());
    self->failed_ = true;  // no failure report for a stream that never ran
    return nullptr;
  }
  return self;
}

PulseRecordStream::PulseRecordStream(PulseClient& client, const Options& options,
                                     std::shared_ptr<HostClock> clock, DataHandler onData,
                                     FailureHandler onFailure)
    : client_(client),
      options_(options),
      clock_(std::move(clock)),
      onData_(std::move(onData)),
      onFailure_(std::move(onFailure)),
      timeline_(options.rate) {}

PulseRecordStream::~PulseRecordStream() {
  if (stream_ == nullptr) {
    return;
  }
  PulseClient::Lock lock(client_);
  pa_stream_set_state_callback(stream_, nullptr, nullptr);
  pa_stream_set_read_callback(stream_, nullptr, nullptr);
  if (ready_ && !failed_) {
    pa_stream_disconnect(stream_);
  }
  pa_stream_unref(stream_);
}

void PulseRecordStream::waitForFirstData(std::chrono::milliseconds timeout) {
  PulseClient::Lock lock(client_);
  client_.waitFor([this] { return delivered_ || failed_; }, timeout);
}

void PulseRecordStream::onStateChange(pa_stream* s, void* userdata) {
  auto* self = static_cast<PulseRecordStream*>(userdata);
  switch (pa_stream_get_state(s)) {
    case PA_STREAM_READY:
      self->ready_ = true;
      break;
    case PA_STREAM_FAILED:
    case PA_STREAM_TERMINATED:
      if (self->ready_ && !self->failed_ && self->onFailure_) {
        self->failed_ = true;
        self->onFailure_(pulseError(PulseErrorCode::streamFailed,
                                    "recording from " + self->client_.serverName() + " stopped",
                                    pa_context_errno(pa_stream_get_context(s))));
      }
      self->failed_ = true;
      break;
    default:
      break;
  }
  self->client_.signal();
}

void PulseRecordStream::onReadable(pa_stream* s, std::size_t, void* userdata) {
  auto* self = static_cast<PulseRecordStream*>(userdata);
  const std::size_t frameBytes = sizeof(float) * self->options_.channels;
  while (pa_stream_readable_size(s) > 0) {
    const void* data = nullptr;
    std::size_t bytes = 0;
    if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0) {
      return;
    }
    const auto frames = static_cast<std::uint32_t>(bytes / frameBytes);
    if (frames > 0) {
      self->take(data, frames);
    }
    pa_stream_drop(s);
    if (frames > 0) {
      self->chunks_.fetch_add(1, std::memory_order_relaxed);
      self->place(frames);
    }
  }
}

void PulseRecordStream::take(const void* data, std::uint32_t frames) {
  const std::size_t held = pending_.size();
  const std::size_t samples = static_cast<std::size_t>(frames) * options_.channels;
  pending_.resize(held + samples);
  if (data != nullptr) {
    std::memcpy(pending_.data() + held, data, samples * sizeof(float));
  } else {
    // A hole (data the server lost): silence keeps the timeline whole.
    std::fill(pending_.begin() + static_cast<std::ptrdiff_t>(held), pending_.end(), 0.0f);
  }
}

// After the drop, the stream's latency is how long ago the chunk's last frame
// was captured (negative on monitors, which see data before it plays).
void PulseRecordStream::place(std::uint32_t frames) {
  pa_usec_t usec = 0;
  int negative = 0;
  std::int64_t latency = 0;
  if (pa_stream_get_latency(stream_, &usec, &negative) == 0) {
    latency = static_cast<std::int64_t>(usec * PA_NSEC_PER_USEC) * (negative ? -1 : 1);
  }
  const std::optional<std::int64_t> first =
      timeline_.place(clock_->now().nanoseconds(), frames, latency);
  if (!first) {
    return;
  }
  if (onData_) {
    onData_(pending_.data(), static_cast<std::uint32_t>(pending_.size() / options_.channels),
            MediaTime::make(*first, kNanosecondTimescale));
  }
  pending_.clear();
  if (!delivered_) {
    delivered_ = true;
    client_.signal();
  }
}

}  // namespace kestrano
