#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/media_writer.h"

namespace kestrano::testing {

// The recorder's track settings, at a chosen frame height.
VideoOutputSettings videoSettings(int height = 720);
AudioOutputSettings audioSettings();

// A fresh folder under the system's temporary folder, removed at the end.
class TemporaryFolder {
 public:
  TemporaryFolder();
  ~TemporaryFolder();
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
};

// A writer with video, system-audio and microphone inputs, started.
struct ThreeTrackWriter {
  std::shared_ptr<AssetWriter> writer;
  std::shared_ptr<AssetWriterInput> video;
  std::shared_ptr<AssetWriterInput> systemAudio;
  std::shared_ptr<AssetWriterInput> mic;
};
ThreeTrackWriter makeStartedWriter(const std::string& path, int height = 720);

// Times are in nanoseconds on a clock of the test's choosing.
std::shared_ptr<MediaSample> i420Frame(int width, int height, std::int64_t ns, int seed);
std::shared_ptr<MediaSample> bgraFrame(int width, int height, std::int64_t ns, int seed);
// A stereo 48 kHz buffer of a sine (frequency hz, amplitude 0.5) whose phase
// follows `firstSample`, the index of its first frame in the sine.
std::shared_ptr<MediaSample> sineBuffer(std::int64_t firstSample, std::uint32_t frames, double hz,
                                        std::int64_t ns, bool interleaved = false);

// Appends, waiting (up to a generous bound) while the input is not ready.
bool appendWhenReady(AssetWriterInput& input, std::shared_ptr<MediaSample> sample);
// Finishes and waits for the completion; false if it did not come once.
bool finish(AssetWriter& writer);

// What libavformat reads back from a file.
struct ProbedPacket {
  std::int64_t pts = 0;
  std::int64_t dts = 0;
  std::int64_t duration = 0;
  bool key = false;
};
struct ProbedStream {
  std::string codec;  // "h264", "aac"
  std::string type;   // "video", "audio"
  int profile = 0;
  int width = 0, height = 0;
  int sampleRate = 0, channels = 0;
  double timeBase = 0;  // seconds per tick
  double startSeconds = 0;
  double durationSeconds = 0;  // from the container
  std::vector<ProbedPacket> packets;
};
struct ProbedFile {
  bool opened = false;
  std::string openError;
  std::vector<ProbedStream> streams;
};
ProbedFile probe(const std::string& path);

// The decoded samples of the audio stream `index` (first channel), with the
// container's edit list applied, starting at the stream's time 0.
std::vector<float> decodeAudioChannel0(const std::string& path, int index);
// What `ffmpeg -v error -i FILE -f null -` prints (empty when it decodes).
std::string ffmpegDecodeErrors(const std::string& path);
// The top-level box types of an MP4 file, in order.
std::vector<std::string> topLevelBoxes(const std::string& path);
// True when any box of that type occurs anywhere under "moov".
bool moovContains(const std::string& path, const std::string& type);

}  // namespace kestrano::testing
