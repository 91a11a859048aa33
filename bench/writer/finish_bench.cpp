// The finish of long recordings, made quickly through the writer's own
// encoders, fragmented muxer and finish: a few seconds are encoded once, and
// their packets are fed again and again at the real rates with advancing
// time stamps, so an hour of recording takes seconds to make. For each length
// it measures the in-place finish (after) and the stream-copy remux into a
// temporary file plus rename that finished recordings before (before), on
// two copies of the same fragmented file, and checks the finished file: each
// track's duration, sample count and last sample time, and a picture decoded
// after a seek (to the seventh hour when the recording is that long).
//
//   finish_bench [--video-bits N] [--no-before] [--cold] [--keep] FOLDER MINUTES...
//
// --cold drops the file from the page cache before the finish.
//
// The default video bit rate, 1.2 Mbit/s (the recorder uses 0.5), makes an
// eight-hour file larger than 4 GiB.
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/linux/ffmpeg/audio_track_encoder.h"
#include "platform/linux/ffmpeg/mp4_finalizer.h"
#include "platform/linux/ffmpeg/video_track_encoder.h"
#include "platform/unique_fd.h"

namespace {

using namespace kestrano;
using Clock = std::chrono::steady_clock;

constexpr int kFrames = 64;  // a cycle: 64 frames at 15 fps are 200 AAC packets
constexpr int kAacPackets = 200;
constexpr std::int64_t kVideoCycle = kFrames * 6000;      // ticks of 1/90000
constexpr std::int64_t kAudioCycle = kAacPackets * 1024;  // ticks of 1/48000

double since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

// A /proc/self/status field in MiB.
double statusMiB(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field, 0) == 0) {
      return std::atof(line.c_str() + std::strlen(field) + 1) / 1024;
    }
  }
  return 0;
}

void die(const std::string& what) {
  std::fprintf(stderr, "finish_bench: %s\n", what.c_str());
  std::exit(1);
}

struct Template {
  std::unique_ptr<ffmpeg::VideoTrackEncoder> video;
  std::unique_ptr<ffmpeg::AudioTrackEncoder> sound, mic;
  std::vector<av::PacketPtr> packets[3];  // per track, in decode order
};

