#pragma once

#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace kestrano::av {

// Owners for the FFmpeg library objects the backends use: each deleter is
// the one release call the library documents for that object.
struct CodecContextDeleter {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct AudioFifoDeleter {
  void operator()(AVAudioFifo* f) const { av_audio_fifo_free(f); }
};
struct SwsContextDeleter {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};
// An input context comes from avformat_open_input and goes back through
// avformat_close_input.
struct InputContextDeleter {
  void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
// An output context: its I/O context (if open) is closed first, unless it is
// the caller's own (custom I/O), which the caller frees.
struct OutputContextDeleter {
  void operator()(AVFormatContext* c) const {
    if (c->pb != nullptr && !(c->oformat->flags & AVFMT_NOFILE) &&
        !(c->flags & AVFMT_FLAG_CUSTOM_IO)) {
      avio_closep(&c->pb);
    }
    avformat_free_context(c);
  }
};

using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using AudioFifoPtr = std::unique_ptr<AVAudioFifo, AudioFifoDeleter>;
using SwsContextPtr = std::unique_ptr<SwsContext, SwsContextDeleter>;
using InputContextPtr = std::unique_ptr<AVFormatContext, InputContextDeleter>;
using OutputContextPtr = std::unique_ptr<AVFormatContext, OutputContextDeleter>;

// An option dictionary: libav calls take its address and may replace it.
class Dictionary {
 public:
  Dictionary() = default;
  ~Dictionary() { av_dict_free(&dict_); }
  Dictionary(const Dictionary&) = delete;
  Dictionary& operator=(const Dictionary&) = delete;
  AVDictionary** address() { return &dict_; }

 private:
  AVDictionary* dict_ = nullptr;
};

// libav's text for an AVERROR code ("No such file or directory").
std::string errorText(int code);

}  // namespace kestrano::av
