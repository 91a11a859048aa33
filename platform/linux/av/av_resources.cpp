#include "platform/linux/av/av_resources.h"

extern "C" {
#include <libavutil/error.h>
}

namespace kestrano::av {

std::string errorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

}  // namespace kestrano::av
