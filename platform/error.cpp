#include "platform/error.h"

namespace kestrano {

std::string Error::generalDescription() const {
  return "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" + description + "\"";
}

}  // namespace kestrano
