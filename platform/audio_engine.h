#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/audio_format.h"
#include "platform/error.h"
#include "platform/media_time.h"

namespace kestrano {

// When a tap buffer was captured: its first frame's position in the device's
// sample count and on the host clock (either may be invalid).
struct AudioTime {
  std::int64_t sampleTime = 0;
  bool sampleTimeValid = false;
  MediaTime hostTime;
};

// Called on the engine's own thread with each captured buffer.
using TapBlock = std::function<void(const PcmBuffer& buffer, const AudioTime& when)>;

class AudioInputNode {
 public:
  virtual ~AudioInputNode() = default;

  // The device's own format on this bus (32-bit float, one buffer per
  // channel); rate and channels are 0 when there is no device.
  virtual AudioFormat outputFormatForBus(int bus) = 0;
  // Buffers of `bufferSize` frames in `format` reach `block` while the engine
  // runs.
  virtual void installTapOnBus(int bus, std::uint32_t bufferSize, const AudioFormat& format,
                               TapBlock block) = 0;
  // No call of the tap block runs after this returns. Not to be called from
  // inside the block.
  virtual void removeTapOnBus(int bus) = 0;
};

class AudioEngine {
 public:
  virtual ~AudioEngine() = default;

  virtual std::shared_ptr<AudioInputNode> inputNode() = 0;
  // Returns once the device delivers audio, so nothing said after it is
  // lost; a device that stays silent past a short bound still starts.
  virtual std::optional<Error> startAndReturnError() = 0;
  // Safe at any time, also twice.
  virtual void stop() = 0;
};

// Raw values match the platform's: have data 0, no data now 1, end of stream 2.
enum class ConverterInputStatus : std::int64_t { haveData = 0, noDataNow = 1, endOfStream = 2 };
enum class ConverterOutputStatus : std::int64_t {
  haveData = 0,
  inputRanDry = 1,
  endOfStream = 2,
  error = 3,
};

// Asked for input during one conversion: returns a buffer in the converter's
// input format (valid until the conversion returns), or nothing together with
// a status other than haveData. The packet count is a hint.
using ConverterInputBlock =
    std::function<const PcmBuffer*(std::uint32_t packetCount, ConverterInputStatus& status)>;

class AudioConverter {
 public:
  virtual ~AudioConverter() = default;

  // Fills `output` (in the target format) with as many frames as the input
  // gives, never more than its capacity, and sets its frameLength. The
  // converter keeps its state between calls so consecutive buffers join.
  virtual ConverterOutputStatus convert(PcmBuffer& output, std::optional<Error>& error,
                                        const ConverterInputBlock& inputBlock) = 0;
};

class AudioFactory {
 public:
  virtual ~AudioFactory() = default;

  virtual std::shared_ptr<AudioEngine> makeEngine() = 0;
  // Nothing when the pair cannot be converted.
  virtual std::shared_ptr<AudioConverter> makeConverter(const AudioFormat& from,
                                                        const AudioFormat& to) = 0;
};

}  // namespace kestrano
