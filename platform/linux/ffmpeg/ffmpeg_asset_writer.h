#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/ffmpeg/audio_track_encoder.h"
#include "platform/linux/ffmpeg/ffmpeg_writer_input.h"
#include "platform/linux/ffmpeg/fragmented_muxer.h"
#include "platform/linux/ffmpeg/output_file.h"
#include "platform/linux/ffmpeg/track_worker.h"
#include "platform/linux/ffmpeg/video_track_encoder.h"
#include "platform/linux/ffmpeg/writer_state.h"
#include "platform/media_writer.h"

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
    std::unique_ptr<VideoTrackEncoder> video;  // one of these two
    std::unique_ptr<AudioTrackEncoder> audio;
    std::unique_ptr<TrackWorker> worker;
  };

  // Records the first error and leaves the writing state.
  void fail(const Error& error);
  bool startFailed(const Error& error);
  // Both need controlMutex_ held: stop the encoder threads; flush the
  // encoders, returning where the recording ends (seconds).
  void stopWorkersLocked();
  double finishEncodersLocked();

  const std::string path_;
  const std::shared_ptr<WriterState> state_;

  mutable std::mutex errorMutex_;  // guards error_
  std::optional<Error> error_;

  // Serialises addInput, startWriting, startSessionAtSourceTime and
  // finishWriting; guards tracks_ and muxer_ (the encoders inside tracks_
  // belong to their worker threads while those run).
  std::mutex controlMutex_;
  std::vector<Track> tracks_;
  std::unique_ptr<OutputFile> file_;  // outlives muxer_, which writes into it
  std::unique_ptr<FragmentedMuxer> muxer_;
  // Set by finishWriting: whether the path still names this writer's file.
  std::atomic<bool> outputAtUrl_{false};
};

}  // namespace kestrano::ffmpeg
