#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrano::testing {

// One packet of a stream, in the order the file stores them.
struct PacketInfo {
  double seconds = 0;  // presentation time
  bool key = false;
};

// What a recorded file holds, read back with libavformat and libavcodec.
struct StreamInfo {
  std::string type;     // "video" or "audio"
  std::string codec;    // e.g. "h264", "aac"
  std::string profile;  // e.g. "High", "LC"
  int width = 0;
  int height = 0;
  int sampleRate = 0;
  int channels = 0;
  double startSeconds = 0;
  double durationSeconds = 0;
  std::vector<PacketInfo> packets;
};

// Throws std::runtime_error when the file cannot be opened.
std::vector<StreamInfo> probeStreams(const std::string& path);

struct DecodedAudio {
  int sampleRate = 0;
  double startSeconds = 0;  // time of the first sample
  std::vector<float> mono;  // channels averaged
  double lengthSeconds() const {
    return sampleRate > 0 ? static_cast<double>(mono.size()) / sampleRate : 0;
  }
};

// The n-th audio stream (0-based among audio streams), fully decoded.
DecodedAudio decodeAudio(const std::string& path, int audioIndex);

struct DecodedFrame {
  double seconds = 0;
  double meanLuma = 0;  // 0..255 over the whole picture
  int width = 0;
  int height = 0;
};

// Every video frame's time and mean brightness.
std::vector<DecodedFrame> decodeVideo(const std::string& path);

// Amplitude of the `hz` component over [from, from + length) seconds (Goertzel);
// a full-scale sine gives about 1.
double toneAmplitude(const DecodedAudio& audio, double hz, double fromSeconds,
                     double lengthSeconds);

// Plays the file through a full decode with the ffmpeg tool; its complaints,
// empty when there are none.
std::string decodeErrors(const std::string& path);

}  // namespace kestrano::testing
