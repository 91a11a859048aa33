// The writer against real files: what it writes, read back with libavformat
// and the ffmpeg tool, and how it refuses, fails and finishes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <numbers>
#include <thread>
#include <tuple>

#include "platform/linux/ffmpeg/audio_placement.h"
#include "platform/linux/ffmpeg/ffmpeg_writer_factory.h"
#include "tests/support/media_probe.h"
#include "tests/support/temporary_folder.h"

namespace kestrano::testing {
namespace {

constexpr std::int64_t kSession = 5'000'000'000;  // session start on the test clock, ns
constexpr std::int64_t kMs = 1'000'000;

std::int64_t samplesToNs(std::int64_t samples) {
  return samples * 1'000'000'000 / 48000;
}

// Text-like bars that move with the seed, in any pixel format.
std::shared_ptr<MediaSample> frame(int width, int height, std::int64_t ns, int seed,
                                   PixelFormat format = PixelFormat::i420) {
  VideoFrame f = VideoFrame::create(width, height, format).value();
  for (int p = 0; p < f.planeCount(); ++p) {
    const auto& plane = f.plane(p);
    for (int y = 0; y < plane.rows; ++y) {
      for (int x = 0; x < plane.stride; ++x) {
        bool ink = ((x + seed * 7) / 6 + y / 12) % 5 == 0;
        plane.data[y * plane.stride + x] = p > 0 ? 128 : static_cast<std::uint8_t>(ink ? 20 : 200);
      }
    }
  }
  return MediaSample::makeVideo(
      std::move(f), {MediaTime::invalid(), MediaTime::make(ns, kNanosecondTimescale), {}}, {});
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
  return MediaSample::makeAudio(
      std::move(buffer),
      {MediaTime::make(1, 48000), MediaTime::make(ns, kNanosecondTimescale), MediaTime::invalid()});
}

// Finishes and waits (bounded) for the completion; false unless it came exactly once.
bool finish(AssetWriter& writer) {
  auto calls = std::make_shared<std::atomic<int>>(0);
  writer.finishWriting([calls] { ++*calls; });
  for (int i = 0; i < 6000 && *calls == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // for a second, wrong call
  return *calls == 1;
}

enum class Stage { made, started, inSession };

struct ThreeTrackWriter {
  std::shared_ptr<AssetWriter> writer;
  std::shared_ptr<AssetWriterInput> video, systemAudio, mic;

  // Waits (bounded) while the input is not ready and the writer still writes.
  bool append(AssetWriterInput& input, std::shared_ptr<MediaSample> sample) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!input.isReadyForMoreMediaData()) {
      if (writer->status() != WriterStatus::writing ||
          std::chrono::steady_clock::now() > deadline) {
        return false;
      }
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

// With the recorder's track settings; `error` says why there is no writer
// or it did not start.
ThreeTrackWriter makeWriter(const std::string& path, Stage stage = Stage::inSession,
                            int height = 720, std::optional<Error>* error = nullptr) {
  auto factory = makeFfmpegWriterFactory();
  VideoOutputSettings video{.width = 1280,
                            .height = height,
                            .compression = {.averageBitRate = 500000, .maxKeyFrameInterval = 30},
                            .expectedFrameInterval = MediaTime::make(1, 15)};
  AudioOutputSettings audio{.sampleRate = 48000, .numberOfChannels = 2, .encoderBitRate = 96000};
  std::optional<Error> ignored;
  error = error ? error : &ignored;
  ThreeTrackWriter w{factory->makeWriter(path, FileType::mpeg4, *error),
                     factory->makeInput(MediaType::video, video),
                     factory->makeInput(MediaType::audio, audio),
                     factory->makeInput(MediaType::audio, audio)};
  for (auto* input : {&w.video, &w.systemAudio, &w.mic}) {
    (*input)->setExpectsMediaDataInRealTime(true);
    if (w.writer) {
      w.writer->addInput(*input);
    }
  }
  if (w.writer && stage != Stage::made && !w.writer->startWriting()) {
    *error = w.writer->error();
  } else if (w.writer && stage == Stage::inSession) {
    w.writer->startSessionAtSourceTime(MediaTime::make(kSession, kNanosecondTimescale));
  }
  return w;
}

// The top-level box types of an MP4 file, in order.
std::vector<std::string> topLevelBoxes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string data(std::istreambuf_iterator<char>(in), {});
  auto be = [&](std::size_t at, int bytes) {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) {
      v = v << 8 | static_cast<unsigned char>(data[at + static_cast<std::size_t>(i)]);
    }
    return v;
  };
  std::vector<std::string> boxes;
  for (std::size_t at = 0, size = 8; at + 8 <= data.size() && size >= 8; at += size) {
    boxes.push_back(data.substr(at + 4, 4));
    size = be(at, 4) == 1 && at + 16 <= data.size() ? be(at + 8, 8) : be(at, 4);
  }
  return boxes;
}

// Largest difference between decoded sound and the sine it should be, where
// decoded sample n holds sine sample n + shift (0 Hz: silence).
double sineError(const std::vector<float>& decoded, double hz, std::int64_t shift, std::size_t from,
                 std::size_t to) {
  double worst = 0;
  for (std::size_t n = from; n < std::min(to, decoded.size()); ++n) {
    double t = static_cast<double>(static_cast<std::int64_t>(n) + shift) / 48000;
    worst = std::max(worst, std::fabs(0.5 * std::sin(2 * std::numbers::pi * hz * t) - decoded[n]));
  }
  return worst;
}

TEST(AudioPlacement, KeepsCountingWithinTheThresholdAndRePlacesBeyondIt) {
  // A buffer's stamp (as a sample position), its length, the decision and the
  // track's position after it.
  struct Step {
    std::int64_t stamp, frames, silence, skip, position;
  };
  const std::vector<std::vector<Step>> cases = {
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
  };
  for (const auto& steps : cases) {
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
  // At most 15 fps with uneven gaps (a loaded machine) and a still second in
  // the middle.
  std::vector<std::int64_t> frameMs;
  for (std::int64_t t = 0, seed = 7; t < 4000; t += 67 + (seed >> 8) % 40) {
    seed = (seed * 1664525 + 1013904223) % (1LL << 32);
    if (t < 1500 || t > 2500) {
      frameMs.push_back(t);
    }
  }
  const std::int64_t micFrames = 4 * 48000;
  {
    // 719 rows (a 1366x768 display's usual capture), some frames in bgra or
    // at another size.
    ThreeTrackWriter w = makeWriter(path, Stage::inSession, 719);
    // The screen stream's thread: a frame from before the session start (not
    // written), the frames, and system sound beginning 300 ms in.
    std::thread screen([&] {
      EXPECT_TRUE(w.append(*w.video, frame(1280, 719, kSession - 100 * kMs, 0)));
      for (std::size_t i = 0; i < frameMs.size(); ++i) {
        int size = i % 7 == 3 ? 1366 : i % 7 == 5 ? 640 : 1280;
        EXPECT_TRUE(w.append(
            *w.video, frame(size, size * 719 / 1280, kSession + frameMs[i] * kMs,
                            static_cast<int>(i), i % 2 ? PixelFormat::bgra : PixelFormat::i420)));
      }
      for (std::int64_t at = 0; at < micFrames - 14400; at += 960) {
        EXPECT_TRUE(w.append(*w.systemAudio,
                             sine(at, 960, 440, kSession + 300 * kMs + samplesToNs(at), true)));
      }
    });
    // The microphone's thread: the first buffer straddles the session start
    // by 480 frames; the later 20 ms buffers come with ±10 ms of jitter.
    std::thread mic([&] {
      for (std::int64_t at = 0, seed = 12345; at < micFrames; at += 960) {
        seed = (seed * 1664525 + 1013904223) % (1LL << 32);
        std::int64_t jitter = at == 0 ? 0 : (seed >> 8) % 21 - 10;
        EXPECT_TRUE(
            w.append(*w.mic, sine(at, 960, 997, kSession + samplesToNs(at - 480) + jitter * kMs)));
      }
    });
    screen.join();
    mic.join();
    ASSERT_TRUE(w.finishAll());
    EXPECT_EQ(w.writer->status(), WriterStatus::completed);
    EXPECT_FALSE(w.writer->error());
  }  // the file outlives the writer

  auto streams = probeStreams(path);
  ASSERT_EQ(streams.size(), 3u);
  const StreamInfo& v = streams[0];
  EXPECT_EQ(std::tuple(v.codec, v.profile, v.width, v.height),
            std::tuple("h264", "High", 1280, 720));  // the odd row repeated
  for (const StreamInfo& s : streams) {
    EXPECT_NEAR(s.startSeconds, 0.0, 0.001) << s.type;
    EXPECT_NEAR(s.durationSeconds, 4.0, 1024.0 / 48000) << s.type;
    if (s.type == "audio") {
      EXPECT_EQ(std::tuple(s.codec, s.profile, s.sampleRate, s.channels),
                std::tuple("aac", "LC", 48000, 2));
    }
  }
  // Every frame once at its own time (on a 1/180 s grid), and the last picture
  // once more where the sound ends.
  std::vector<double> pts;
  for (const auto& p : v.packets) {
    pts.push_back(p.seconds);
  }
  std::sort(pts.begin(), pts.end());
  ASSERT_EQ(pts.size(), frameMs.size() + 1);
  for (std::size_t i = 0; i < frameMs.size(); ++i) {
    EXPECT_NEAR(pts[i] * 1000, static_cast<double>(frameMs[i]), 2.8) << i;
  }
  int sinceKey = 0;  // a key frame at least every 30 frames
  ASSERT_TRUE(v.packets.front().key);
  for (const auto& p : v.packets) {
    sinceKey = p.key ? 0 : sinceKey + 1;
    EXPECT_LT(sinceKey, 30);
  }
  // Not fragmented: one index, at the end.
  EXPECT_EQ(topLevelBoxes(path), (std::vector<std::string>{"ftyp", "free", "mdat", "moov"}));
  EXPECT_EQ(decodeErrors(path), "");

  // System sound: silent until 300 ms, then the sine, continuous.
  std::vector<float> system = decodeAudio(path, 0).mono;
  EXPECT_LT(sineError(system, 0, 0, 0, 14400 - 1024), 0.01);
  EXPECT_LT(sineError(system, 440, -14400, 14400 + 1024, micFrames - 2048), 0.05);
  // Microphone: the part before the start cut, the jitter absorbed: nothing
  // lost or twice, the phase holds.
  std::vector<float> mic = decodeAudio(path, 1).mono;
  EXPECT_NEAR(static_cast<double>(mic.size()), static_cast<double>(micFrames - 480), 1024);
  EXPECT_LT(sineError(mic, 997, 480, 2048, micFrames - 2048), 0.05);
}

TEST(WriterFile, TheLastPictureIsRepeatedAtTheEndOfTheSoundButNotCloserThanAFrame) {
  // A still screen whose last frame comes at 933 ms; the sound ends this long
  // after it (none: the repeat keeps the last frame's nominal time).
  for (std::int64_t soundAfterMs : {-1, 20, 100}) {
    SCOPED_TRACE(soundAfterMs);
    TemporaryFolder folder;
    std::string path = folder.path("still.mp4");
    ThreeTrackWriter w = makeWriter(path);
    w.appendFrames(15);
    for (std::int64_t at = 0; soundAfterMs >= 0 && at < (933 + soundAfterMs) * 48; at += 48) {
      ASSERT_TRUE(w.append(*w.systemAudio, sine(at, 48, 440, kSession + samplesToNs(at))));
    }
    ASSERT_TRUE(w.finishAll());
    std::vector<double> pts;
    for (const auto& p : probeStreams(path)[0].packets) {
      pts.push_back(p.seconds);
    }
    std::sort(pts.begin(), pts.end());
    ASSERT_EQ(pts.size(), 16u);
    EXPECT_NEAR(pts.back(), 0.933 + std::max(soundAfterMs / 1000.0, 1.0 / 15), 0.0011);
  }
}

TEST(Writer, RefusesWhatItCannotWriteNamingThePathAndTheReason) {
  TemporaryFolder folder;
  std::ofstream(folder.path("old.mp4")) << "old";
  ASSERT_EQ(::mkdir(folder.path("dir.mp4").c_str(), 0700), 0);
  const std::string late = folder.path("late.mp4"), missing = folder.path("no-such/rec.mp4");
  struct Case {
    std::string path;
    std::vector<std::string> mentions;
  };
  for (const Case& c : std::vector<Case>{
           {folder.path("old.mp4"), {folder.path("old.mp4")}},
           {folder.path("dir.mp4"), {folder.path("dir.mp4"), "folder"}},
           // The system would end the path at the NUL and write "cut" instead.
           {folder.path("cut") + std::string(1, '\0') + ".mp4", {"NUL"}},
           {missing, {missing, "No such file or directory"}},
           // A folder appears at the path after the writer was made.
           {late, {late, "Is a directory"}},
       }) {
    std::optional<Error> error;
    ThreeTrackWriter w = makeWriter(c.path, Stage::made, 720, &error);
    if (w.writer) {
      if (c.path == late) {
        ::mkdir(late.c_str(), 0700);
      }
      EXPECT_FALSE(w.writer->startWriting()) << c.path;
      EXPECT_EQ(w.writer->status(), WriterStatus::failed);
      error = w.writer->error();
    }
    ASSERT_TRUE(error) << c.path;
    for (const auto& word : c.mentions) {
      EXPECT_NE(error->description.find(word), std::string::npos) << error->description;
    }
  }
}

// Flooded faster than x264 drains it, the video input says not ready and
// refuses, and takes frames again once the encoder catches up.
TEST(Writer, AFloodedInputSaysNotReadyAndRecovers) {
  TemporaryFolder folder;
  ThreeTrackWriter w = makeWriter(folder.path("r.mp4"));
  int i = 0;
  for (; i < 40 && w.video->isReadyForMoreMediaData(); ++i) {
    EXPECT_TRUE(w.video->appendSampleBuffer(frame(1280, 720, kSession + i * 66 * kMs, i)));
  }
  ASSERT_LT(i, 40);
  EXPECT_FALSE(w.video->appendSampleBuffer(frame(1280, 720, kSession + i * 66 * kMs, i)));
  EXPECT_TRUE(w.append(*w.video, frame(1280, 720, kSession + i * 66 * kMs, i)));
  ASSERT_TRUE(w.finishAll());
  EXPECT_EQ(w.writer->status(), WriterStatus::completed);
  EXPECT_FALSE(w.mic->appendSampleBuffer(sine(0, 1024, 440, kSession)));
}

TEST(Writer, FinishingWithoutMediaCompletesOnce) {
  TemporaryFolder folder;
  // Started without a session or a sample: a playable file with empty
  // tracks. Never started: no file.
  ThreeTrackWriter started = makeWriter(folder.path("empty.mp4"), Stage::started);
  ThreeTrackWriter never = makeWriter(folder.path("never.mp4"), Stage::made);
  ASSERT_TRUE(finish(*started.writer));
  ASSERT_TRUE(finish(*never.writer));
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
  enum End { finished, cancelled, firstFinishesFirst, secondFinishesFirst, firstIsCancelled };
  for (End end : {finished, cancelled, firstFinishesFirst, secondFinishesFirst, firstIsCancelled}) {
    SCOPED_TRACE(end);
    TemporaryFolder folder;
    const std::string name = std::string(250, 'n') + ".mp4", path = folder.path(name);
    const bool replaced = end >= firstFinishesFirst;
    ThreeTrackWriter first = makeWriter(path), second;
    first.appendFrames(5);
    if (replaced) {
      ASSERT_EQ(::unlink(path.c_str()), 0);
      second = makeWriter(path);
      second.appendFrames(45);
      // Until the second's first fragment is in its file (bounded).
      for (int i = 0; i < 2000 && std::filesystem::file_size(path) < 10'000; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    if (end == cancelled || end == firstIsCancelled) {
      first.writer->cancelWriting();
      EXPECT_EQ(first.writer->status(), WriterStatus::cancelled);
      EXPECT_FALSE(first.video->isReadyForMoreMediaData());
    }
    if (end == secondFinishesFirst) {
      ASSERT_TRUE(second.finishAll());
    }
    ASSERT_TRUE(first.finishAll());
    if (replaced && end != secondFinishesFirst) {
      ASSERT_TRUE(second.finishAll());
    }
    if (replaced && end != firstIsCancelled) {
      EXPECT_EQ(first.writer->status(), WriterStatus::failed);
      EXPECT_NE(first.writer->error().value_or(Error{}).description.find(path), std::string::npos);
    }
    ThreeTrackWriter& kept = replaced ? second : first;
    EXPECT_EQ(first.writer->outputIsAtURL(), end == finished);
    EXPECT_EQ(kept.writer->status(),
              end == cancelled ? WriterStatus::cancelled : WriterStatus::completed);
    EXPECT_EQ(kept.writer->outputIsAtURL(), end != cancelled);
    first = second = ThreeTrackWriter{};  // the file outlives its writer
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder.dir())) {
      names.push_back(entry.path().filename().string());
    }
    if (end == cancelled) {
      EXPECT_TRUE(names.empty());
      continue;
    }
    EXPECT_EQ(names, std::vector<std::string>{name});
    EXPECT_EQ(topLevelBoxes(path).back(), "moov");
    EXPECT_EQ(probeStreams(path)[0].packets.size(), replaced ? 46u : 6u);  // and the repeat
  }
}

// Runs `body` in a child process (which may then die any way it likes);
// its exit status, or 100 + the signal that ended it.
int inChild(const std::function<int()>& body) {
  pid_t child = ::fork();
  if (child == 0) {
    ::_exit(body());
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

// Up to `frames` frames at 15 fps with system sound, as fast as the inputs
// take them, while the writer writes. Not the microphone: the plain ffmpeg
// command that finds a torn end plays only the first sound track.
void feed(ThreeTrackWriter& w, int frames) {
  for (int i = 0, at = 0; i < frames && w.writer->status() == WriterStatus::writing; ++i) {
    w.append(*w.video, frame(1280, 720, kSession + i * 66'666'666LL, i));
    for (; at < (i + 1) * 3200; at += 1024) {
      w.append(*w.systemAudio, sine(at, 1024, 440, kSession + samplesToNs(at)));
    }
  }
}

TEST(WriterFailure, AFileThatCannotGrowFailsTheWriterAndKeepsOnlyWholeFragments) {
  TemporaryFolder folder;
  std::string path = folder.path("full.mp4");
  ASSERT_EQ(inChild([&] {
              // Past 200 kB writes fail with EFBIG, the first one part-way.
              ::signal(SIGXFSZ, SIG_IGN);
              rlimit limit{200'000, 200'000};
              ::setrlimit(RLIMIT_FSIZE, &limit);
              ThreeTrackWriter w = makeWriter(path);
              feed(w, 15 * 60);
              auto error = w.writer->error().value_or(Error{}).description;
              if (w.writer->status() != WriterStatus::failed ||
                  error.find(path) == std::string::npos ||
                  error.find("File too large") == std::string::npos) {
                return 1;
              }
              if (w.video->appendSampleBuffer(frame(1280, 720, kSession + 99'000'000'000, 0))) {
                return 2;
              }
              return finish(*w.writer) && w.writer->status() == WriterStatus::failed ? 0 : 3;
            }),
            0);
  EXPECT_EQ(probeStreams(path).size(), 3u);
  EXPECT_EQ(decodeErrors(path), "");  // no torn last fragment
}

TEST(WriterFailure, AKilledWriterLeavesAFileWithAllButTheLastSeconds) {
  TemporaryFolder folder;
  std::string path = folder.path("killed.mp4");
  ASSERT_EQ(inChild([&]() -> int {
              ThreeTrackWriter w = makeWriter(path);
              feed(w, 6 * 15);
              // The encoders take what was queued; then death without a finish.
              std::this_thread::sleep_for(std::chrono::seconds(1));
              ::_exit(0);
            }),
            0);
  auto streams = probeStreams(path);
  ASSERT_EQ(streams.size(), 3u);
  EXPECT_GE(streams[0].packets.size(), 4u * 15);
  EXPECT_GE(streams[1].packets.size(), 4u * 48000 / 1024);
  EXPECT_EQ(decodeErrors(path), "");
}

}  // namespace
}  // namespace kestrano::testing
