#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <numbers>
#include <numeric>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/av/av_resources.h"

// Recorded files read back with libavformat and libavcodec.
namespace kestrano::testing {

struct PacketInfo {
  double seconds = 0;  // presentation time
  bool key = false;
};

struct StreamInfo {
  std::string type, codec, profile;  // e.g. "video", "h264", "High"
  int width = 0, height = 0, sampleRate = 0, channels = 0;
  double startSeconds = 0, durationSeconds = 0;
  std::vector<PacketInfo> packets{};  // in the order the file stores them
};

// "h2641280x720": codec and size in one string, compared at once.
inline std::string videoShape(const StreamInfo& s) {
  return s.codec + std::to_string(s.width) + "x" + std::to_string(s.height);
}

struct DecodedAudio {
  int sampleRate = 0;
  double startSeconds = 0;  // time of the first sample
  std::vector<float> mono;  // channels averaged
};

struct DecodedFrame {
  double seconds = 0;
  double meanLuma = 0;     // 0..255 over the whole picture
  std::uint64_t hash = 0;  // of the luma plane: equal pictures, equal hashes
  // Where the first mid-grey pixel sits along a row 1/15 of the way down, as
  // a share of the width (the end-to-end scene's moving block); -1: none.
  double greyAt = -1;
};

namespace media {

inline av::InputContextPtr open(const std::string& path) {
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) {
    throw std::runtime_error("cannot open " + path);
  }
  av::InputContextPtr f(raw);
  if (avformat_find_stream_info(f.get(), nullptr) < 0) {
    throw std::runtime_error("no stream info in " + path);
  }
  return f;
}

inline double seconds(int64_t ts, AVRational tb) {
  return ts == AV_NOPTS_VALUE ? 0.0 : static_cast<double>(ts) * av_q2d(tb);
}

// Decodes the n-th stream of `type`, calling `onFrame` for every frame.
template <class OnFrame>
void decode(const std::string& path, AVMediaType type, int n, OnFrame onFrame) {
  auto f = open(path);
  int index = -1;
  for (unsigned i = 0; i < f->nb_streams && index < 0; ++i) {
    if (f->streams[i]->codecpar->codec_type == type && n-- == 0) {
      index = static_cast<int>(i);
    }
  }
  if (index < 0) {
    throw std::runtime_error("no such stream in " + path);
  }
  AVStream* st = f->streams[index];
  const AVCodec* dec = avcodec_find_decoder(st->codecpar->codec_id);
  av::CodecContextPtr ctx(avcodec_alloc_context3(dec));
  avcodec_parameters_to_context(ctx.get(), st->codecpar);
  if (dec == nullptr || avcodec_open2(ctx.get(), dec, nullptr) < 0) {
    throw std::runtime_error("cannot open a decoder for " + path);
  }
  av::PacketPtr pkt(av_packet_alloc());
  av::FramePtr frame(av_frame_alloc());
  for (bool more = true; more;) {
    more = av_read_frame(f.get(), pkt.get()) >= 0;
    if (!more || pkt->stream_index == index) {
      avcodec_send_packet(ctx.get(), more ? pkt.get() : nullptr);  // none: drain
    }
    av_packet_unref(pkt.get());
    while (avcodec_receive_frame(ctx.get(), frame.get()) == 0) {
      onFrame(*frame, st->time_base);
      av_frame_unref(frame.get());
    }
  }
}

}  // namespace media

// Throws std::runtime_error when the file cannot be opened.
inline std::vector<StreamInfo> probeStreams(const std::string& path) {
  auto f = media::open(path);
  std::vector<StreamInfo> out;
  for (unsigned i = 0; i < f->nb_streams; ++i) {
    const AVStream* st = f->streams[i];
    const AVCodecParameters* par = st->codecpar;
    const char* type = av_get_media_type_string(par->codec_type);
    const char* profile = avcodec_profile_name(par->codec_id, par->profile);
    out.push_back({type ? type : "other", avcodec_get_name(par->codec_id), profile ? profile : "",
                   par->width, par->height, par->sample_rate, par->ch_layout.nb_channels,
                   media::seconds(st->start_time, st->time_base),
                   media::seconds(st->duration, st->time_base)});
  }
  av::PacketPtr pkt(av_packet_alloc());
  while (av_read_frame(f.get(), pkt.get()) >= 0) {
    out.at(static_cast<size_t>(pkt->stream_index))
        .packets.push_back({media::seconds(pkt->pts, f->streams[pkt->stream_index]->time_base),
                            (pkt->flags & AV_PKT_FLAG_KEY) != 0});
    av_packet_unref(pkt.get());
  }
  return out;
}

// The n-th audio stream (0-based among audio streams), fully decoded; AAC
// decodes to planar floats.
inline DecodedAudio decodeAudio(const std::string& path, int audioIndex) {
  DecodedAudio out;
  media::decode(path, AVMEDIA_TYPE_AUDIO, audioIndex, [&](const AVFrame& frame, AVRational tb) {
    out.startSeconds = out.sampleRate ? out.startSeconds : media::seconds(frame.pts, tb);
    out.sampleRate = frame.sample_rate;
    const int channels = frame.ch_layout.nb_channels;
    for (int s = 0; s < frame.nb_samples; ++s) {
      float sum = 0;
      for (int c = 0; c < channels; ++c) {
        sum += reinterpret_cast<const float*>(frame.extended_data[c])[s];
      }
      out.mono.push_back(sum / static_cast<float>(channels));
    }
  });
  return out;
}

