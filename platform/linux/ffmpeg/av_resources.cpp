#include "platform/linux/ffmpeg/av_resources.h"

extern "C" {
#include <libavutil/error.h>
}

namespace kestrano::ffmpeg {

std::string avErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

}  // namespace kestrano::ffmpeg
