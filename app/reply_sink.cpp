#include "app/reply_sink.h"

namespace kestrano {

bool StreamReplySink::send(std::string_view line) {
  if (!out_.good()) {
    return false;
  }
  out_.write(line.data(), static_cast<std::streamsize>(line.size()));
  out_.put('\n');
  out_.flush();
  return out_.good();
}

}  // namespace kestrano