// One cycle of busy pictures (noise that moves, so x264 spends the bit rate)
// and two tones, encoded once.
Template encodeTemplate(std::int64_t videoBits) {
  Template t;
  std::optional<Error> e;
  VideoOutputSettings video{VideoCodec::h264,
                            1280,
                            720,
                            {videoBits, H264ProfileLevel::highAutoLevel, 30},
                            MediaTime::make(1, 15)};
  AudioOutputSettings audio{kAudioFormatMpeg4Aac, 48000, 2, 96000};
  t.video = ffmpeg::VideoTrackEncoder::create(video, true, e);
  t.sound = ffmpeg::AudioTrackEncoder::create(audio, true, e);
  t.mic = ffmpeg::AudioTrackEncoder::create(audio, true, e);
  if (e) {
    die(e->description);
  }
  auto keep = [&t](int track) {
    return [&t, track](AVPacket& p, AVRational) {
      t.packets[track].emplace_back(av_packet_clone(&p));
      return std::optional<Error>();
    };
  };
  t.video->setSink(keep(0));
  t.sound->setSink(keep(1));
  t.mic->setSink(keep(2));
  for (int k = 0; k < kFrames; ++k) {
    VideoFrame f = VideoFrame::create(1280, 720, PixelFormat::i420).value();
    for (int p = 0; p < f.planeCount(); ++p) {
      for (int i = 0; i < f.plane(p).rows * f.plane(p).stride; ++i) {
        std::uint32_t v = static_cast<std::uint32_t>(i + k * 1283) * 2654435761u;
        f.plane(p).data[i] = static_cast<std::uint8_t>(p > 0 ? 128 : (v >> 24) / 2 + (i % 97));
      }
    }
    std::int64_t ns = k * 1'000'000'000LL / 15;
    (void)t.video->encode(
        MediaSample::makeVideo(
            std::move(f),
            {MediaTime::invalid(), MediaTime::make(ns, kNanosecondTimescale), MediaTime::invalid()},
            {}),
        0);
  }
  (void)t.video->finish(static_cast<double>(kFrames - 1) / 15);
  for (std::int64_t a = 0; a < kAudioCycle + 4096; a += 1024) {
    for (auto [encoder, hz] : {std::pair(t.sound.get(), 440.0), std::pair(t.mic.get(), 997.0)}) {
      PcmBuffer pcm(AudioFormat(48000, 2, true), 1024);
      pcm.setFrameLength(1024);
      for (int i = 0; i < 2048; ++i) {
        pcm.data(0)[i] = static_cast<float>(0.3 * std::sin(2 * M_PI * hz * (a + i / 2) / 48000));
      }
      (void)encoder->encode(
          *MediaSample::makeAudio(std::move(pcm),
                                  {MediaTime::make(1024, 48000),
                                   MediaTime::make(a * 1'000'000'000 / 48000, kNanosecondTimescale),
                                   MediaTime::invalid()}),
          0);
    }
  }
  return t;
}

struct Made {
  std::vector<ffmpeg::FragmentedMuxer::StartShift> shifts;
  std::vector<std::int64_t> fragmentStarts;
  double seconds = 0, rssFirstMinute = 0, rssEnd = 0;
};

// The fragmented recording of `minutes`, as the writer leaves it at stop
// before the finish.
Made makeRecording(const Template& t, const std::string& path, double minutes) {
  Made made;
  std::optional<Error> e;
  auto muxer = ffmpeg::FragmentedMuxer::create(path, e);
  auto file = ffmpeg::OutputFile::create(path, ffmpeg::OutputFile::Disposition::createNew, e);
  if (!muxer || !file) {
    die(e->description);
  }
  for (const auto* codec : {&t.video->codec(), &t.sound->codec(), &t.mic->codec()}) {
    muxer->addStream(*codec);
  }
  if (auto openError = muxer->open(*file)) {
    die(openError->description);
  }
  const AVRational base[3] = {t.video->codec().time_base, t.sound->codec().time_base,
                              t.mic->codec().time_base};
  const std::int64_t cycleTicks[3] = {kVideoCycle, kAudioCycle, kAudioCycle};
  const auto cycles = static_cast<std::int64_t>(std::ceil(minutes * 60 * 15 / kFrames));
  av::PacketPtr p(av_packet_alloc());
  auto t0 = Clock::now();
  for (std::int64_t c = 0; c < cycles; ++c) {
    std::size_t next[3] = {0, 0, 0};
    for (;;) {
      // The track whose next packet decodes first; each cycle takes the
      // packets that start within it (the first also the AAC priming one).
      int track = -1;
      double best = 1e300;
      for (int k = 0; k < 3; ++k) {
        while (next[k] < t.packets[k].size() && (t.packets[k][next[k]]->pts >= cycleTicks[k] ||
                                                 (c > 0 && t.packets[k][next[k]]->pts < 0))) {
          ++next[k];
        }
        if (next[k] < t.packets[k].size()) {
          double at = static_cast<double>(t.packets[k][next[k]]->dts) * av_q2d(base[k]);
          if (at < best) {
            best = at;
            track = k;
          }
        }
      }
      if (track < 0) {
        break;
      }
      av_packet_ref(p.get(), t.packets[track][next[track]++].get());
      p->pts += c * cycleTicks[track];
      p->dts += c * cycleTicks[track];
      if (auto writeError = muxer->write(track, *p, base[track])) {
        die(writeError->description);
      }
      av_packet_unref(p.get());
    }
    if (made.rssFirstMinute == 0 && (c + 1) * kFrames >= 60 * 15) {
      made.rssFirstMinute = statusMiB("VmRSS:");
    }
  }
  if (auto finishError = muxer->finish()) {
    die(finishError->description);
  }
  made.rssEnd = statusMiB("VmRSS:");
  made.seconds = since(t0);
  made.shifts = muxer->startShifts();
  made.fragmentStarts = muxer->fragmentStarts();
  return made;
}

// How recordings were finished until now: every packet copied into a new
// ordinary MP4 beside the file, synced, then renamed over it.
double remux(const std::string& path,
             const std::vector<ffmpeg::FragmentedMuxer::StartShift>& shifts) {
  auto t0 = Clock::now();
  const std::string temporary = path + ".tmp";
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) {
    die("cannot read " + path);
  }
  av::InputContextPtr in(raw);
  AVFormatContext* rawOut = nullptr;
  avformat_alloc_output_context2(&rawOut, nullptr, "mp4", temporary.c_str());
  av::OutputContextPtr out(rawOut);
  for (unsigned i = 0; i < in->nb_streams; ++i) {
    AVStream* copy = avformat_new_stream(out.get(), nullptr);
    avcodec_parameters_copy(copy->codecpar, in->streams[i]->codecpar);
    copy->codecpar->codec_tag = 0;
    if (copy->codecpar->codec_id == AV_CODEC_ID_AAC) {
      copy->codecpar->frame_size = ffmpeg::kAacFrameSamples;
    }
    copy->time_base = in->streams[i]->time_base;
  }
  if (avio_open(&out->pb, temporary.c_str(), AVIO_FLAG_WRITE) < 0 ||
      avformat_write_header(out.get(), nullptr) < 0) {
    die("cannot write " + temporary);
  }
  av::PacketPtr packet(av_packet_alloc());
  while (av_read_frame(in.get(), packet.get()) >= 0) {
    const auto i = static_cast<std::size_t>(packet->stream_index);
    AVStream* source = in->streams[i];
    std::int64_t back = av_rescale_q(shifts[i].ticks, shifts[i].timeBase, source->time_base);
    packet->pts -= back;
    packet->dts -= back;
    av_packet_rescale_ts(packet.get(), source->time_base, out->streams[i]->time_base);
    packet->pos = -1;
    if (av_interleaved_write_frame(out.get(), packet.get()) < 0) {
      die("cannot write " + temporary);
    }
  }
  if (av_write_trailer(out.get()) < 0) {
    die("cannot complete " + temporary);
  }
  avio_closep(&out->pb);
  UniqueFd fd(::open(temporary.c_str(), O_RDONLY));
  if (::fsync(fd.get()) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
    die("cannot put " + temporary + " in place");
  }
  return since(t0);
}

