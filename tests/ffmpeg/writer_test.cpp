// The writer against real files, read back with libavformat and the ffmpeg
// tool: where sound and pictures land, and how it refuses, fails and finishes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <tuple>

#include "platform/linux/ffmpeg/audio_placement.h"
#include "platform/linux/ffmpeg/audio_track_encoder.h"
#include "platform/linux/ffmpeg/ffmpeg_writer_factory.h"
#include "platform/linux/ffmpeg/mp4_finalizer.h"
#include "platform/linux/ffmpeg/video_track_encoder.h"
#include "recorder/capture_settings.h"
#include "tests/resample/sine_fit.h"
#include "tests/support/media_probe.h"
#include "tests/support/temporary_folder.h"

namespace kestrano::testing {
namespace {

using namespace std::chrono_literals;
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

// Stereo 48 kHz, from sample `first` of a running count.
std::shared_ptr<MediaSample> sine(std::int64_t first, std::uint32_t frames, double hz,
                                  std::int64_t ns, bool interleaved = false) {
  return MediaSample::makeAudio(sineBuffer(AudioFormat(48000, 2, interleaved), frames, first, hz),
                                {MediaTime::make(1, 48000), at(ns), {}});
}

// The recorder's three tracks with its settings, made (stage 0), started (1) or in the session
// (2); a refusal is kept in `error`.
struct Writer {
  std::optional<Error> error;
  std::shared_ptr<AssetWriter> writer;
  std::shared_ptr<AssetWriterInput> video, systemAudio, mic;

