#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include "platform/error.h"
#include "platform/linux/ffmpeg/sample_queue.h"

namespace kestrano::ffmpeg {

// The encoder thread of one track: takes samples from the track's queue and
// encodes them until the queue is closed and drained. After the first error it
// reports the error once and discards the rest.
class TrackWorker {
 public:
  using Encode = std::function<std::optional<Error>(const std::shared_ptr<MediaSample>&)>;
  using Failure = std::function<void(const Error&)>;

  // Starts the thread; `queue` must outlive the worker. Nothing, with `error`
  // set, when the system refuses another thread.
  static std::unique_ptr<TrackWorker> create(SampleQueue& queue, Encode encode, Failure onFailure,
                                             std::optional<Error>& error);
  // Closes the queue and joins the thread.
  ~TrackWorker();
  TrackWorker(const TrackWorker&) = delete;
  TrackWorker& operator=(const TrackWorker&) = delete;

 private:
  TrackWorker(SampleQueue& queue, Encode encode, Failure onFailure);
  void run();

  SampleQueue& queue_;
  const Encode encode_;
  const Failure onFailure_;
  std::thread thread_;
};

}  // namespace kestrano::ffmpeg
