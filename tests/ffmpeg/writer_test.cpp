// The writer against real files: what it writes, read back with libavformat
// and the ffmpeg tool, and how it refuses, fails and finishes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <thread>
#include <tuple>

#include "platform/linux/ffmpeg/audio_placement.h"
#include "platform/linux/ffmpeg/ffmpeg_writer_factory.h"
#include "tests/resample/sine_fit.h"
#include "tests/support/media_probe.h"
#include "tests/support/temporary_folder.h"

namespace kestrano::testing {
namespace {

constexpr std::int64_t kSession = 5'000'000'000;  // session start on the test clock, ns
constexpr std::int64_t kMs = 1'000'000;

const auto at = [](std::int64_t ns) { return MediaTime::make(ns, kNanosecondTimescale); };
const auto samplesToNs = [](std::int64_t samples) { return samples * 1'000'000'000 / 48000; };

// A gradient that moves with the seed, in any pixel format.
std::shared_ptr<MediaSample> frame(int width, int height, std::int64_t ns, int seed,
                                   PixelFormat format = PixelFormat::i420) {
  VideoFrame f = VideoFrame::create(width, height, format).value();
  for (int p = 0; p < f.planeCount(); ++p) {
    for (int i = 0; i < f.plane(p).rows * f.plane(p).stride; ++i) {
      f.plane(p).data[i] = p > 0 ? 128 : (i % f.plane(p).stride + i / 4096 + seed * 8) % 256;
    }
  }
  return MediaSample::makeVideo(std::move(f), {MediaTime::invalid(), at(ns), {}}, {});
}

// Stereo 48 kHz sine (amplitude 0.5) whose phase follows `firstSample`.
std::shared_ptr<MediaSample> sine(std::int64_t firstSample, std::uint32_t frames, double hz,
                                  std::int64_t ns, bool interleaved = false) {
  PcmBuffer buffer(AudioFormat(48000, 2, interleaved), frames);
  buffer.setFrameLength(frames);
  for (std::uint32_t i = 0; i < frames; ++i) {
    auto v = static_cast<float>(
        0.5 * std::sin(2 * std::numbers::pi * hz * static_cast<double>(firstSample + i) / 48000));
    (interleaved ? buffer.data(0)[2 * i] : buffer.data(0)[i]) = v;
    (interleaved ? buffer.data(0)[2 * i + 1] : buffer.data(1)[i]) = v;
  }
  return MediaSample::makeAudio(std::move(buffer), {MediaTime::make(1, 48000), at(ns), {}});
}

// Finishes and waits (bounded) for the completion; false unless it came once.
bool finish(AssetWriter& writer) {
  auto calls = std::make_shared<std::atomic<int>>(0);
  writer.finishWriting([calls] { ++*calls; });
  for (int i = 0; i < 6000 && *calls == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // for a second, wrong call
  return *calls == 1;
}

VideoOutputSettings videoSettings(int height = 720) {
  return {.width = 1280,
          .height = height,
          .compression = {.averageBitRate = 500000, .maxKeyFrameInterval = 30},
          .expectedFrameInterval = MediaTime::make(1, 15)};
}

struct ThreeTrackWriter {
  std::shared_ptr<AssetWriter> writer;
  std::shared_ptr<AssetWriterInput> video, systemAudio, mic;

  // Waits (bounded) while the input is not ready and the writer still writes.
  bool append(AssetWriterInput& input, std::shared_ptr<MediaSample> sample) {
    for (int i = 0; i < 30'000 && !input.isReadyForMoreMediaData() &&
                    writer->status() == WriterStatus::writing;
         ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return input.appendSampleBuffer(std::move(sample));
  }
  void appendFrames(int count) {
    for (int i = 0; i < count; ++i) {
      EXPECT_TRUE(append(*video, frame(1280, 720, kSession + i * 66'666'666LL, i)));
    }
  }
  bool finishAll() {
    for (auto* input : {&video, &systemAudio, &mic}) {
      (*input)->markAsFinished();
    }
    return finish(*writer);
  }
};

enum class Stage { made, started, inSession };

// With the recorder's track settings.
ThreeTrackWriter makeWriter(const std::string& path, Stage stage = Stage::inSession,
                            int height = 720) {
  auto factory = makeFfmpegWriterFactory();
  AudioOutputSettings audio{.sampleRate = 48000, .numberOfChannels = 2, .encoderBitRate = 96000};
  std::optional<Error> error;
  ThreeTrackWriter w{factory->makeWriter(path, FileType::mpeg4, error),
                     factory->makeInput(MediaType::video, videoSettings(height)),
                     factory->makeInput(MediaType::audio, audio),
                     factory->makeInput(MediaType::audio, audio)};
  if (!w.writer) {
    throw std::runtime_error(error.value_or(Error{}).description);
  }
  for (auto* input : {&w.video, &w.systemAudio, &w.mic}) {
    (*input)->setExpectsMediaDataInRealTime(true);
    w.writer->addInput(*input);
  }
  if (stage != Stage::made && !w.writer->startWriting()) {
    throw std::runtime_error("not started: " + path);
  }
  if (stage == Stage::inSession) {
    w.writer->startSessionAtSourceTime(at(kSession));
  }
  return w;
}

// Not fragmented: the samples, then one index at the end.
bool isOrdinaryMp4(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string data(std::istreambuf_iterator<char>(in), {});
  auto mdat = data.find("mdat");
  return mdat != std::string::npos && data.rfind("moov") > mdat &&
         data.find("moof") == std::string::npos;
}

// How far decoded samples [from, to) are from a 0.5 sine whose sample n +
// shift is decoded sample n: what the fit leaves, and its level and phase
// errors.
double sineError(const std::vector<float>& decoded, double hz, std::int64_t shift, std::size_t from,
                 std::size_t to) {
  to = std::min(to, decoded.size());
  SineFit f =
      fitSine(&decoded[from], to - from, 1, hz, 48000, static_cast<std::int64_t>(from) + shift);
  return f.residual + std::fabs(f.amplitude - 0.5) + std::fabs(f.phase);
}

TEST(AudioPlacement, KeepsCountingWithinTheThresholdAndRePlacesBeyondIt) {
  // A buffer's stamp (as a sample position), its length, the decision and the
  // track's position after it.
  struct Step {
    std::int64_t stamp, frames, silence, skip, position;
  };
  for (const auto& steps : std::vector<std::vector<Step>>{
           // Wholly before the session: it does not start the track.
           {{-2048, 1024, 0, 1024, 0}, {1000, 1024, 1000, 0, 2024}},
           // ±10 ms of jitter, and drift right at the 50 ms threshold: the count goes on.
           {{0, 960, 0, 0, 960},
            {1440, 960, 0, 0, 1920},
            {1440, 960, 0, 0, 2880},
            {5280, 960, 0, 0, 3840}},
           // 100 ms ahead: silence fills the gap; 80 ms behind: that much is
           // dropped, never played twice; then within the threshold again.
           {{0, 960, 0, 0, 960},
            {5760, 960, 4800, 0, 6720},
            {2880, 960, 0, 960, 6720},
            {4800, 960, 0, 0, 7680}},
       }) {
    ffmpeg::AudioPlacement p(2400);
    for (const Step& s : steps) {
      auto d = p.place(s.stamp, s.frames);
      EXPECT_EQ(std::tuple(d.silence, d.skip, p.position()),
                std::tuple(s.silence, s.skip, s.position))
          << "stamp " << s.stamp;
    }
  }
}

TEST(WriterFile, ThreeTracksPlacedOnTheSessionClockInAnOrdinaryMp4) {
  TemporaryFolder folder;
  std::string path = folder.path("rec.mp4");
  // At most 15 fps with uneven gaps (a loaded machine) and a still second.
  std::vector<std::int64_t> frameMs;
  for (std::int64_t t = 0; t < 3900; t += 67 + t * 7 % 40) {
    if (t < 1500 || t > 2500) {
      frameMs.push_back(t);
    }
  }
  const std::int64_t sound = 4 * 48000;
  {
    // 719 rows (a 1366x768 display's capture); some frames bgra or another size.
    ThreeTrackWriter w = makeWriter(path, Stage::inSession, 719);
    // The screen stream's thread: a frame from before the session (not
    // written), the frames, and system sound beginning 300 ms in.
    std::thread screen([&] {
      EXPECT_TRUE(w.append(*w.video, frame(1280, 719, kSession - 100 * kMs, 0)));
      for (std::size_t i = 0; i < frameMs.size(); ++i) {
        int width = i % 7 == 3 ? 1366 : i % 7 == 5 ? 640 : 1280;
        EXPECT_TRUE(w.append(
            *w.video, frame(width, width * 719 / 1280, kSession + frameMs[i] * kMs,
                            static_cast<int>(i), i % 2 ? PixelFormat::bgra : PixelFormat::i420)));
      }
      for (std::int64_t a = 0; a < sound - 14400; a += 960) {
        EXPECT_TRUE(w.append(*w.systemAudio,
                             sine(a, 960, 440, kSession + 300 * kMs + samplesToNs(a), true)));
      }
    });
    // The microphone's thread: the first buffer straddles the session start
    // by 480 frames; the later 20 ms buffers come with ±10 ms of jitter.
    std::thread mic([&] {
      for (std::int64_t a = 0; a < sound; a += 960) {
        std::int64_t jitter = a == 0 ? 0 : a * 13 % 21 - 10;
        EXPECT_TRUE(
            w.append(*w.mic, sine(a, 960, 997, kSession + samplesToNs(a - 480) + jitter * kMs)));
      }
    });
    screen.join();
    mic.join();
    ASSERT_TRUE(w.finishAll());
    EXPECT_EQ(w.writer->status(), WriterStatus::completed);
  }  // the file outlives the writer

  auto streams = probeStreams(path);
  ASSERT_EQ(streams.size(), 3u);
  const StreamInfo& v = streams[0];
  EXPECT_EQ(std::tuple(v.codec, v.profile, v.width, v.height),
            std::tuple("h264", "High", 1280, 720));  // the odd row repeated
  for (const StreamInfo& s : streams) {
    EXPECT_NEAR(s.startSeconds, 0.0, 0.001) << s.type;
    if (s.type == "audio") {
      EXPECT_NEAR(s.durationSeconds, 4.0, 1024.0 / 48000);
      EXPECT_EQ(std::tuple(s.codec, s.profile, s.sampleRate, s.channels),
                std::tuple("aac", "LC", 48000, 2));
    }
  }
  // Every frame once at its own time (on a 1/180 s grid), and the last
  // picture once more where the sound ends; a key frame every 30 at most.
  std::vector<double> pts;
  int sinceKey = 0;
  for (const auto& p : v.packets) {
    pts.push_back(p.seconds);
    sinceKey = p.key ? 0 : sinceKey + 1;
    EXPECT_LT(sinceKey, 30);
  }
  std::sort(pts.begin(), pts.end());
  ASSERT_EQ(pts.size(), frameMs.size() + 1);
  for (std::size_t i = 0; i < frameMs.size(); ++i) {
    EXPECT_NEAR(pts[i] * 1000, static_cast<double>(frameMs[i]), 2.8) << i;
  }
  EXPECT_NEAR(pts.back(), 4.0, 0.003);
  EXPECT_TRUE(isOrdinaryMp4(path));
  EXPECT_EQ(decodeErrors(path), "");

  // System sound: silent until 300 ms, then the sine, continuous.
  std::vector<float> system = decodeAudio(path, 0).mono;
  EXPECT_LT(fitSine(system.data(), 14400 - 1024, 1, 440, 48000, 0).amplitude, 0.01);
  EXPECT_LT(sineError(system, 440, -14400, 14400 + 1024, sound - 2048), 0.05);
  // Microphone: the part before the start cut, the jitter absorbed: nothing
  // lost or twice, the phase holds.
  std::vector<float> mic = decodeAudio(path, 1).mono;
  EXPECT_NEAR(static_cast<double>(mic.size()), static_cast<double>(sound - 480), 1024);
  EXPECT_LT(sineError(mic, 997, 480, 2048, sound - 2048), 0.05);
}

// The last picture once more where the sound ends, yet not closer than a
// frame to the one before; without sound a frame after it.
TEST(WriterFile, TheLastPictureIsRepeatedAtTheEndOfTheSoundButNotCloserThanAFrame) {
  for (std::int64_t soundAfterMs : {-1, 20, 100}) {  // after the last frame, at 933 ms
    TemporaryFolder folder;
    ThreeTrackWriter w = makeWriter(folder.path("still.mp4"));
    w.appendFrames(15);
    for (std::int64_t a = 0; soundAfterMs >= 0 && a < (933 + soundAfterMs) * 48; a += 48) {
      ASSERT_TRUE(w.append(*w.systemAudio, sine(a, 48, 440, kSession + samplesToNs(a))));
    }
    ASSERT_TRUE(w.finishAll());
    auto packets = probeStreams(folder.path("still.mp4"))[0].packets;
    ASSERT_EQ(packets.size(), 16u);
    EXPECT_NEAR(packets.back().seconds, 0.933 + std::max(soundAfterMs / 1000.0, 1.0 / 15), 0.0011)
        << soundAfterMs;
  }
}

TEST(Writer, RefusesWhatItCannotWriteNamingThePathAndTheReason) {
  TemporaryFolder folder;
  const std::string old = folder.path("old.mp4"), dir = folder.path("dir.mp4"),
                    missing = folder.path("no-such/rec.mp4");
  std::ofstream(old) << "old";
  std::filesystem::create_directory(dir);
  // The system would end a path at a NUL and write "cut" instead.
  for (const auto& [path, reason] :
       std::vector<std::pair<std::string, std::string>>{{old, old},
                                                        {dir, "folder"},
                                                        {folder.path("cut") + '\0' + ".mp4", "NUL"},
                                                        {missing, "No such file or directory"}}) {
    auto factory = makeFfmpegWriterFactory();
    std::optional<Error> error;
    if (auto writer = factory->makeWriter(path, FileType::mpeg4, error)) {
      writer->addInput(factory->makeInput(MediaType::video, videoSettings()));
      EXPECT_FALSE(writer->startWriting());
      error = writer->error();
    }
    ASSERT_TRUE(error);
    EXPECT_NE(error->description.find(reason), std::string::npos) << error->description;
    EXPECT_NE(error->description.find(path.substr(0, path.find('\0'))), std::string::npos);
  }
}

// Started without a session or a sample: a playable file with empty tracks.
// Never started: no file. The completion comes once either way.
TEST(Writer, FinishingWithoutMediaCompletesOnce) {
  TemporaryFolder folder;
  ThreeTrackWriter started = makeWriter(folder.path("empty.mp4"), Stage::started);
  ThreeTrackWriter never = makeWriter(folder.path("never.mp4"), Stage::made);
  ASSERT_TRUE(finish(*started.writer) && finish(*never.writer));
  EXPECT_EQ(started.writer->status(), WriterStatus::completed);
  EXPECT_EQ(probeStreams(folder.path("empty.mp4")).size(), 3u);
  EXPECT_FALSE(std::filesystem::exists(folder.path("never.mp4")));
}

// A second recording may start on the path of one still running (a host
// starting the next take before the last has finished; the start removes the
// first file by name). Whichever ends first, the second stays whole at the
// path and the first says that it is not there. The name is as long as the
// system allows: the finish works under a short temporary name.
TEST(Writer, ARecordingNeverReplacesAnotherAtItsPathAndCancellingLeavesNothing) {
  struct Row {
    bool replace, cancelFirst, secondFinishesFirst;
    WriterStatus first;
  };
  for (const Row& r : std::vector<Row>{{false, false, false, WriterStatus::completed},
                                       {false, true, false, WriterStatus::cancelled},
                                       {true, false, false, WriterStatus::failed},
                                       {true, false, true, WriterStatus::failed},
                                       {true, true, false, WriterStatus::cancelled}}) {
    SCOPED_TRACE(::testing::Message() << r.replace << r.cancelFirst << r.secondFinishesFirst);
    TemporaryFolder folder;
    const std::string path = folder.path(std::string(250, 'n') + ".mp4");
    ThreeTrackWriter first = makeWriter(path), second;
    first.appendFrames(5);
    if (r.replace) {
      ASSERT_EQ(::unlink(path.c_str()), 0);
      second = makeWriter(path);
      second.appendFrames(45);
      // Until the second's first fragment is in its file (bounded).
      for (int i = 0; i < 2000 && std::filesystem::file_size(path) < 10'000; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    if (r.cancelFirst) {
      first.writer->cancelWriting();
    }
    ASSERT_TRUE(!r.secondFinishesFirst || second.finishAll());
    ASSERT_TRUE(first.finishAll());
    ASSERT_TRUE(!r.replace || r.secondFinishesFirst || second.finishAll());
    EXPECT_EQ(first.writer->status(), r.first);
    EXPECT_EQ(first.writer->outputIsAtURL(), r.first == WriterStatus::completed);
    EXPECT_TRUE(r.first != WriterStatus::failed ||
                first.writer->error().value_or(Error{}).description.find(path) !=
                    std::string::npos);
    EXPECT_TRUE(!r.replace || (second.writer->status() == WriterStatus::completed &&
                               second.writer->outputIsAtURL()));
    first = second = ThreeTrackWriter{};  // the file outlives its writer
    const bool kept = r.replace || !r.cancelFirst;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.dir()), {}), kept ? 1 : 0);
    if (kept) {
      EXPECT_TRUE(isOrdinaryMp4(path));
      EXPECT_EQ(probeStreams(path)[0].packets.size(), r.replace ? 46u : 6u);  // and the repeat
    }
  }
}

// A file that cannot grow (past 200 kB writes fail with EFBIG, the first
// part-way) fails the writer naming the path and the reason, and keeps only
// whole fragments; a writer killed 6 s in leaves all but the last seconds.
// Fed video and system sound only: the plain ffmpeg command that finds a
// torn end plays only the first sound track.
TEST(WriterFailure, AFullDiskOrAKillLeavesAPlayableFile) {
  for (bool full : {true, false}) {
    TemporaryFolder folder;
    const std::string path = folder.path("rec.mp4");
    pid_t child = ::fork();
    if (child == 0) {
      ::signal(SIGXFSZ, SIG_IGN);
      rlimit limit{full ? 200'000 : RLIM_INFINITY, full ? 200'000 : RLIM_INFINITY};
      ::setrlimit(RLIMIT_FSIZE, &limit);
      ThreeTrackWriter w = makeWriter(path);
      for (int i = 0, a = 0; i < 900 && w.writer->status() == WriterStatus::writing; ++i) {
        w.append(*w.video, frame(1280, 720, kSession + i * 66'666'666LL, i));
        for (; a < (i + 1) * 3200; a += 1024) {
          w.append(*w.systemAudio, sine(a, 1024, 440, kSession + samplesToNs(a)));
        }
        if (!full && i == 90) {
          std::this_thread::sleep_for(std::chrono::seconds(1));  // the encoders take the queue,
          ::_exit(0);                                            // and no finish
        }
      }
      auto error = w.writer->error().value_or(Error{}).description;
      ::_exit(error.find(path) == std::string::npos ||
              error.find("File too large") == std::string::npos ||
              w.video->appendSampleBuffer(frame(1280, 720, kSession, 0)) || !finish(*w.writer) ||
              w.writer->status() != WriterStatus::failed);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_EQ(status, 0) << full;
    auto streams = probeStreams(path);
    ASSERT_EQ(streams.size(), 3u);
    EXPECT_GE(streams[0].packets.size(), full ? 1u : 4u * 15);
    EXPECT_GE(streams[1].packets.size(), full ? 1u : 4u * 48000 / 1024);
    EXPECT_EQ(decodeErrors(path), "") << full;
  }
}

}  // namespace
}  // namespace kestrano::testing
