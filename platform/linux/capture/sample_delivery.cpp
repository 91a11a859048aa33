#include "platform/linux/capture/sample_delivery.h"

#include <utility>
#include <vector>

#include "platform/scope_guard.h"

namespace kestrano {
namespace {

// Audio buffers waiting in a queue whose handler has stalled: about four
// seconds of 20 ms buffers. Beyond that they are dropped rather than piled
// up without bound; a working handler never comes near.
constexpr std::int64_t kMaxAudioBuffersInFlight = 200;

}  // namespace

SampleDelivery::SampleDelivery(std::weak_ptr<Stream> stream, std::weak_ptr<StreamDelegate> delegate,
                               const OutputRegistry& outputs, std::int64_t queueDepth)
    : stream_(std::move(stream)),
      delegate_(std::move(delegate)),
      screen_(outputs.screen()),
      audio_(outputs.audio()),
      queueDepth_(queueDepth) {}

bool SampleDelivery::screenHasRoom() const {
  return screen_.has_value() && inFlight_->frames.load(std::memory_order_acquire) < queueDepth_;
}

void SampleDelivery::deliverFrame(std::shared_ptr<MediaSample> frame) {
  if (screen_) {
    deliver(*screen_, std::move(frame), StreamOutputType::screen);
  }
}

bool SampleDelivery::deliverAudio(PcmBuffer buffer, MediaTime presentationTime) {
  if (!audio_ ||
      inFlight_->audioBuffers.load(std::memory_order_acquire) >= kMaxAudioBuffersInFlight) {
    return false;
  }
  auto rate = static_cast<std::int32_t>(buffer.format().sampleRate());
  MediaTime duration =
      rate > 0 ? MediaTime::make(buffer.frameLength(), rate) : MediaTime::invalid();
  deliver(*audio_,
          MediaSample::makeAudio(std::move(buffer), SampleTimingInfo{duration, presentationTime,
                                                                     MediaTime::invalid()}),
          StreamOutputType::audio);
  return true;
}

void SampleDelivery::deliver(const OutputRegistry::Entry& output,
                             std::shared_ptr<MediaSample> sample, StreamOutputType type) {
  std::atomic<std::int64_t>& count =
      type == StreamOutputType::screen ? inFlight_->frames : inFlight_->audioBuffers;
  count.fetch_add(1, std::memory_order_acq_rel);
  output.queue->async([stream = stream_, target = output.output, inFlight = inFlight_,
                       sample = std::move(sample), type] {
    std::atomic<std::int64_t>& count =
        type == StreamOutputType::screen ? inFlight->frames : inFlight->audioBuffers;
    // The handler has returned the sample, however it left.
    ScopeGuard release([&count] { count.fetch_sub(1, std::memory_order_acq_rel); });
    auto told = stream.lock();
    auto out = target.lock();
    if (told && out) {
      out->streamDidOutputSampleBuffer(*told, sample, type);
    }
  });
}

void SampleDelivery::reportFailure(const Error& error) const {
  const OutputRegistry::Entry& output = screen_ ? *screen_ : *audio_;
  output.queue->async([stream = stream_, delegate = delegate_, error] {
    auto failed = stream.lock();
    auto told = delegate.lock();
    if (failed && told) {
      told->streamDidStopWithError(*failed, error);
    }
  });
}

void SampleDelivery::completeBehindQueues(ErrorCompletion completion) const {
  std::vector<std::shared_ptr<SerialQueue>> queues;
  for (const auto* output : {&screen_, &audio_}) {
    if (*output && (queues.empty() || queues.front() != (*output)->queue)) {
      queues.push_back((*output)->queue);
    }
  }
  struct Barrier {
    Barrier(std::size_t queues, ErrorCompletion done)
        : remaining(queues), completion(std::move(done)) {}
    std::atomic<std::size_t> remaining;
    ErrorCompletion completion;
  };
  auto barrier = std::make_shared<Barrier>(queues.size(), std::move(completion));
  for (const auto& queue : queues) {
    queue->async([barrier] {
      if (barrier->remaining.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        barrier->completion(std::nullopt);
      }
    });
  }
}

}  // namespace kestrano
