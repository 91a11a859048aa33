#include "platform/linux/ffmpeg/track_worker.h"

namespace kestrano::ffmpeg {

TrackWorker::TrackWorker(SampleQueue& queue, Encode encode, Failure onFailure)
    : queue_(queue),
      encode_(std::move(encode)),
      onFailure_(std::move(onFailure)),
      thread_([this] { run(); }) {}

TrackWorker::~TrackWorker() {
  queue_.close();
  thread_.join();
}

void TrackWorker::run() {
  bool failed = false;
  while (std::shared_ptr<MediaSample> sample = queue_.pop()) {
    if (failed) {
      continue;
    }
    if (std::optional<Error> e = encode_(sample)) {
      failed = true;
      onFailure_(*e);
    }
  }
}

}  // namespace kestrano::ffmpeg
