#include "platform/linux/capture/output_registry.h"

#include <string>
#include <utility>

#include "platform/linux/capture/capture_errors.h"

namespace kestrano {

std::optional<Error> OutputRegistry::add(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                                         std::shared_ptr<SerialQueue> queue) {
  auto refuse = [](const std::string& text) {
    return captureError(CaptureErrorCode::invalidOutput, text);
  };
  if (type != StreamOutputType::screen && type != StreamOutputType::audio) {
    return refuse("output type " + std::to_string(static_cast<std::int64_t>(type)) +
                  " is neither screen (0) nor audio (1)");
  }
  if (output.expired()) {
    return refuse("the output no longer exists");
  }
  if (!queue) {
    return refuse("an output needs a sample handler queue");
  }
  if (closed_) {
    return refuse("outputs can only be added before capture starts");
  }
  std::optional<Entry>& slot = type == StreamOutputType::screen ? screen_ : audio_;
  if (slot) {
    return refuse(std::string("the stream already has an output for ") +
                  (type == StreamOutputType::screen ? "screen" : "audio") + " samples");
  }
  slot = Entry{std::move(output), std::move(queue)};
  return std::nullopt;
}

}  // namespace kestrano
