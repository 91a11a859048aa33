#include "platform/linux/ffmpeg/mp4_finalizer.h"

#include <cerrno>

#include "platform/linux/av/av_resources.h"
#include "platform/linux/ffmpeg/audio_track_encoder.h"
#include "platform/linux/ffmpeg/descriptor_io.h"
#include "platform/linux/ffmpeg/writer_errors.h"

namespace kestrano::ffmpeg {
namespace {

Error remuxError(const std::string& path, const std::string& what, int code) {
  return writerError(WriterErrorCode::writeFailed,
                     "Cannot finish " + path + ": " + what + ": " + av::errorText(code));
}

}  // namespace

std::optional<Error> rewriteAsPlainMp4(std::unique_ptr<OutputFile>& file,
                                       const std::vector<FragmentedMuxer::StartShift>& shifts) {
  const std::string& path = file->path();
  DescriptorIoPtr inIo = makeDescriptorIo(file->descriptor(), false);
  AVFormatContext* rawIn = inIo ? avformat_alloc_context() : nullptr;
  if (rawIn == nullptr) {
    return remuxError(path, "out of memory", AVERROR(ENOMEM));
  }
  rawIn->pb = inIo.get();
  // Frees the context when it fails.
  int rc = avformat_open_input(&rawIn, nullptr, nullptr, nullptr);
  if (rc < 0) {
    return remuxError(path, "cannot read it back", rc);
  }
  av::InputContextPtr in(rawIn);

  std::optional<Error> e;
  std::unique_ptr<OutputFile> temporary = file->createSibling(e);
  if (!temporary) {
    return e;
  }
  const std::string& temporaryPath = temporary->path();
  DescriptorIoPtr outIo = makeDescriptorIo(temporary->descriptor(), true);
  if (!outIo) {
    return remuxError(path, "out of memory", AVERROR(ENOMEM));
  }
  AVFormatContext* rawOut = nullptr;
  rc = avformat_alloc_output_context2(&rawOut, nullptr, "mp4", nullptr);
  if (rc < 0 || rawOut == nullptr) {
    return remuxError(path, "cannot set up the MP4 muxer", rc);
  }
  av::OutputContextPtr out(rawOut);
  out->pb = outIo.get();
  out->flags |= AVFMT_FLAG_CUSTOM_IO;
  for (unsigned i = 0; i < in->nb_streams; ++i) {
    AVStream* source = in->streams[i];
    AVStream* copy = avformat_new_stream(out.get(), nullptr);
    if (copy == nullptr || avcodec_parameters_copy(copy->codecpar, source->codecpar) < 0) {
      return remuxError(path, "cannot copy a track", AVERROR(ENOMEM));
    }
    copy->codecpar->codec_tag = 0;
    if (copy->codecpar->codec_id == AV_CODEC_ID_AAC && copy->codecpar->frame_size == 0) {
      copy->codecpar->frame_size = kAacFrameSamples;  // the demuxer does not say
    }
    copy->time_base = source->time_base;
  }
  rc = avformat_write_header(out.get(), nullptr);
  if (rc < 0) {
    return remuxError(path, "cannot write the header", rc);
  }
  av::PacketPtr packet(av_packet_alloc());
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
      return remuxError(path, "cannot write " + temporaryPath, rc);
    }
  }
  rc = av_write_trailer(out.get());
  if (rc < 0) {
    return remuxError(path, "cannot complete " + temporaryPath, rc);
  }
  avio_flush(out->pb);
  if (out->pb->error < 0) {
    return remuxError(path, "cannot write " + temporaryPath, out->pb->error);
  }
  // The new file's data must be on disk before the rename makes it the
  // recording, or a crash could leave an empty file under the name.
  if (auto syncError = temporary->sync(false)) {
    return syncError;
  }
  if (auto renameError = file->replaceWith(*temporary)) {
    return renameError;
  }
  file = std::move(temporary);
  return std::nullopt;
}

}  // namespace kestrano::ffmpeg
