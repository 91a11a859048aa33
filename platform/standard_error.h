#pragma once

#include <string_view>

namespace kestrano {

// The process's standard error, for the one diagnostic line the recorder
// writes. Each call is one unbuffered write.
class StandardError {
 public:
  virtual ~StandardError() = default;
  virtual void writeData(std::string_view bytes) = 0;
};

}  // namespace kestrano
