#include "platform/linux/ffmpeg/mp4_finalizer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/linux/ffmpeg/av_resources.h"
#include "platform/linux/ffmpeg/fragmented_muxer.h"
#include "platform/linux/ffmpeg/writer_errors.h"
#include "platform/linux/unique_fd.h"

namespace kestrano::ffmpeg {
namespace {

// Removes the temporary file unless the rename has taken it over.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
  ~TemporaryFile() {
    if (!kept_) {
      ::unlink(path_.c_str());
    }
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  const std::string& path() const { return path_; }
  void keep() { kept_ = true; }

 private:
  std::string path_;
  bool kept_ = false;
};

std::string folderOf(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A name in the same folder (so the rename is atomic), hidden, and unique
// per process and call.
std::string temporaryPathFor(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  auto slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return folder + "." + name + ".finishing-" + std::to_string(::getpid()) + "-" +
         std::to_string(counter.fetch_add(1, std::memory_order_relaxed)) + ".mp4";
}

Error remuxError(const std::string& path, const std::string& what, int code) {
  return writerError(WriterErrorCode::writeFailed,
                     "Cannot finish " + path + ": " + what + ": " + avErrorText(code));
}

}  // namespace

std::optional<Error> rewriteAsPlainMp4(const std::string& path,
                                       const std::vector<FragmentedMuxer::StartShift>& shifts) {
  AVFormatContext* rawIn = nullptr;
  int rc = avformat_open_input(&rawIn, path.c_str(), nullptr, nullptr);
  if (rc < 0) {
    return remuxError(path, "cannot read it back", rc);
  }
  InputContextPtr in(rawIn);

  TemporaryFile temporary(temporaryPathFor(path));
  AVFormatContext* rawOut = nullptr;
  rc = avformat_alloc_output_context2(&rawOut, nullptr, "mp4", temporary.path().c_str());
  if (rc < 0 || rawOut == nullptr) {
    return remuxError(path, "cannot set up the MP4 muxer", rc);
  }
  OutputContextPtr out(rawOut);
  for (unsigned i = 0; i < in->nb_streams; ++i) {
    AVStream* source = in->streams[i];
    AVStream* copy = avformat_new_stream(out.get(), nullptr);
    if (copy == nullptr || avcodec_parameters_copy(copy->codecpar, source->codecpar) < 0) {
      return remuxError(path, "cannot copy a track", AVERROR(ENOMEM));
    }
    copy->codecpar->codec_tag = 0;
    if (copy->codecpar->codec_id == AV_CODEC_ID_AAC && copy->codecpar->frame_size == 0) {
      copy->codecpar->frame_size = 1024;  // AAC LC: the demuxer does not say
    }
    copy->time_base = source->time_base;
  }
  rc = avio_open(&out->pb, temporary.path().c_str(), AVIO_FLAG_WRITE);
  if (rc < 0) {
    return remuxError(path, "cannot create " + temporary.path(), rc);
  }
  rc = avformat_write_header(out.get(), nullptr);
  if (rc < 0) {
    return remuxError(path, "cannot write the header", rc);
  }
  PacketPtr packet(av_packet_alloc());
  if (!packet) {
    return remuxError(path, "out of memory", AVERROR(ENOMEM));
  }
  for (;;) {
    rc = av_read_frame(in.get(), packet.get());
    if (rc == AVERROR_EOF) {
      break;
    }
    if (rc < 0) {
      return remuxError(path, "cannot read it back", rc);
    }
    AVStream* source = in->streams[packet->stream_index];
    AVStream* copy = out->streams[packet->stream_index];
    auto index = static_cast<std::size_t>(packet->stream_index);
    if (index < shifts.size()) {
      std::int64_t back =
          av_rescale_q(shifts[index].ticks, shifts[index].timeBase, source->time_base);
      if (packet->pts != AV_NOPTS_VALUE) {
        packet->pts -= back;
      }
      if (packet->dts != AV_NOPTS_VALUE) {
        packet->dts -= back;
      }
    }
    av_packet_rescale_ts(packet.get(), source->time_base, copy->time_base);
    packet->pos = -1;
    // Takes the packet's reference (and leaves it blank) in every case.
    rc = av_interleaved_write_frame(out.get(), packet.get());
    if (rc < 0) {
      return remuxError(path, "cannot write " + temporary.path(), rc);
    }
  }
  rc = av_write_trailer(out.get());
  if (rc < 0) {
    return remuxError(path, "cannot complete " + temporary.path(), rc);
  }
  rc = avio_closep(&out->pb);
  if (rc < 0) {
    return remuxError(path, "cannot close " + temporary.path(), rc);
  }
  // The new file's data must be on disk before the rename makes it the
  // recording, or a crash could leave an empty file under the name.
  if (auto e = syncFile(temporary.path())) {
    return e;
  }
  if (::rename(temporary.path().c_str(), path.c_str()) != 0) {
    return writerError(WriterErrorCode::writeFailed,
                       "Cannot finish " + path + ": rename failed: " + std::strerror(errno));
  }
  temporary.keep();
  // Make the rename itself durable.
  UniqueFd folder(::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() >= 0) {
    ::fsync(folder.get());
  }
  return std::nullopt;
}

}  // namespace kestrano::ffmpeg
