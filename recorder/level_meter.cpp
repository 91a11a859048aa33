#include "recorder/level_meter.h"

#include <algorithm>
#include <cmath>

namespace kestrano {

void LevelMeter::add(const PcmBuffer& buffer, std::int64_t atNs) {
  const std::size_t perBuffer =
      static_cast<std::size_t>(buffer.frameLength()) *
      (buffer.format().isInterleaved() ? buffer.format().channelCount() : 1);
  float peak = 0;
  for (std::size_t b = 0; b < buffer.bufferCount(); ++b) {
    const float* data = buffer.data(b);
    for (std::size_t i = 0; i < perBuffer; ++i) {
      peak = std::max(peak, std::fabs(data[i]));
    }
  }
  const std::int64_t index = atNs / kSlotNs;
  MutexLock lock(mutex_);
  Slot& slot = slots_[static_cast<std::size_t>(index) % kSlots];
  if (slot.index != index) {
    slot = Slot{index, 0};
  }
  slot.peak = std::max(slot.peak, peak);
}

std::optional<double> LevelMeter::peakDbfs(std::int64_t nowNs) const {
  const std::int64_t newest = nowNs / kSlotNs;
  float peak = 0;
  {
    MutexLock lock(mutex_);
    for (const Slot& slot : slots_) {
      if (slot.index > newest - static_cast<std::int64_t>(kSlots) && slot.index <= newest) {
        peak = std::max(peak, slot.peak);
      }
    }
  }
  if (peak <= 0) {
    return std::nullopt;
  }
  return 20.0 * std::log10(static_cast<double>(peak));
}

}  // namespace kestrano
