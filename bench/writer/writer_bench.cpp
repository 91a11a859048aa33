// The FFmpeg writer alone: 1280x720 synthetic screen content at 15 frames a
// second (a page of text scrolling under a moving panel) with two stereo
// 48 kHz tracks, fed as fast as the writer takes it. Reports how many times
// faster than real time it runs, the CPU seconds per recorded second, the
// time finishWriting takes and the tracks' durations in the finished file
// (finish_bench measures the finish at lengths of hours).
//
//   writer_bench [seconds, default 60] [folder for the files, default /tmp]
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/ffmpeg/ffmpeg_writer_factory.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

using namespace kestrano;
using Clock = std::chrono::steady_clock;

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr int kRate = 15;
constexpr int kAudioRate = 48000;
constexpr std::uint32_t kAudioChunk = 1024;  // frames per audio buffer, as AAC takes them
constexpr std::int64_t kStartNs = 1'000'000'000;
constexpr int kScrollPerFrame = 4;  // rows a frame; text scrolling at a reading pace

double cpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

std::uint32_t hash(std::uint32_t a) {
  a ^= a >> 16;
  a *= 0x7feb352d;
  a ^= a >> 15;
  a *= 0x846ca68b;
  return a ^ (a >> 16);
}

// A tall page of text-like luma (dark runs on light lines), rendered once;
// each frame is a window into it, so the bench spends its time in the
// writer, not in drawing.
std::vector<std::uint8_t> makePage(int rows) {
  std::vector<std::uint8_t> page(static_cast<std::size_t>(rows) * kWidth);
  for (int y = 0; y < rows; ++y) {
    int line = y / 15;
    int inLine = y % 15;
    for (int x = 0; x < kWidth; ++x) {
      std::uint8_t v = 235;
      if (inLine >= 4 && inLine < 11) {
        std::uint32_t word = hash(static_cast<std::uint32_t>(line * 977 + x / 30));
        if ((word & 7) != 0 && (x % 30) < 26 && (hash(static_cast<std::uint32_t>(x + y * 7)) & 3)) {
          v = 40;
        }
      }
      page[static_cast<std::size_t>(y) * kWidth + x] = v;
    }
  }
  return page;
}

std::shared_ptr<MediaSample> videoSample(const std::vector<std::uint8_t>& page, int k) {
  VideoFrame frame = VideoFrame::create(kWidth, kHeight, PixelFormat::i420).value();
  const VideoFrame::Plane& y = frame.plane(0);
  for (int row = 0; row < kHeight; ++row) {
    std::memcpy(y.data + static_cast<std::ptrdiff_t>(row) * y.stride,
                &page[static_cast<std::size_t>(row + k * kScrollPerFrame) * kWidth], kWidth);
  }
  for (int p = 1; p < 3; ++p) {
    const VideoFrame::Plane& c = frame.plane(p);
    std::memset(c.data, 128, static_cast<std::size_t>(c.stride) * c.rows);
  }
  // A panel moving across, as a window being dragged.
  int px = (k * 9) % (kWidth - 200);
  for (int row = 200; row < 340; ++row) {
    std::memset(y.data + static_cast<std::ptrdiff_t>(row) * y.stride + px, 90, 200);
  }
  for (int row = 100; row < 170; ++row) {
    std::memset(
        frame.plane(1).data + static_cast<std::ptrdiff_t>(row) * frame.plane(1).stride + px / 2,
        170, 100);
  }
  std::int64_t at = kStartNs + static_cast<std::int64_t>(k) * kNanosecondTimescale / kRate;
  return MediaSample::makeVideo(
      std::move(frame),
      SampleTimingInfo{MediaTime::make(1, kRate), MediaTime::make(at, kNanosecondTimescale),
                       MediaTime::invalid()},
      AttachmentArray{PropertyDictionary{{kFrameInfoStatusKey, std::int64_t{0}}}});
}

std::shared_ptr<MediaSample> audioSample(std::int64_t first, double hz) {
  PcmBuffer pcm(AudioFormat(kAudioRate, 2, true), kAudioChunk);
  pcm.setFrameLength(kAudioChunk);
  float* data = pcm.data(0);
  for (std::uint32_t i = 0; i < kAudioChunk; ++i) {
    auto v = static_cast<float>(
        0.3 * std::sin(2 * M_PI * hz * static_cast<double>(first + i) / kAudioRate));
    data[2 * i] = v;
    data[2 * i + 1] = v;
  }
  std::int64_t at = kStartNs + first * kNanosecondTimescale / kAudioRate;
  return MediaSample::makeAudio(
      std::move(pcm),
      SampleTimingInfo{MediaTime::make(kAudioChunk, kAudioRate),
                       MediaTime::make(at, kNanosecondTimescale), MediaTime::invalid()});
}

