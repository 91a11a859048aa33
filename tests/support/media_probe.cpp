#include "tests/support/media_probe.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
}

#include <cmath>
#include <cstdio>
#include <memory>
#include <numbers>
#include <stdexcept>

#include "platform/linux/av/av_resources.h"

namespace kestrano::testing {
namespace {

using Format = av::InputContextPtr;
using Codec = av::CodecContextPtr;

Format open(const std::string& path) {
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) {
    throw std::runtime_error("cannot open " + path);
  }
  Format f(raw);
  if (avformat_find_stream_info(f.get(), nullptr) < 0) {
    throw std::runtime_error("no stream info in " + path);
  }
  return f;
}

double seconds(int64_t ts, AVRational tb) {
  return ts == AV_NOPTS_VALUE ? 0.0 : static_cast<double>(ts) * av_q2d(tb);
}

// Decodes one stream, calling `onFrame` for every frame.
template <class OnFrame>
void decodeStream(AVFormatContext* f, int index, OnFrame onFrame) {
  AVStream* st = f->streams[index];
  const AVCodec* dec = avcodec_find_decoder(st->codecpar->codec_id);
  if (dec == nullptr) {
    throw std::runtime_error("no decoder");
  }
  Codec ctx(avcodec_alloc_context3(dec));
  avcodec_parameters_to_context(ctx.get(), st->codecpar);
  if (avcodec_open2(ctx.get(), dec, nullptr) < 0) {
    throw std::runtime_error("cannot open decoder");
  }
  av::PacketPtr pkt(av_packet_alloc());
  av::FramePtr frame(av_frame_alloc());
  auto drain = [&] {
    while (avcodec_receive_frame(ctx.get(), frame.get()) == 0) {
      onFrame(frame.get(), st->time_base);
      av_frame_unref(frame.get());
    }
  };
  while (av_read_frame(f, pkt.get()) >= 0) {
    if (pkt->stream_index == index) {
      avcodec_send_packet(ctx.get(), pkt.get());
      drain();
    }
    av_packet_unref(pkt.get());
  }
  avcodec_send_packet(ctx.get(), nullptr);
  drain();
}

int nthStream(AVFormatContext* f, AVMediaType type, int n) {
  for (unsigned i = 0; i < f->nb_streams; ++i) {
    if (f->streams[i]->codecpar->codec_type == type && n-- == 0) {
      return static_cast<int>(i);
    }
  }
  throw std::runtime_error("no such stream");
}

}  // namespace

std::vector<StreamInfo> probeStreams(const std::string& path) {
  Format f = open(path);
  std::vector<StreamInfo> out;
  for (unsigned i = 0; i < f->nb_streams; ++i) {
    const AVStream* st = f->streams[i];
    const AVCodecParameters* par = st->codecpar;
    StreamInfo info;
    info.type = av_get_media_type_string(par->codec_type)
                    ? av_get_media_type_string(par->codec_type)
                    : "other";
    info.codec = avcodec_get_name(par->codec_id);
    const char* profile = avcodec_profile_name(par->codec_id, par->profile);
    info.profile = profile ? profile : "";
    info.width = par->width;
    info.height = par->height;
    info.sampleRate = par->sample_rate;
    info.channels = par->ch_layout.nb_channels;
    info.startSeconds = seconds(st->start_time, st->time_base);
    info.durationSeconds = seconds(st->duration, st->time_base);
    out.push_back(info);
  }
  av::PacketPtr pkt(av_packet_alloc());
  while (av_read_frame(f.get(), pkt.get()) >= 0) {
    AVRational tb = f->streams[pkt->stream_index]->time_base;
    out.at(static_cast<size_t>(pkt->stream_index))
        .packets.push_back(PacketInfo{seconds(pkt->pts, tb), (pkt->flags & AV_PKT_FLAG_KEY) != 0});
    av_packet_unref(pkt.get());
  }
  return out;
}

DecodedAudio decodeAudio(const std::string& path, int audioIndex) {
  Format f = open(path);
  int index = nthStream(f.get(), AVMEDIA_TYPE_AUDIO, audioIndex);
  DecodedAudio out;
  bool first = true;
  decodeStream(f.get(), index, [&](AVFrame* frame, AVRational tb) {
    if (first) {
      out.startSeconds = seconds(frame->pts, tb);
      first = false;
    }
    out.sampleRate = frame->sample_rate;
    int channels = frame->ch_layout.nb_channels;
    auto fmt = static_cast<AVSampleFormat>(frame->format);
    for (int s = 0; s < frame->nb_samples; ++s) {
      float sum = 0;
      for (int c = 0; c < channels; ++c) {
        if (fmt == AV_SAMPLE_FMT_FLTP) {
          sum += reinterpret_cast<const float*>(frame->extended_data[c])[s];
        } else if (fmt == AV_SAMPLE_FMT_FLT) {
          sum += reinterpret_cast<const float*>(frame->extended_data[0])[s * channels + c];
        }
      }
      out.mono.push_back(channels > 0 ? sum / static_cast<float>(channels) : 0.0f);
    }
  });
  return out;
}

std::vector<DecodedFrame> decodeVideo(const std::string& path) {
  Format f = open(path);
  int index = nthStream(f.get(), AVMEDIA_TYPE_VIDEO, 0);
  std::vector<DecodedFrame> out;
  decodeStream(f.get(), index, [&](AVFrame* frame, AVRational tb) {
    DecodedFrame d;
    d.seconds = seconds(frame->best_effort_timestamp, tb);
    d.width = frame->width;
    d.height = frame->height;
    double sum = 0;
    for (int y = 0; y < frame->height; ++y) {
      const uint8_t* row = frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0];
      for (int x = 0; x < frame->width; ++x) {
        sum += row[x];
      }
    }
    d.meanLuma = sum / (static_cast<double>(frame->width) * frame->height);
    out.push_back(d);
  });
  return out;
}

double toneAmplitude(const DecodedAudio& audio, double hz, double fromSeconds,
                     double lengthSeconds) {
  if (audio.sampleRate <= 0) {
    return 0;
  }
  auto begin = static_cast<long>((fromSeconds - audio.startSeconds) * audio.sampleRate);
  auto count = static_cast<long>(lengthSeconds * audio.sampleRate);
  begin = std::max(0L, begin);
  long end = std::min(static_cast<long>(audio.mono.size()), begin + count);
  if (end <= begin) {
    return 0;
  }
  double w = 2 * std::numbers::pi * hz / audio.sampleRate;
  double re = 0;
  double im = 0;
  for (long i = begin; i < end; ++i) {
    re += audio.mono[static_cast<size_t>(i)] * std::cos(w * static_cast<double>(i));
    im -= audio.mono[static_cast<size_t>(i)] * std::sin(w * static_cast<double>(i));
  }
  return 2 * std::hypot(re, im) / static_cast<double>(end - begin);
}

std::string decodeErrors(const std::string& path) {
  // The plain command, as a user runs it first: ffmpeg guesses a frame rate
  // and complains about pictures closer than it.
  std::string command = "ffmpeg -nostdin -v error -i '" + path + "' -f null - 2>&1";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
  std::string text;
  char chunk[256];
  while (pipe && std::fgets(chunk, sizeof chunk, pipe.get()) != nullptr) {
    text += chunk;
  }
  return text;
}

}  // namespace kestrano::testing
