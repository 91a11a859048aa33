#include "platform/linux/ffmpeg/ffmpeg_writer_factory.h"

#include <sys/prctl.h>
#include <sys/stat.h>

extern "C" {
#include <libavutil/log.h>
}

#include "platform/linux/ffmpeg/ffmpeg_asset_writer.h"
#include "platform/linux/ffmpeg/ffmpeg_writer_input.h"
#include "platform/linux/ffmpeg/writer_errors.h"

namespace kestrano {
namespace {

using ffmpeg::writerError;
using ffmpeg::WriterErrorCode;

class FfmpegWriterFactory final : public MediaWriterFactory {
 public:
  std::shared_ptr<AssetWriter> makeWriter(const std::string& url, FileType fileType,
                                          std::optional<Error>& error) override {
    if (fileType != FileType::mpeg4) {
      error = writerError(WriterErrorCode::unsupportedFileType,
                          "Cannot write " + url + ": only MPEG-4 files are supported");
      return nullptr;
    }
    // The file system ends a path at a NUL: writing would go to another file
    // than the one the host named.
    if (url.find('\0') != std::string::npos) {
      error =
          writerError(WriterErrorCode::openFailed, "Cannot write \"" + std::string(url.c_str()) +
                                                       "...\": the path contains a NUL character");
      return nullptr;
    }
    if (url.empty() || url.front() != '/') {
      error = writerError(WriterErrorCode::openFailed,
                          "Cannot write \"" + url + "\": an absolute path is needed");
      return nullptr;
    }
    // A writer never replaces what is at its path; whoever asks for it
    // removes an old file first.
    struct stat info {};
    if (::lstat(url.c_str(), &info) == 0) {
      error = writerError(WriterErrorCode::pathOccupied,
                          S_ISDIR(info.st_mode)
                              ? "Cannot write " + url + ": it is a folder"
                              : "Cannot write " + url + ": a file already exists there");
      return nullptr;
    }
    return std::make_shared<ffmpeg::FfmpegAssetWriter>(url);
  }

  std::shared_ptr<AssetWriterInput> makeInput(MediaType mediaType,
                                              const OutputSettings& outputSettings) override {
    return std::make_shared<ffmpeg::FfmpegWriterInput>(mediaType, outputSettings);
  }
};

}  // namespace

std::shared_ptr<MediaWriterFactory> makeFfmpegWriterFactory() {
  // The recorder's standard error carries one diagnostic line only; libav's
  // own chatter (x264's statistics, muxer notes) stays quiet. Errors still
  // come back as values.
  av_log_set_level(AV_LOG_QUIET);
  // x264 asks for transparent huge pages for each of its picture buffers, so
  // every buffer is rounded up to 2 MB steps: 12 MB more resident memory in
  // a 720p recording for no measurable speed. The setting is the process's
  // (it also covers its other threads); failing it only costs that memory.
  ::prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0);
  return std::make_shared<FfmpegWriterFactory>();
}

}  // namespace kestrano
