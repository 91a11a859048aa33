#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/linux/ffmpeg/sample_queue.h"
#include "platform/linux/ffmpeg/writer_state.h"
#include "platform/media_writer.h"
#include "platform/mutex.h"

namespace kestrano::ffmpeg {

// One track's input: checks and queues samples for the encoder thread that
// its writer runs. Appends never wait; a refused append changes nothing.
class FfmpegWriterInput final : public AssetWriterInput {
 public:
  FfmpegWriterInput(MediaType mediaType, OutputSettings settings);

  MediaType mediaType() const override { return mediaType_; }
  void setExpectsMediaDataInRealTime(bool realTime) override;
  bool isReadyForMoreMediaData() const override;
  bool appendSampleBuffer(std::shared_ptr<MediaSample> sample) override;
  void markAsFinished() override;

  // For the writer.
  const OutputSettings& settings() const { return settings_; }
  // Joins this input to a writer; false when it already belongs to one.
  bool attach(std::shared_ptr<const WriterState> state);
  SampleQueue& queue() { return queue_; }
  // True once settings and media type agree (a video input with video
  // settings, an audio input with AAC settings).
  bool settingsMatchMediaType() const;

 private:
  // How much media one sample counts for in the queue bound; 0 when the
  // sample is not one this input can encode.
  std::int64_t unitsOf(const MediaSample& sample) const;

  const MediaType mediaType_;
  const OutputSettings settings_;
  SampleQueue queue_;
  std::atomic<bool> finished_{false};  // sequentially consistent; set once
  mutable Mutex mutex_;
  std::shared_ptr<const WriterState> state_ GUARDED_BY(mutex_);
};

}  // namespace kestrano::ffmpeg
