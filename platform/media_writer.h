#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "platform/error.h"
#include "platform/media_sample.h"
#include "platform/media_time.h"

namespace kestrano {

enum class MediaType { video, audio, text };
enum class FileType { mpeg4 };

enum class VideoCodec { h264 };
enum class H264ProfileLevel { highAutoLevel };

struct VideoCompressionProperties {
  std::int64_t averageBitRate = 0;  // bits per second
  H264ProfileLevel profileLevel = H264ProfileLevel::highAutoLevel;
  std::int64_t maxKeyFrameInterval = 0;  // frames between key frames, at most
};

struct VideoOutputSettings {
  VideoCodec codec = VideoCodec::h264;
  std::int64_t width = 0;
  std::int64_t height = 0;
  VideoCompressionProperties compression;
  // The source delivers a frame at most this often: the rate the encoder's
  // rate control plans for (each frame still keeps its own time).
  MediaTime expectedFrameInterval = MediaTime::invalid();
};

inline constexpr std::uint32_t kAudioFormatMpeg4Aac = 0x61616320;  // 'aac '

struct AudioOutputSettings {
  std::uint32_t formatID = kAudioFormatMpeg4Aac;
  std::int64_t sampleRate = 0;
  std::int64_t numberOfChannels = 0;
  std::int64_t encoderBitRate = 0;  // bits per second
};

// A text input whose samples are chapter titles (UTF-8, at millisecond
// precision): the file lists them as the chapters of its other tracks, each
// from its sample's time to the next one's (the last to the end).
struct ChapterListSettings {};

using OutputSettings = std::variant<VideoOutputSettings, AudioOutputSettings, ChapterListSettings>;

enum class WriterStatus : std::int64_t {
  unknown = 0,
  writing = 1,
  completed = 2,
  failed = 3,
  cancelled = 4,
};

// One track's input. Every call is safe from any thread; appends to different
// inputs of one writer may come from different threads at once. An append
// never blocks: it is refused when the input is not ready.
class AssetWriterInput {
 public:
  virtual ~AssetWriterInput() = default;

  virtual MediaType mediaType() const = 0;
  virtual void setExpectsMediaDataInRealTime(bool realTime) = 0;
  // False while the input's queue is full, after markAsFinished, and whenever
  // its writer is not writing.
  virtual bool isReadyForMoreMediaData() const = 0;
  // True when the sample was taken. A refused append changes nothing.
  virtual bool appendSampleBuffer(std::shared_ptr<MediaSample> sample) = 0;
  virtual void markAsFinished() = 0;
};

class AssetWriter {
 public:
  virtual ~AssetWriter() = default;

  // Inputs become tracks in the order added; only before startWriting.
  virtual void addInput(std::shared_ptr<AssetWriterInput> input) = 0;
  // Opens the file and the encoders. False, with error() set when the reason
  // is known, when it cannot.
  virtual bool startWriting() = 0;
  virtual WriterStatus status() const = 0;
  virtual std::optional<Error> error() const = 0;
  // The file's timeline starts at this source time; earlier samples are not
  // written.
  virtual void startSessionAtSourceTime(MediaTime time) = 0;
  // Completes the file; the completion runs exactly once, on any thread, after
  // the file is complete on disk.
  virtual void finishWriting(std::function<void()> completion) = 0;
  // The absolute path of the file the writer was made for.
  virtual std::string outputURL() const = 0;
  // After finishWriting: whether the path still names the file this writer
  // wrote. False when another recording took the path meanwhile (its file
  // stays there, and its size says nothing about this recording), after
  // cancelWriting, and when no file was made.
  virtual bool outputIsAtURL() const = 0;
  // Stops writing and removes the file this writer created, only that file:
  // whatever someone else has put at the path stays. The status becomes
  // cancelled; a later finishWriting only calls its completion.
  virtual void cancelWriting() = 0;
};

class MediaWriterFactory {
 public:
  virtual ~MediaWriterFactory() = default;

  // A writer for the file URL (an absolute path), or nothing with `error` set.
  virtual std::shared_ptr<AssetWriter> makeWriter(const std::string& url, FileType fileType,
                                                  std::optional<Error>& error) = 0;
  virtual std::shared_ptr<AssetWriterInput> makeInput(MediaType mediaType,
                                                      const OutputSettings& outputSettings) = 0;
};

}  // namespace kestrano
