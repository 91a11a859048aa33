#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/audio_format.h"
#include "platform/linux/capture/output_registry.h"
#include "platform/media_sample.h"
#include "platform/screen_capture.h"

namespace kestrano {

// Hands a started stream's samples to its outputs' queues and counts those
// the handlers have not returned yet, so a stalled handler holds back new
// frames rather than piling them up. Made at start from the outputs then
// added and immutable after, so any thread may use it.
class SampleDelivery {
 public:
  // `stream` is what the handlers and the delegate are told about;
  // `queueDepth` is the most frames handed over and not yet returned.
  SampleDelivery(std::weak_ptr<Stream> stream, std::weak_ptr<StreamDelegate> delegate,
                 const OutputRegistry& outputs, std::int64_t queueDepth);

  // Whether a frame handed over now would be taken: there is a screen
  // output and it holds fewer than the queue depth.
  bool screenHasRoom() const;
  void deliverFrame(std::shared_ptr<MediaSample> frame);
  // False when the buffer was dropped: no audio output, or its handler has
  // stalled with many buffers waiting.
  bool deliverAudio(PcmBuffer buffer, MediaTime presentationTime);

  // Tells the delegate of a capture that failed by itself, once, on an
  // output queue behind the samples already there (never on the caller's
  // thread, so the delegate may stop or release the stream).
  void reportFailure(const Error& error) const;
  // Runs `completion` once every output queue has run what was queued before.
  void completeBehindQueues(ErrorCompletion completion) const;

 private:
  // Shared with the queued tasks, which may outlive the stream.
  struct InFlight {
    std::atomic<std::int64_t> frames{0};
    std::atomic<std::int64_t> audioBuffers{0};
  };

  void deliver(const OutputRegistry::Entry& output, std::shared_ptr<MediaSample> sample,
               StreamOutputType type);

  const std::weak_ptr<Stream> stream_;
  const std::weak_ptr<StreamDelegate> delegate_;
  const std::optional<OutputRegistry::Entry> screen_;
  const std::optional<OutputRegistry::Entry> audio_;
  const std::int64_t queueDepth_;
  const std::shared_ptr<InFlight> inFlight_ = std::make_shared<InFlight>();
};

}  // namespace kestrano
