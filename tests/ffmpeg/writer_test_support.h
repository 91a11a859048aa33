#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/media_writer.h"
#include "tests/support/media_probe.h"
#include "tests/support/temporary_folder.h"

namespace kestrano::testing {

// The recorder's track settings, at a chosen frame height.
VideoOutputSettings videoSettings(int height = 720);
AudioOutputSettings audioSettings();

// A writer with video, system-audio and microphone inputs.
struct ThreeTrackWriter {
  std::shared_ptr<AssetWriter> writer;
  std::shared_ptr<AssetWriterInput> video;
  std::shared_ptr<AssetWriterInput> systemAudio;
  std::shared_ptr<AssetWriterInput> mic;

  // Marks every input finished and finishes the writer (see finish()).
  bool finishAll();
};
// Started, with its session at `sessionNs` when given; throws when the
// writer cannot be made or started.
ThreeTrackWriter makeStartedWriter(const std::string& path, std::optional<std::int64_t> sessionNs,
                                   int height = 720);

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

// The top-level box types of an MP4 file, in order.
std::vector<std::string> topLevelBoxes(const std::string& path);
// True when any box of that type occurs anywhere under "moov".
bool moovContains(const std::string& path, const std::string& type);

}  // namespace kestrano::testing