// What a reader finds in the finished file, and whether a picture decoded
// after a seek to `seekSeconds` is the one that belongs there.
void check(const std::string& path, double seekSeconds) {
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0 ||
      avformat_find_stream_info(raw, nullptr) < 0) {
    die("cannot read back " + path);
  }
  av::InputContextPtr in(raw);
  for (unsigned i = 0; i < in->nb_streams; ++i) {
    AVStream* s = in->streams[i];
    int n = avformat_index_get_entries_count(s);
    const AVIndexEntry* last = avformat_index_get_entry(s, n - 1);
    std::printf("    track %u: %.3f s, %d samples, last sample at %.3f s\n", i,
                static_cast<double>(s->duration) * av_q2d(s->time_base), n,
                last ? static_cast<double>(last->timestamp) * av_q2d(s->time_base) : -1);
  }
  // The picture at a time repeats every cycle: decode it near the start and
  // after the seek, and compare.
  const AVStream* video = in->streams[0];
  auto lumaHash = [&](double seconds, bool seek) {
    std::int64_t target = std::llround(seconds / av_q2d(video->time_base));
    if (seek && av_seek_frame(in.get(), 0, target, AVSEEK_FLAG_BACKWARD) < 0) {
      die("cannot seek");
    }
    const AVCodec* codec = avcodec_find_decoder(video->codecpar->codec_id);
    av::CodecContextPtr decoder(avcodec_alloc_context3(codec));
    avcodec_parameters_to_context(decoder.get(), video->codecpar);
    avcodec_open2(decoder.get(), codec, nullptr);
    av::PacketPtr packet(av_packet_alloc());
    av::FramePtr frame(av_frame_alloc());
    while (av_read_frame(in.get(), packet.get()) >= 0) {
      if (packet->stream_index == 0) {
        avcodec_send_packet(decoder.get(), packet.get());
        while (avcodec_receive_frame(decoder.get(), frame.get()) == 0) {
          if (frame->pts >= target) {
            std::uint64_t h = 1469598103934665603ull;
            for (int y = 0; y < frame->height; ++y) {
              for (int x = 0; x < frame->width; ++x) {
                h = (h ^ frame->data[0][y * frame->linesize[0] + x]) * 1099511628211ull;
              }
            }
            return h;
          }
        }
      }
      av_packet_unref(packet.get());
    }
    return std::uint64_t{0};
  };
  const double cycle = static_cast<double>(kFrames) / 15;
  const double phase = seekSeconds - std::floor(seekSeconds / cycle) * cycle;
  std::uint64_t early = lumaHash(phase, true);
  std::uint64_t late = lumaHash(seekSeconds, true);
  std::printf("    picture after a seek to %.0f s: %s\n", seekSeconds,
              late != 0 && late == early ? "the right one" : "WRONG");
}

}  // namespace

