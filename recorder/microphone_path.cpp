// The microphone tap: converts each buffer to the target format, stamps it on
// the host clock and appends it to the microphone input once the session has
// started. Every failure drops the buffer silently.
#include "recorder/capture_settings.h"
#include "recorder/microphone_tap.h"
#include "recorder/recorder.h"

namespace kestrano {

void Recorder::handleMicrophoneBuffer(const MicrophoneTap& tap, const PcmBuffer& buffer,
                                      const AudioTime& when) {
  // Guards. The writer and inputs were stored before the engine started.
  if (!micInput_ || !assetWriter_) {
    return;
  }
  // The live level, also while paused or before the session.
  microphoneLevel_.add(buffer, when.hostTime.valid ? when.hostTime.nanoseconds()
                                                   : platform_.hostClock->now().nanoseconds());
  if (assetWriter_->status() != WriterStatus::writing || !tap.converter) {
    return;
  }
  // Pairs with the release store after startSessionAtSourceTime: true here
  // means the session has started. Audio from before it is lost, not held.
  if (!sessionStarted_.load(std::memory_order_acquire)) {
    return;
  }

  // Output capacity.
  const std::optional<std::uint32_t> capacity = microphoneCapacity(
      buffer.frameLength(), tap.targetFormat.sampleRate(), tap.inputFormat.sampleRate());
  if (!capacity) {
    return;
  }

  // Conversion. The input block hands the tap's buffer over once: giving the
  // same frames again in one conversion would duplicate microphone audio.
  PcmBuffer output(tap.targetFormat, *capacity + kMicrophoneConverterHeadroom);
  bool handedOver = false;
  ConverterInputBlock input = [&buffer, &handedOver](std::uint32_t, ConverterInputStatus& status) {
    if (handedOver) {
      status = ConverterInputStatus::noDataNow;
      return static_cast<const PcmBuffer*>(nullptr);
    }
    handedOver = true;
    status = ConverterInputStatus::haveData;
    return &buffer;
  };
  std::optional<Error> conversionError;
  if (tap.converter->convert(output, conversionError, input) == ConverterOutputStatus::error ||
      conversionError) {
    return;
  }

  // Time stamp: when the engine tells when the buffer was captured, that (a
  // busy machine hands a backlog over at once, all of it late); otherwise the
  // host clock after the conversion, as returned.
  const MediaTime now = when.hostTime.valid ? when.hostTime : platform_.hostClock->now();

  // Packaging.
  const AudioStreamDescription description = output.format().streamDescription();
  int formatStatus = kSampleNoErr;
  std::optional<AudioFormatDescription> format =
      audioFormatDescriptionCreate(description, &formatStatus);
  if (!format) {
    return;
  }
  const SampleTimingInfo timing{
      MediaTime::make(1, static_cast<std::int32_t>(description.sampleRate)), now,
      MediaTime::invalid()};
  std::shared_ptr<MediaSample> sample;
  if (sampleBufferCreate(*format, output.frameLength(), timing, &sample) != kSampleNoErr ||
      !sample) {
    return;
  }
  // The sample gets its own copy; `output` goes when this call ends.
  if (setDataBufferFromAudioBufferList(*sample, output) != kSampleNoErr) {
    return;
  }

  // Nothing of a pause; after one, moved up to where the recording stopped.
  std::int64_t shift = 0;
  sample = cutPauses(std::move(sample), false, shift);
  if (!sample) {
    return;
  }

  // Append, never wait; a sample the input refuses is lost like one that
  // finds it busy.
  if (!micInput_->isReadyForMoreMediaData()) {
    return;
  }
  micInput_->appendSampleBuffer(std::move(sample));
}

}  // namespace kestrano
