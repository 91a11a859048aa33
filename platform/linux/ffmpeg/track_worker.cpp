#include "platform/linux/ffmpeg/track_worker.h"

#include <system_error>

#include "platform/linux/ffmpeg/writer_errors.h"

namespace kestrano::ffmpeg {

TrackWorker::TrackWorker(SampleQueue& queue, Encode encode, Failure onFailure)
    : queue_(queue), encode_(std::move(encode)), onFailure_(std::move(onFailure)) {}

std::unique_ptr<TrackWorker> TrackWorker::create(SampleQueue& queue, Encode encode,
                                                 Failure onFailure, std::optional<Error>& error) {
  std::unique_ptr<TrackWorker> worker(
      new TrackWorker(queue, std::move(encode), std::move(onFailure)));
  // std::thread reports a refused thread by throwing; it goes no further.
  try {
    worker->thread_ = std::thread([w = worker.get()] { w->run(); });
  } catch (const std::system_error& e) {
    error = writerError(WriterErrorCode::threadStartFailed,
                        std::string("Cannot start an encoder thread: ") + e.what());
    return nullptr;
  }
  return worker;
}

TrackWorker::~TrackWorker() {
  queue_.close();
  if (thread_.joinable()) {
    thread_.join();
  }
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
