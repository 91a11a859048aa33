#pragma once

#include "platform/standard_error.h"

namespace kestrano {

// File descriptor 2, written without buffering.
class PosixStandardError final : public StandardError {
 public:
  void writeData(std::string_view bytes) override;
};

}  // namespace kestrano
