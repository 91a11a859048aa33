#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/ffmpeg/audio_track_encoder.h"
#include "platform/linux/ffmpeg/chapter_track_encoder.h"
#include "platform/linux/ffmpeg/ffmpeg_writer_input.h"
#include "platform/linux/ffmpeg/fragmented_muxer.h"
#include "platform/linux/ffmpeg/output_file.h"
#include "platform/linux/ffmpeg/track_worker.h"
#include "platform/linux/ffmpeg/video_track_encoder.h"
#include "platform/linux/ffmpeg/writer_state.h"
#include "platform/media_writer.h"
#include "platform/mutex.h"

namespace kestrano::ffmpeg {

// The MP4 writer: one encoder thread per input feeding one fragmented-MP4
// muxer while recording, and an ordinary MP4 at the path once finished.
class FfmpegAssetWriter final : public AssetWriter {
 public:
  explicit FfmpegAssetWriter(std::string path);
  ~FfmpegAssetWriter() override;
  FfmpegAssetWriter(const FfmpegAssetWriter&) = delete;
  FfmpegAssetWriter& operator=(const FfmpegAssetWriter&) = delete;

  void addInput(std::shared_ptr<AssetWriterInput> input) override;
  bool startWriting() override;
  WriterStatus status() const override;
  std::optional<Error> error() const override;
  void startSessionAtSourceTime(MediaTime time) override;
  // Runs on the caller's thread and calls the completion before returning.
  void finishWriting(std::function<void()> completion) override;
  std::string outputURL() const override { return path_; }
  bool outputIsAtURL() const override { return outputAtUrl_.load(std::memory_order_acquire); }
  void cancelWriting() override;

 private:
  struct Track {
    std::shared_ptr<FfmpegWriterInput> input;
    std::unique_ptr<VideoTrackEncoder> video;  // one of these three
    std::unique_ptr<AudioTrackEncoder> audio;
    std::unique_ptr<ChapterTrackEncoder> text;
    std::unique_ptr<TrackWorker> worker;
  };

  // Records the first error and leaves the writing state.
  void fail(const Error& error) EXCLUDES(errorMutex_);
  bool startFailed(const Error& error) EXCLUDES(errorMutex_);
  // A start that fails once the file exists: the threads stop, and the file
  // goes again.
  bool startFailedAfterOpen(const Error& error) REQUIRES(controlMutex_);
  // Stop the encoder threads; flush the encoders, each track up to where the
  // recording ends.
  void stopWorkersLocked() REQUIRES(controlMutex_);
  void finishEncodersLocked() REQUIRES(controlMutex_);

  const std::string path_;
  const std::shared_ptr<WriterState> state_;

  mutable Mutex errorMutex_;
  std::optional<Error> error_ GUARDED_BY(errorMutex_);

  // Serialises addInput, startWriting, startSessionAtSourceTime and
  // finishWriting. The encoders inside tracks_ belong to their worker
  // threads while those run.
  Mutex controlMutex_ ACQUIRED_BEFORE(errorMutex_);
  std::vector<Track> tracks_ GUARDED_BY(controlMutex_);
  // Outlives muxer_, which writes into it.
  std::unique_ptr<OutputFile> file_ GUARDED_BY(controlMutex_);
  std::unique_ptr<FragmentedMuxer> muxer_ GUARDED_BY(controlMutex_);
  // Set by finishWriting: whether the path still names this writer's file.
  std::atomic<bool> outputAtUrl_{false};
};

}  // namespace kestrano::ffmpeg
