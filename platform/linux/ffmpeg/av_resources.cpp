#include "platform/linux/ffmpeg/av_resources.h"

#include <unistd.h>

extern "C" {
#include <libavutil/error.h>
}

namespace kestrano::ffmpeg {

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

std::string avErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

}  // namespace kestrano::ffmpeg