inline std::vector<DecodedFrame> decodeVideo(const std::string& path) {
  std::vector<DecodedFrame> out;
  media::decode(path, AVMEDIA_TYPE_VIDEO, 0, [&](const AVFrame& frame, AVRational tb) {
    double sum = 0;
    std::uint64_t hash = 1469598103934665603ULL;  // FNV-1a
    for (int y = 0; y < frame.height; ++y) {
      const uint8_t* row = frame.data[0] + static_cast<ptrdiff_t>(y) * frame.linesize[0];
      sum = std::accumulate(row, row + frame.width, sum);
      for (const uint8_t* p = row; p != row + frame.width; ++p) {
        hash = (hash ^ *p) * 1099511628211ULL;
      }
    }
    double greyAt = -1;
    const uint8_t* probe =
        frame.data[0] + static_cast<ptrdiff_t>(frame.height / 15) * frame.linesize[0];
    if (auto grey =
            std::find_if(probe, probe + frame.width, [](uint8_t v) { return v > 90 && v < 170; });
        grey != probe + frame.width) {
      greyAt = static_cast<double>(grey - probe) / frame.width;
    }
    out.push_back({media::seconds(frame.best_effort_timestamp, tb),
                   sum / (static_cast<double>(frame.width) * frame.height), hash, greyAt});
  });
  return out;
}

// The `hz` component over [from, from + 0.15 s) (Goertzel), its phase taken
// on the track's own sample count: a sine that runs on unbroken keeps one
// phase from window to window. A full-scale sine's magnitude is about 1.
inline std::complex<double> toneComponent(const DecodedAudio& audio, double hz, double from) {
  const auto begin = std::max(0L, std::lround((from - audio.startSeconds) * audio.sampleRate));
  const auto end = std::min<long>(begin + audio.sampleRate * 15 / 100, audio.mono.size());
  const double w = 2 * std::numbers::pi * hz / audio.sampleRate;
  std::complex<double> sum;
  for (long i = begin; i < end; ++i) {
    sum += static_cast<double>(audio.mono[static_cast<size_t>(i)]) *
           std::polar(1.0, -w * static_cast<double>(i));
  }
  return end > begin ? 2.0 * sum / static_cast<double>(end - begin) : std::complex<double>();
}

// Its amplitude.
inline double tone(const DecodedAudio& audio, double hz, double from) {
  return std::abs(toneComponent(audio, hz, from));
}

// Beep onsets: a sample above a quarter of the beep's level after 0.3 s of
// quiet in the track. Not within its first 0.3 s: there a loud sample may end
// a beep that began before the track did, too short a scrap to tell its tone.
inline std::vector<double> beeps(const DecodedAudio& audio) {
  std::vector<double> onsets;
  double lastLoud = audio.startSeconds;
  for (size_t i = 0; i < audio.mono.size(); ++i) {
    double t = audio.startSeconds + static_cast<double>(i) / audio.sampleRate;
    if (std::fabs(audio.mono[i]) > 0.12) {
      if (t - lastLoud > 0.3) {
        onsets.push_back(t);
      }
      lastLoud = t;
    }
  }
  return onsets;
}

// The file's top-level box types in order, read from the box headers alone;
// one that runs past the end of the file is the last.
inline std::vector<std::string> topLevelBoxes(const std::string& path) {
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rb"), std::fclose);
  std::vector<std::string> types;
  unsigned char h[16];
  for (std::uint64_t at = 0; f && ::fseeko(f.get(), static_cast<off_t>(at), SEEK_SET) == 0 &&
                             std::fread(h, 1, 16, f.get()) >= 8;) {
    std::uint64_t size = std::uint64_t{h[0]} << 24 | h[1] << 16 | h[2] << 8 | h[3];
    if (size == 1) {  // a 64-bit size follows
      size = 0;
      for (int i = 8; i < 16; ++i) {
        size = size << 8 | h[i];
      }
    }
    types.emplace_back(reinterpret_cast<char*>(h) + 4, 4);
    if (size < 8) {
      break;
    }
    at += size;
  }
  return types;
}

// Plays the file through a full decode with the ffmpeg tool; its complaints,
// empty when there are none. Not its chatter: it guesses a frame rate and
// complains about pictures closer than it, and warns of a torn fragment at
// the end. Nor FFmpeg 7's note that it found no frame for an output stream
// (5.1 says nothing): a track may be empty on purpose, and what each track
// holds is checked by decoding it.
inline std::string decodeErrors(const std::string& path) {
  std::string command = "ffmpeg -nostdin -v warning -i '" + path + "' -map 0 -f null - 2>&1";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
  std::string text;
  char line[4096];  // far longer than its lines: one line a call
  while (pipe && std::fgets(line, sizeof line, pipe.get()) != nullptr) {
    // Also libavformat's note on a chapter list that starts after an empty
    // edit: it measures the list's length from its first title, not from 0.
    text += std::strstr(line, "No filtered frames for output stream") ||
                    std::strstr(line, "ignoring stream duration which is shorter than chapters")
                ? ""
                : line;
  }
  return text;
}

// The chapters libavformat lists (as ffprobe -show_chapters does): start
// in seconds and title.
inline std::vector<std::pair<double, std::string>> probeChapters(const std::string& path) {
  auto f = media::open(path);
  std::vector<std::pair<double, std::string>> out;
  for (unsigned i = 0; i < f->nb_chapters; ++i) {
    const AVChapter* c = f->chapters[i];
    const AVDictionaryEntry* title = av_dict_get(c->metadata, "title", nullptr, 0);
    out.emplace_back(media::seconds(c->start, c->time_base), title ? title->value : "");
  }
  return out;
}

}  // namespace kestrano::testing
