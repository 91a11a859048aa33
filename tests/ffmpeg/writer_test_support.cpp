#include "tests/ffmpeg/writer_test_support.h"

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <numbers>
#include <stdexcept>
#include <thread>

#include "platform/linux/ffmpeg/ffmpeg_writer_factory.h"

namespace kestrano::testing {

VideoOutputSettings videoSettings(int height) {
  VideoOutputSettings s;
  s.width = 1280;
  s.height = height;
  s.compression.averageBitRate = 500000;
  s.compression.maxKeyFrameInterval = 30;
  s.expectedFrameInterval = MediaTime::make(1, 15);
  return s;
}

AudioOutputSettings audioSettings() {
  AudioOutputSettings s;
  s.sampleRate = 48000;
  s.numberOfChannels = 2;
  s.encoderBitRate = 96000;
  return s;
}

bool ThreeTrackWriter::finishAll() {
  for (auto* input : {&video, &systemAudio, &mic}) {
    (*input)->markAsFinished();
  }
  return finish(*writer);
}

ThreeTrackWriter makeStartedWriter(const std::string& path, std::optional<std::int64_t> sessionNs,
                                   int height) {
  auto factory = makeFfmpegWriterFactory();
  std::optional<Error> error;
  ThreeTrackWriter w;
  w.writer = factory->makeWriter(path, FileType::mpeg4, error);
  if (!w.writer) {
    throw std::runtime_error("no writer: " + error.value_or(Error{}).description);
  }
  w.video = factory->makeInput(MediaType::video, videoSettings(height));
  w.systemAudio = factory->makeInput(MediaType::audio, audioSettings());
  w.mic = factory->makeInput(MediaType::audio, audioSettings());
  for (auto* input : {&w.video, &w.systemAudio, &w.mic}) {
    (*input)->setExpectsMediaDataInRealTime(true);
    w.writer->addInput(*input);
  }
  if (!w.writer->startWriting()) {
    throw std::runtime_error("not started: " + w.writer->error().value_or(Error{}).description);
  }
  if (sessionNs) {
    w.writer->startSessionAtSourceTime(MediaTime::make(*sessionNs, kNanosecondTimescale));
  }
  return w;
}

namespace {

SampleTimingInfo timingAt(std::int64_t ns, MediaTime duration) {
  return SampleTimingInfo{duration, MediaTime::make(ns, kNanosecondTimescale),
                          MediaTime::invalid()};
}

// Text-like content: bars that move with the seed over a gradient.
void paintLuma(std::uint8_t* data, int stride, int width, int height, int seed) {
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      bool ink = ((x + seed * 7) / 6 + y / 12) % 5 == 0 && (y % 12) < 8;
      data[y * stride + x] = ink ? 20 : static_cast<std::uint8_t>(120 + (x + y + seed) % 100);
    }
  }
}

}  // namespace

std::shared_ptr<MediaSample> i420Frame(int width, int height, std::int64_t ns, int seed) {
  VideoFrame frame = VideoFrame::create(width, height, PixelFormat::i420).value();
  paintLuma(frame.plane(0).data, frame.plane(0).stride, width, height, seed);
  for (int p = 1; p < 3; ++p) {
    const auto& plane = frame.plane(p);
    for (int y = 0; y < plane.rows; ++y) {
      std::fill_n(plane.data + static_cast<std::ptrdiff_t>(y) * plane.stride, plane.stride,
                  static_cast<std::uint8_t>(128 + p * 10));
    }
  }
  return MediaSample::makeVideo(std::move(frame), timingAt(ns, MediaTime::invalid()), std::nullopt);
}

std::shared_ptr<MediaSample> bgraFrame(int width, int height, std::int64_t ns, int seed) {
  VideoFrame frame = VideoFrame::create(width, height, PixelFormat::bgra).value();
  const auto& plane = frame.plane(0);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* px = plane.data + static_cast<std::ptrdiff_t>(y) * plane.stride + x * 4;
      px[0] = static_cast<std::uint8_t>(x + seed);
      px[1] = static_cast<std::uint8_t>(y);
      px[2] = static_cast<std::uint8_t>(x ^ y);
      px[3] = 255;
    }
  }
  return MediaSample::makeVideo(std::move(frame), timingAt(ns, MediaTime::invalid()), std::nullopt);
}

std::shared_ptr<MediaSample> sineBuffer(std::int64_t firstSample, std::uint32_t frames, double hz,
                                        std::int64_t ns, bool interleaved) {
  PcmBuffer buffer(AudioFormat(48000, 2, interleaved), frames);
  buffer.setFrameLength(frames);
  for (std::uint32_t i = 0; i < frames; ++i) {
    auto v = static_cast<float>(
        0.5 * std::sin(2 * std::numbers::pi * hz * static_cast<double>(firstSample + i) / 48000));
    if (interleaved) {
      buffer.data(0)[2 * i] = v;
      buffer.data(0)[2 * i + 1] = v;
    } else {
      buffer.data(0)[i] = v;
      buffer.data(1)[i] = v;
    }
  }
  return MediaSample::makeAudio(std::move(buffer), timingAt(ns, MediaTime::make(1, 48000)));
}

bool appendWhenReady(AssetWriterInput& input, std::shared_ptr<MediaSample> sample) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!input.isReadyForMoreMediaData()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return input.appendSampleBuffer(std::move(sample));
}

bool finish(AssetWriter& writer) {
  std::mutex mutex;
  std::condition_variable done;
  int calls = 0;  // guarded by mutex
  writer.finishWriting([&] {
    std::lock_guard lock(mutex);
    ++calls;
    done.notify_all();
  });
  std::unique_lock lock(mutex);
  done.wait_for(lock, std::chrono::seconds(60), [&] { return calls > 0; });
  // A moment for a second, wrong call to show.
  lock.unlock();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  lock.lock();
  return calls == 1;
}

namespace {

std::vector<char> readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

std::uint32_t be32(const char* p) {
  auto u = reinterpret_cast<const unsigned char*>(p);
  return (std::uint32_t{u[0]} << 24) | (std::uint32_t{u[1]} << 16) | (std::uint32_t{u[2]} << 8) |
         u[3];
}

}  // namespace

std::vector<std::string> topLevelBoxes(const std::string& path) {
  std::vector<std::string> boxes;
  std::vector<char> data = readAll(path);
  std::size_t at = 0;
  while (at + 8 <= data.size()) {
    std::uint64_t size = be32(&data[at]);
    boxes.emplace_back(&data[at + 4], 4);
    if (size == 1 && at + 16 <= data.size()) {
      size = (std::uint64_t{be32(&data[at + 8])} << 32) | be32(&data[at + 12]);
    } else if (size == 0) {
      size = data.size() - at;
    }
    if (size < 8) {
      break;
    }
    at += size;
  }
  return boxes;
}

bool moovContains(const std::string& path, const std::string& type) {
  std::vector<char> data = readAll(path);
  std::size_t at = 0;
  while (at + 8 <= data.size()) {
    std::uint32_t size = be32(&data[at]);
    if (std::string(&data[at + 4], 4) == "moov" && size >= 8 && at + size <= data.size()) {
      std::string payload(&data[at + 8], size - 8);
      return payload.find(type) != std::string::npos;
    }
    if (size < 8) {
      break;
    }
    at += size;
  }
  return false;
}

}  // namespace kestrano::testing