// Waits (sleeping, never spinning) until the input takes the sample.
void append(AssetWriterInput& input, std::shared_ptr<MediaSample> sample) {
  while (!input.appendSampleBuffer(sample)) {
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
}

void finish(AssetWriter& writer) {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  writer.finishWriting([&] {
    std::lock_guard lock(mutex);
    finished = true;
    done.notify_all();
  });
  std::unique_lock lock(mutex);
  done.wait(lock, [&] { return finished; });
}

void printDurations(const std::string& path) {
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0 ||
      avformat_find_stream_info(raw, nullptr) < 0) {
    std::printf("  cannot read %s back\n", path.c_str());
    avformat_close_input(&raw);
    return;
  }
  std::printf("  track durations (s):");
  for (unsigned i = 0; i < raw->nb_streams; ++i) {
    const AVStream* s = raw->streams[i];
    std::printf(" %.3f", static_cast<double>(s->duration) * av_q2d(s->time_base));
  }
  std::printf("\n");
  avformat_close_input(&raw);
}

struct Result {
  double wall = 0;
  double cpu = 0;
  double finishWall = 0;
};

Result run(const std::string& path, double seconds, bool withAudio,
           const std::vector<std::uint8_t>& page) {
  auto factory = makeFfmpegWriterFactory();
  std::optional<Error> error;
  auto writer = factory->makeWriter(path, FileType::mpeg4, error);
  if (!writer) {
    std::fprintf(stderr, "writer: %s\n", error->description.c_str());
    std::exit(1);
  }
  auto video = factory->makeInput(MediaType::video,
                                  VideoOutputSettings{VideoCodec::h264,
                                                      kWidth,
                                                      kHeight,
                                                      {500000, H264ProfileLevel::highAutoLevel, 30},
                                                      MediaTime::make(1, kRate)});
  AudioOutputSettings audioSettings{kAudioFormatMpeg4Aac, kAudioRate, 2, 96000};
  auto system = factory->makeInput(MediaType::audio, audioSettings);
  auto mic = factory->makeInput(MediaType::audio, audioSettings);
  writer->addInput(video);
  if (withAudio) {
    writer->addInput(system);
    writer->addInput(mic);
  }
  if (!writer->startWriting()) {
    std::fprintf(stderr, "startWriting failed\n");
    std::exit(1);
  }
  writer->startSessionAtSourceTime(MediaTime::make(kStartNs, kNanosecondTimescale));

  const int frames = static_cast<int>(seconds * kRate);
  const auto audioFrames = static_cast<std::int64_t>(seconds * kAudioRate);
  std::int64_t audioAt = 0;
  double cpu0 = cpuSeconds();
  auto t0 = Clock::now();
  for (int k = 0; k < frames; ++k) {
    // Audio up to the frame's time first, as a recording interleaves them.
    std::int64_t until = std::min<std::int64_t>(audioFrames, (k + 1) * kAudioRate / kRate);
    for (; withAudio && audioAt < until; audioAt += kAudioChunk) {
      append(*system, audioSample(audioAt, 440));
      append(*mic, audioSample(audioAt, 1000));
    }
    append(*video, videoSample(page, k));
  }
  video->markAsFinished();
  system->markAsFinished();
  mic->markAsFinished();
  auto f0 = Clock::now();
  finish(*writer);
  Result r;
  r.finishWall = since(f0);
  r.wall = since(t0);
  r.cpu = cpuSeconds() - cpu0;
  if (writer->status() != WriterStatus::completed) {
    std::fprintf(stderr, "the writer did not complete\n");
    std::exit(1);
  }
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 60;
  std::string folder = argc > 2 ? argv[2] : "/tmp";
  if (seconds <= 0) {
    std::fprintf(stderr, "usage: writer_bench [seconds] [folder]\n");
    return 2;
  }
  std::vector<std::uint8_t> page =
      makePage(kHeight + static_cast<int>(seconds * kRate + 1) * kScrollPerFrame);
  std::string base = folder + "/writer-bench-" + std::to_string(::getpid());

  std::printf("writer_bench: %.0f s of 1280x720 at %d fps\n", seconds, kRate);
  Result v = run(base + "-video.mp4", seconds, false, page);
  std::printf(
      "video only:  %.1fx real time, %.3f CPU s per recorded s (wall %.2f s, finish %.3f s)\n",
      seconds / v.wall, v.cpu / seconds, v.wall, v.finishWall);
  Result all = run(base + "-all.mp4", seconds, true, page);
  std::printf(
      "video + 2 audio: %.1fx real time, %.3f CPU s per recorded s (wall %.2f s, finish %.3f "
      "s)\n",
      seconds / all.wall, all.cpu / seconds, all.wall, all.finishWall);
  printDurations(base + "-all.mp4");

  for (const char* suffix : {"-video.mp4", "-all.mp4"}) {
    std::remove((base + suffix).c_str());
  }
  return 0;
}
