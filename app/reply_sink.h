#pragma once

#include <ostream>
#include <string_view>

namespace kestrano {

// Where the control loop's replies go.
class ReplySink {
 public:
  virtual ~ReplySink() = default;

  // Writes `line` and a line feed and flushes them. False when that failed:
  // the host is gone (or cannot take output), and nothing more is written.
  virtual bool send(std::string_view line) = 0;
};

// Replies into a stream; a stream gone bad takes nothing more.
class StreamReplySink final : public ReplySink {
 public:
  explicit StreamReplySink(std::ostream& out) : out_(out) {}
  bool send(std::string_view line) override;

 private:
  std::ostream& out_;
};

}  // namespace kestrano
