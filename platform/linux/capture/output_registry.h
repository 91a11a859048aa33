#pragma once

#include <memory>
#include <optional>

#include "platform/error.h"
#include "platform/screen_capture.h"
#include "platform/serial_queue.h"

namespace kestrano {

// Where a stream's samples go: at most one output of each type, with the
// queue its handler runs on, added until capture starts. Not locked: the
// stream that holds it does that.
class OutputRegistry {
 public:
  struct Entry {
    std::weak_ptr<StreamOutput> output;
    std::shared_ptr<SerialQueue> queue;
  };

  // Refuses an expired output, a null queue, a type other than screen or
  // audio, a second output of the same type, and any add while closed.
  std::optional<Error> add(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                           std::shared_ptr<SerialQueue> queue);
  // Closed while capture has started (reopened by a start that failed).
  void close() { closed_ = true; }
  void reopen() { closed_ = false; }

  bool empty() const { return !screen_ && !audio_; }
  const std::optional<Entry>& screen() const { return screen_; }
  const std::optional<Entry>& audio() const { return audio_; }

 private:
  std::optional<Entry> screen_;
  std::optional<Entry> audio_;
  bool closed_ = false;
};

}  // namespace kestrano
