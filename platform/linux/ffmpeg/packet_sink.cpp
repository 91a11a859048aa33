#include "platform/linux/ffmpeg/packet_sink.h"

#include "platform/linux/ffmpeg/writer_errors.h"

namespace kestrano::ffmpeg {

std::optional<Error> encodeAndDrain(AVCodecContext& encoder, const AVFrame* frame, AVPacket& packet,
                                    const PacketSink& sink) {
  int rc = avcodec_send_frame(&encoder, frame);
  if (rc < 0 && rc != AVERROR_EOF) {
    return writerError(WriterErrorCode::writeFailed, std::string("The ") + encoder.codec->name +
                                                         " encoder failed: " + av::errorText(rc));
  }
  for (;;) {
    rc = avcodec_receive_packet(&encoder, &packet);
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) {
      return std::nullopt;
    }
    if (rc < 0) {
      return writerError(WriterErrorCode::writeFailed, std::string("The ") + encoder.codec->name +
                                                           " encoder failed: " + av::errorText(rc));
    }
    std::optional<Error> e = sink(packet, encoder.time_base);
    av_packet_unref(&packet);
    if (e) {
      return e;
    }
  }
}

}  // namespace kestrano::ffmpeg
