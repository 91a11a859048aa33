#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/audio_format.h"
#include "platform/media_time.h"
#include "platform/property_value.h"
#include "platform/video_frame.h"

namespace kestrano {

// Key of the frame status in a screen sample's first attachment dictionary.
inline constexpr const char* kFrameInfoStatusKey = "SCStreamFrameInfoStatus";
// Key, in the same dictionary, that asks the encoder for a key frame at this
// picture (any value): a picture after a jump in the content must not lean
// on the ones before.
inline constexpr const char* kForceKeyFrameKey = "ForceKeyFrame";

// Frame statuses as the capture service reports them.
enum class FrameStatus : std::int64_t {
  complete = 0,
  idle = 1,
  blank = 2,
  suspended = 3,
  started = 4,
  stopped = 5,
};

// The attachments array holds one dictionary per sample; an element that is
// not a dictionary at all is an empty optional.
using AttachmentArray = std::vector<std::optional<PropertyDictionary>>;

// The attachments a capture service gives a screen sample of `status`.
inline AttachmentArray frameStatusAttachments(FrameStatus status) {
  return AttachmentArray{
      PropertyDictionary{{kFrameInfoStatusKey, static_cast<std::int64_t>(status)}}};
}

struct VideoFormatDescription {
  int width = 0;
  int height = 0;
  PixelFormat pixelFormat = PixelFormat::i420;
};

struct AudioFormatDescription {
  AudioStreamDescription streamDescription;
};

using FormatDescription = std::variant<VideoFormatDescription, AudioFormatDescription>;

struct SampleTimingInfo {
  MediaTime duration;
  MediaTime presentationTimeStamp;
  MediaTime decodeTimeStamp;
};

// What a sample carries: nothing (an idle frame, or audio not yet attached),
// one video frame, PCM audio, or UTF-8 text. The sample owns it; copies made
// with new timing share it.
using SampleData = std::variant<std::monostate, VideoFrame, PcmBuffer, std::string>;

// A timed media sample, the unit every writer input takes. Samples are shared
// (std::shared_ptr) and never modified once handed on.
class MediaSample {
 public:
  // A video sample as the capture service delivers it. `frame` may be empty
  // for a frame without pixels (an idle frame).
  static std::shared_ptr<MediaSample> makeVideo(std::optional<VideoFrame> frame,
                                                SampleTimingInfo timing,
                                                std::optional<AttachmentArray> attachments);

  // An audio sample as the capture service delivers it; the data is ready and
  // the format description follows the buffer's format.
  static std::shared_ptr<MediaSample> makeAudio(PcmBuffer audio, SampleTimingInfo timing);

  // A text sample (a chapter title, for instance) at `time`.
  static std::shared_ptr<MediaSample> makeText(std::string text, MediaTime time);

  // A copy at another time with other attachments, sharing this sample's
  // data (no pixels or sound are copied).
  std::shared_ptr<MediaSample> withTiming(SampleTimingInfo timing,
                                          std::optional<AttachmentArray> attachments) const;

  bool dataIsReady() const { return dataReady_; }
  MediaTime presentationTimeStamp() const { return timing_.presentationTimeStamp; }
  MediaTime duration() const { return timing_.duration; }
  MediaTime decodeTimeStamp() const { return timing_.decodeTimeStamp; }
  std::int64_t numSamples() const { return numSamples_; }
  const std::optional<FormatDescription>& formatDescription() const { return format_; }
  // The attachments array if the sample has one; never creates it.
  const std::optional<AttachmentArray>& sampleAttachments() const { return attachments_; }
  const SampleData& data() const { return *data_; }

  // Builders for a sample assembled step by step (the microphone path); see
  // sampleBufferCreate and setDataBufferFromAudioBufferList.
  MediaSample() = default;
  void setDataReady(bool ready) { dataReady_ = ready; }
  void setTiming(const SampleTimingInfo& timing) { timing_ = timing; }
  void setNumSamples(std::int64_t count) { numSamples_ = count; }
  void setFormatDescription(std::optional<FormatDescription> format) {
    format_ = std::move(format);
  }
  void setAttachments(std::optional<AttachmentArray> attachments) {
    attachments_ = std::move(attachments);
  }
  void setData(SampleData data) { data_ = std::make_shared<const SampleData>(std::move(data)); }

 private:
  bool dataReady_ = false;
  SampleTimingInfo timing_;
  std::int64_t numSamples_ = 0;
  std::optional<FormatDescription> format_;
  std::optional<AttachmentArray> attachments_;
  std::shared_ptr<const SampleData> data_ = std::make_shared<const SampleData>();
};

// Status codes of the sample functions below.
inline constexpr int kSampleNoErr = 0;
inline constexpr int kSampleParamErr = -12710;

// Makes an audio format description from a stream description; nothing when
// the description is not linear PCM with a rate and channels.
std::optional<AudioFormatDescription> audioFormatDescriptionCreate(
    const AudioStreamDescription& description, int* status);

// Makes a sample without data (not ready) with one timing entry.
int sampleBufferCreate(const FormatDescription& format, std::int64_t numSamples,
                       const SampleTimingInfo& timing, std::shared_ptr<MediaSample>* out);

// Copies `frameLength` frames of `audio` into the sample, which then owns its
// own copy and is ready.
int setDataBufferFromAudioBufferList(MediaSample& sample, const PcmBuffer& audio);

}  // namespace kestrano