  Writer() = default;
  explicit Writer(const std::string& path, int stage = 2) {
    auto factory = makeFfmpegWriterFactory();
    video = factory->makeInput(MediaType::video, makeVideoOutputSettings(720));
    systemAudio = factory->makeInput(MediaType::audio, makeAudioOutputSettings());
    mic = factory->makeInput(MediaType::audio, makeAudioOutputSettings());
    writer = factory->makeWriter(path, FileType::mpeg4, error);
    for (const auto& input : {video, systemAudio, mic}) {
      writer ? writer->addInput(input) : void();
    }
    if (writer && stage > 0 && !writer->startWriting()) {
      error = writer->error().value_or(Error{});
    } else if (writer && stage == 2) {
      writer->startSessionAtSourceTime(at(kSession));
    }
  }
  // Waits (bounded) while the input is not ready and the writer still writes.
  bool append(AssetWriterInput& input, std::shared_ptr<MediaSample> sample) {
    for (int i = 0; i < 30'000 && !input.isReadyForMoreMediaData() &&
                    writer->status() == WriterStatus::writing;
         ++i) {
      std::this_thread::sleep_for(1ms);
    }
    return input.appendSampleBuffer(std::move(sample));
  }
  void appendFrames(int count) {
    for (int i = 0; i < count; ++i) {
      EXPECT_TRUE(append(*video, frame(1280, 720, kSession + i * 66'666'666LL, i)));
    }
  }
  // Finishes and waits (bounded) for the completion; false unless it came once.
  bool finish() {
    for (auto* input : {&video, &systemAudio, &mic}) {
      (*input)->markAsFinished();
    }
    auto calls = std::make_shared<std::atomic<int>>(0);
    writer->finishWriting([calls] { ++*calls; });
    for (int i = 0; i < 6000 && *calls == 0; ++i) {
      std::this_thread::sleep_for(10ms);
    }
    std::this_thread::sleep_for(20ms);  // for a second, wrong call
    return *calls == 1;
  }
};

// Not fragmented: the samples, then one index at the end.
bool isOrdinaryMp4(const std::string& path) {
  return topLevelBoxes(path) == std::vector<std::string>{"ftyp", "mdat", "moov"};
}

TEST(AudioPlacement, KeepsCountingWithinTheThresholdAndRePlacesBeyondItOrAtAStep) {
  // A 960-frame buffer's stamp (as a sample position), the decision and the
  // track's position after it.
  for (const auto& steps : std::vector<std::vector<std::array<std::int64_t, 4>>>{
           // Wholly before the session: it does not start the track.
           {{-1920, 0, 960, 0}, {1000, 1000, 0, 1960}},
           // ±10 ms of jitter, and drift coming to the 50 ms threshold in
           // 20 ms steps: the count goes on.
           {{0, 0, 0, 960},
            {1440, 0, 0, 1920},
            {1440, 0, 0, 2880},
            {3360, 0, 0, 3840},
            {5280, 0, 0, 4800},
            {7200, 0, 0, 5760}},
           // 100 ms ahead: silence fills the gap; 80 ms behind: that much is
           // dropped, never played twice; then within the threshold again.
           {{0, 0, 0, 960}, {5760, 4800, 0, 6720}, {2880, 0, 960, 6720}, {4800, 0, 0, 7680}},
           // A source that starts over after drifting 10 ms behind: its 40 ms
           // step leaves the stamps only 30 ms ahead, yet the gap is filled
           // at once, and the next buffer goes on from there.
           {{0, 0, 0, 960}, {480, 0, 0, 1920}, {3360, 1440, 0, 4320}, {4320, 0, 0, 5280}}}) {
    ffmpeg::AudioPlacement p(2400, 1440);
    for (auto [stamp, silence, skip, position] : steps) {
      auto d = p.place(stamp, 960);
      EXPECT_EQ(std::tuple(d.silence, d.skip, p.position()), std::tuple(silence, skip, position))
          << stamp;
    }
  }
}

TEST(WriterFile, ThreeTracksPlacedOnTheSessionClock) {
  TemporaryFolder folder;
  std::string path = folder.path("rec.mp4");
  // At most 15 fps with uneven gaps (a loaded machine) and a still second.
  std::vector<std::int64_t> frameMs;
  for (std::int64_t t = 0; t < 3900; t += frameMs.size() == 20 ? 1000 : 67 + t * 7 % 40) {
    frameMs.push_back(t);
  }
  const std::int64_t sound = 4 * 48000;
  Writer w(path);
  // The screen stream's thread: a frame from before the session (not
  // written), frames in bgra and other sizes, and system sound from 300 ms.
  std::thread screen([&] {
    EXPECT_TRUE(w.append(*w.video, frame(1280, 720, kSession - 100 * kMs, 0)));
    for (std::size_t i = 0; i < frameMs.size(); ++i) {
      int width = i % 7 == 3 ? 1366 : i % 7 == 5 ? 640 : 1280;
      EXPECT_TRUE(w.append(
          *w.video, frame(width, width * 719 / 1280, kSession + frameMs[i] * kMs,
                          static_cast<int>(i), i % 2 ? PixelFormat::bgra : PixelFormat::i420)));
    }
    for (std::int64_t a = 0; a < sound - 14400; a += 960) {
      EXPECT_TRUE(
          w.append(*w.systemAudio, sine(a, 960, 440, kSession + 300 * kMs + samplesToNs(a), true)));
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
  ASSERT_TRUE(w.finish());

  // Every frame once at its own time (on a 1/180 s grid), and the last
  // picture once more where the sound ends.
  auto packets = probeStreams(path).at(0).packets;
  std::ranges::sort(packets, {}, &PacketInfo::seconds);
  ASSERT_EQ(packets.size(), frameMs.size() + 1);
  for (std::size_t i = 0; i < frameMs.size(); ++i) {
    EXPECT_NEAR(packets[i].seconds * 1000, static_cast<double>(frameMs[i]), 2.8) << i;
  }
  EXPECT_NEAR(packets.back().seconds, 4.0, 0.003);
  EXPECT_EQ(decodeErrors(path), "");
  // Both tracks from 0 to 4 s. System sound: silent until 300 ms, then the
  // sine. Microphone: the part before the start cut. Both continuous, the
  // jitter absorbed: nothing lost or twice, the phase holds.
  for (auto [track, hz, silentUntil, shift] :
       {std::tuple(0, 440.0, 14400, -14400), std::tuple(1, 997.0, 0, 480)}) {
    DecodedAudio d = decodeAudio(path, track);
    EXPECT_NEAR(d.startSeconds, 0, 0.001);
    EXPECT_NEAR(static_cast<double>(d.mono.size()), sound, 1024);
    const std::size_t from = silentUntil + 2048, to = sound - 2048;
    ASSERT_GT(d.mono.size(), to);
    SineFit f = fitSine(&d.mono[from], to - from, 1, hz, 48000, from + shift);
    EXPECT_LT(f.residual + std::fabs(f.amplitude - 0.5) + std::fabs(f.phase), 0.05) << track;
    EXPECT_TRUE(silentUntil == 0 ||
                fitSine(d.mono.data(), silentUntil - 1024, 1, hz, 48000, 0).amplitude < 0.01);
  }
}

TEST(Writer, RefusesWhatItCannotWriteNamingThePathAndTheReason) {
  TemporaryFolder folder;
  std::ofstream(folder.path("old.mp4")) << "old";
  std::filesystem::create_directory(folder.path("dir.mp4"));
  // The system would end a path at a NUL and write "cut" instead.
  for (const auto& [name, reason] : std::vector<std::pair<std::string, std::string>>{
           {"old.mp4", "old.mp4"}, {"dir.mp4", "folder"}, {std::string("cut\0.mp4", 8), "NUL"}}) {
    Writer w(folder.path(name), 1);
    ASSERT_TRUE(w.error) << reason;
    EXPECT_NE(w.error->description.find(reason), std::string::npos) << w.error->description;
    EXPECT_NE(w.error->description.find(folder.path(name.c_str())), std::string::npos);
  }
}

// Started without a session or a sample: a playable file with empty tracks.
// Never started: no file. The completion comes once either way.
TEST(Writer, FinishingWithoutMediaCompletesOnce) {
  TemporaryFolder folder;
  Writer started(folder.path("empty.mp4"), 1), never(folder.path("never.mp4"), 0);
  ASSERT_TRUE(!started.error && started.finish() && never.finish());
  EXPECT_EQ(started.writer->status(), WriterStatus::completed);
  EXPECT_EQ(probeStreams(folder.path("empty.mp4")).size(), 3u);
  EXPECT_FALSE(std::filesystem::exists(folder.path("never.mp4")));
}

// The sound waits for the picture's first packet, which tells how far every
// track moves, but not for ever: without a picture it reaches the disk within
// seconds, so a recorder killed then keeps it.
TEST(Writer, SoundReachesTheDiskWhenNoPictureComes) {
  TemporaryFolder folder;
  const std::string path = folder.path("rec.mp4");
  Writer w(path);
  for (std::int64_t a = 0; a < 7 * 48000; a += 960) {
    ASSERT_TRUE(w.append(*w.systemAudio, sine(a, 960, 440, kSession + samplesToNs(a))));
  }
  std::vector<StreamInfo> streams;
  for (int i = 0; i < 500 && (streams.size() < 2 || streams[1].packets.size() < 200); ++i) {
    std::this_thread::sleep_for(10ms);
    streams = probeStreams(path);
  }
  ASSERT_EQ(streams.size(), 3u);
  EXPECT_GE(streams[1].packets.size(), 200u);  // 4.3 s of the 7 s appended
  EXPECT_TRUE(w.finish());
}

// A second recording may start on the path of one still running (a host
// starting the next take before the last has finished; the start removes the
// first file by name). Whichever ends first, the second stays whole at the
// path, an ordinary MP4, and the first says that it is not there. The name is
// as long as the system allows: the finish works under a short temporary name.
TEST(Writer, ARecordingNeverReplacesAnotherAtItsPathAndCancellingLeavesNothing) {
  for (auto [replace, cancelFirst, secondFinishesFirst, first] :
       {std::tuple(false, false, false, WriterStatus::completed),
        {false, true, false, WriterStatus::cancelled},
        {true, false, false, WriterStatus::failed},
        {true, false, true, WriterStatus::failed},
        {true, true, false, WriterStatus::cancelled}}) {
    SCOPED_TRACE(::testing::Message() << replace << cancelFirst << secondFinishesFirst);
    TemporaryFolder folder;
    const std::string path = folder.path(std::string(250, 'n') + ".mp4");
    Writer one(path), two;
    one.appendFrames(5);
    if (replace) {
      ASSERT_EQ(::unlink(path.c_str()), 0);
      two = Writer(path);
      two.appendFrames(45);
      // Sound until 27 ms after the last picture (at 2933 ms).
      for (std::int64_t a = 0; a < 2953 * 48; a += 960) {
        EXPECT_TRUE(two.append(*two.systemAudio, sine(a, 960, 440, kSession + samplesToNs(a))));
      }
      // Until the second's first fragment is in its file (bounded).
      for (int i = 0; i < 2000 && std::filesystem::file_size(path) < 10'000; ++i) {
        std::this_thread::sleep_for(10ms);
      }
    }
    if (cancelFirst) {
      one.writer->cancelWriting();
    }
    ASSERT_TRUE(!secondFinishesFirst || two.finish());
    ASSERT_TRUE(one.finish());
    ASSERT_TRUE(!replace || secondFinishesFirst || two.finish());
    EXPECT_EQ(std::tuple(one.writer->status(), one.writer->outputIsAtURL()),
              std::tuple(first, first == WriterStatus::completed));
    EXPECT_TRUE(first != WriterStatus::failed ||
                one.writer->error().value_or(Error{}).description.find(path) != std::string::npos);
    EXPECT_TRUE(!replace || two.writer->outputIsAtURL());
    one = two = Writer{};  // the file outlives its writer
    const bool kept = replace || !cancelFirst;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.dir()), {}), kept ? 1 : 0);
    EXPECT_TRUE(!kept || isOrdinaryMp4(path));
    // The last picture once more a frame after it: without sound, and when the
    // sound ends closer to it than a frame.
    const auto packets = kept ? probeStreams(path)[0].packets : std::vector<PacketInfo>{};
    EXPECT_EQ(packets.size(), replace ? 46u : kept ? 6u : 0u);
    EXPECT_NEAR(packets.empty() ? 0 : packets.back().seconds,
                std::max(packets.size() - 1.0, 0.0) / 15, 0.0011);
  }
}

// A file that cannot grow (past 200 kB writes fail with EFBIG, the first
// part-way) fails the writer naming the path and the reason, and keeps only
// whole fragments. Fed video and system sound only: the plain ffmpeg command
// that finds a torn end plays only the first sound track.
TEST(WriterFailure, AFullFileFailsTheWriterAndKeepsOnlyWholeFragments) {
  TemporaryFolder folder;
  const std::string path = folder.path("rec.mp4");
  pid_t child = ::fork();
  if (child == 0) {
    ::alarm(100);  // a hang ends the child, and fails the test
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{200'000, 200'000};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    Writer w(path);
    for (int i = 0, a = 0; i < 900 && w.writer->status() == WriterStatus::writing; ++i) {
      w.append(*w.video, frame(1280, 720, kSession + i * 66'666'666LL, i));
      for (; a < (i + 1) * 3200; a += 1024) {
        w.append(*w.systemAudio, sine(a, 1024, 440, kSession + samplesToNs(a)));
      }
    }
    auto error = w.writer->error().value_or(Error{}).description;
    ::_exit(error.find(path) == std::string::npos ||
            error.find("File too large") == std::string::npos ||
            w.video->appendSampleBuffer(frame(1280, 720, kSession, 0)) || !w.finish() ||
            w.writer->status() != WriterStatus::failed);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_EQ(status, 0);
  auto streams = probeStreams(path);
  ASSERT_EQ(streams.size(), 3u);
  EXPECT_FALSE(streams[0].packets.empty() || streams[1].packets.empty());
  EXPECT_EQ(decodeErrors(path), "");
}

// A recording as the writer leaves it before the finish: 4 s through the
// writer's own encoders and fragmented muxer. Returns the start shifts.
std::vector<ffmpeg::FragmentedMuxer::StartShift> recordFragmented(const std::string& path) {
  std::optional<Error> e;
  auto muxer = ffmpeg::FragmentedMuxer::create(path, e);
  auto video = ffmpeg::VideoTrackEncoder::create(makeVideoOutputSettings(720), true, e);
  auto sound = ffmpeg::AudioTrackEncoder::create(makeAudioOutputSettings(), true, e);
  auto mic = ffmpeg::AudioTrackEncoder::create(makeAudioOutputSettings(), true, e);
  auto file = ffmpeg::OutputFile::create(path, ffmpeg::OutputFile::Disposition::createNew, e);
  int track = 0;
  for (auto* codec : {&video->codec(), &sound->codec(), &mic->codec()}) {
    EXPECT_EQ(muxer->addStream(*codec), track++);
  }
  video->setSink([&](AVPacket& p, AVRational tb) { return muxer->write(0, p, tb); });
  sound->setSink([&](AVPacket& p, AVRational tb) { return muxer->write(1, p, tb); });
  mic->setSink([&](AVPacket& p, AVRational tb) { return muxer->write(2, p, tb); });
  EXPECT_FALSE(muxer->open(*file));
  for (int i = 0; i < 60; ++i) {
    EXPECT_FALSE(video->encode(frame(1280, 720, kSession + i * 66'666'666LL, i), kSession));
  }
  for (std::int64_t a = 0; a < 4 * 48000; a += 960) {
    EXPECT_FALSE(sound->encode(*sine(a, 960, 440, kSession + samplesToNs(a)), kSession));
    EXPECT_FALSE(mic->encode(*sine(a, 960, 997, kSession + samplesToNs(a)), kSession));
  }
  EXPECT_FALSE(sound->finish() || mic->finish() || video->finish(4.0) || muxer->finish());
  return muxer->startShifts();
}

// The finish stopped dead after each of its writes in turn, and half way
// through the index (a process killed there), or failing on a full disk:
// every result plays whole, fragmented or finished, as the recording did
// before. With the 64-bit forms (co64, version 1 headers, a largesize mdat)
// the finished file reads the same.
TEST(Finish, StoppedAfterAnyWriteOrOnAFullDiskLeavesAWholeRecording) {
  TemporaryFolder folder;
  const std::string fragmented = folder.path("fragmented.mp4");
  const auto shifts = recordFragmented(fragmented);
  const auto before = probeStreams(fragmented);
  // Cut off before the finish, the file has no edit lists: its tracks' times
  // alone keep them in step, the first picture where the sound's priming
  // (1024 samples) ends.
  for (int i : {1, 2}) {
    EXPECT_NEAR(before[0].packets.front().seconds,
                before[i].packets.front().seconds + 1024.0 / 48000, 0.0005);
  }
  const auto fragmentedSize = static_cast<std::int64_t>(std::filesystem::file_size(fragmented));
  const std::string path = folder.path("rec.mp4");
  auto finish = [&](std::uint64_t wideFrom, std::int64_t budget, std::int64_t sizeLimit) {
    std::filesystem::copy_file(fragmented, path, std::filesystem::copy_options::overwrite_existing);
    std::optional<Error> e;
    auto file = ffmpeg::OutputFile::create(path, ffmpeg::OutputFile::Disposition::openExisting, e);
    pid_t child = ::fork();
    if (child == 0) {
      ::signal(SIGXFSZ, SIG_IGN);
      rlimit limit{static_cast<rlim_t>(sizeLimit), static_cast<rlim_t>(sizeLimit)};
      ::setrlimit(RLIMIT_FSIZE, &limit);
      ::_exit(ffmpeg::finishInPlace(*file, shifts, {}, {wideFrom, budget}) ? 1 : 0);
    }
    int status = -1;
    ::waitpid(child, &status, 0);
    return status;
  };
  ASSERT_EQ(finish(ffmpeg::mp4::kWideFrom, -1, RLIM_INFINITY), 0);
  const std::int64_t index =
      static_cast<std::int64_t>(std::filesystem::file_size(path)) - fragmentedSize;
  auto keys = [](const StreamInfo& s) {
    std::vector<bool> k;
    for (const PacketInfo& p : s.packets) {
      k.push_back(p.key);
    }
    return k;
  };
  const std::vector<std::string> fragments{"ftyp", "free", "moov"},
      finished{"ftyp", "mdat", "moov"};
  for (auto [wideFrom, budget, sizeLimit, front, last] :
       {std::tuple(ffmpeg::mp4::kWideFrom, 0L, RLIM_INFINITY, fragments, "mdat"),
        {ffmpeg::mp4::kWideFrom, index / 2, RLIM_INFINITY, fragments, "moov"},  // torn index
        {ffmpeg::mp4::kWideFrom, index, RLIM_INFINITY, fragments, "moov"},
        {ffmpeg::mp4::kWideFrom, index + 8, RLIM_INFINITY, finished, "moov"},
        {ffmpeg::mp4::kWideFrom, -1, fragmentedSize + index / 2, fragments, "mdat"},  // disk full
        {std::uint64_t{1}, -1, RLIM_INFINITY, finished, "moov"}}) {
    SCOPED_TRACE(::testing::Message() << wideFrom << " " << budget << " " << sizeLimit);
    EXPECT_EQ(finish(wideFrom, budget, static_cast<std::int64_t>(sizeLimit)) == 0,
              front == finished);
    auto boxes = topLevelBoxes(path);
    ASSERT_GE(boxes.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(boxes.begin(), boxes.begin() + 3), front);
    EXPECT_EQ(boxes.back(), last);
    EXPECT_TRUE(front != finished || boxes.size() == 3);
    auto after = probeStreams(path);
    ASSERT_EQ(after.size(), before.size());
    for (std::size_t i = 0; i < after.size(); ++i) {
      // The same samples, key frames where they were, and the same length.
      ASSERT_EQ(keys(after[i]), keys(before[i])) << i;
      EXPECT_NEAR(after[i].packets.back().seconds - after[i].packets.front().seconds,
                  before[i].packets.back().seconds - before[i].packets.front().seconds, 0.001);
    }
    // ffmpeg says that it skips the second moov of a finish cut short.
    std::istringstream errors(decodeErrors(path));
    for (std::string line; std::getline(errors, line);) {
      EXPECT_NE(line.find("duplicated MOOV Atom"), std::string::npos) << line;
    }
  }
}

}  // namespace
}  // namespace kestrano::testing
