#pragma once

#include <string_view>

#include "app/reply_sink.h"

namespace kestrano {

// Replies written straight to a file descriptor (standard output for the
// process), with no buffer that could hold a reply back or write it again
// later. The first failed write (EPIPE: the host closed its end) ends all
// writing. SIGPIPE must be ignored for that failure to be seen rather than
// kill the process. The descriptor is borrowed, not closed.
class DescriptorReplySink final : public ReplySink {
 public:
  explicit DescriptorReplySink(int fd) : fd_(fd) {}
  bool send(std::string_view line) override;

 private:
  int fd_;
  bool failed_ = false;
};

}  // namespace kestrano