int main(int argc, char** argv) {
  std::int64_t videoBits = 1'200'000;
  bool before = true, keep = false, cold = false;
  std::vector<std::string> args(argv + 1, argv + argc);
  std::size_t a = 0;
  for (; a < args.size() && args[a].rfind("--", 0) == 0; ++a) {
    if (args[a] == "--video-bits" && a + 1 < args.size()) {
      videoBits = std::atoll(args[++a].c_str());
    } else {
      before = before && args[a] != "--no-before";
      keep = keep || args[a] == "--keep";
      cold = cold || args[a] == "--cold";
    }
  }
  if (args.size() < a + 2) {
    die("usage: finish_bench [--video-bits N] [--no-before] [--cold] [--keep] FOLDER MINUTES...");
  }
  const std::string folder = args[a++];
  Template t = encodeTemplate(videoBits);
  for (; a < args.size(); ++a) {
    const double minutes = std::atof(args[a].c_str());
    const std::string path = folder + "/finish-bench-" + args[a] + ".mp4";
    const std::string copy = folder + "/finish-bench-" + args[a] + "-before.mp4";
    Made made = makeRecording(t, path, minutes);
    const auto fragmented = static_cast<double>(std::filesystem::file_size(path));
    std::printf(
        "%s min: %.1f MB fragmented, made in %.1f s; RSS %.1f MiB after the first "
        "minute, %.1f MiB at the end\n",
        args[a].c_str(), fragmented / 1e6, made.seconds, made.rssFirstMinute, made.rssEnd);
    if (before) {
      std::filesystem::copy_file(path, copy, std::filesystem::copy_options::overwrite_existing);
      std::printf("  before (remux + rename): %.3f s\n", remux(copy, made.shifts));
    }
    std::optional<Error> e;
    auto file = ffmpeg::OutputFile::create(path, ffmpeg::OutputFile::Disposition::openExisting, e);
    if (cold) {
      // Nothing of the file left in the page cache, as after hours of other work.
      (void)file->sync(true);
      (void)::posix_fadvise(file->descriptor(), 0, 0, POSIX_FADV_DONTNEED);
    }
    // What the recording freed goes back to the system first, so that the
    // peak from here on shows what the finish itself takes.
    ::malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";
    const double rss = statusMiB("VmRSS:");
    auto t0 = Clock::now();
    if (auto finishError = ffmpeg::finishInPlace(*file, made.shifts, made.fragmentStarts)) {
      die(finishError->description);
    }
    const double seconds = since(t0);
    const double peak = statusMiB("VmHWM:") - rss;
    const auto finished = static_cast<double>(std::filesystem::file_size(path));
    const double written = finished - fragmented + (fragmented >= 4294967296.0 ? 16 : 8);
    std::printf(
        "  after (in place): %.3f s, %.2f MB written (%.2f%% of the file), peak +%.1f MiB\n",
        seconds, written / 1e6, 100 * written / finished, peak);
    check(path, minutes >= 420 ? 7 * 3600 : minutes * 30);
    if (!keep) {
      std::filesystem::remove(path);
      std::filesystem::remove(copy);
    }
  }
  return 0;
}
