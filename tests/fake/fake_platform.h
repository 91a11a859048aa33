#pragma once

#include <algorithm>
#include <atomic>
#include <map>

#include "platform/mutex.h"
#include "platform/platform.h"
#include "platform/serial_queue.h"

namespace kestrano::fake {

// The whole platform in one object: the capture service and its stream, the
// writer factory and its writer, the audio engine with its microphone node
// and converter, the clock, the file system over `files` (relative paths
// live under /cwd) and standard error. Every step is logged and can be told
// to fail; completions come at once, or are held until the test releases them.
class FakePlatform final : public ScreenCaptureService,
                           public Stream,
                           public MediaWriterFactory,
                           public AssetWriter,
                           public AudioFactory,
                           public AudioEngine,
                           public AudioInputNode,
                           public AudioConverter,
                           public HostClock,
                           public FileSystem,
                           public StandardError,
                           public std::enable_shared_from_this<FakePlatform> {
 public:
  // One writer input: keeps what it takes, and refuses appends after
  // markAsFinished or while the writer is not writing.
  struct Input final : AssetWriterInput {
    Input(FakePlatform& p, std::string label, OutputSettings s) : label(label), settings(s), p(p) {}
    const std::string label;  // "video", "audio#1", "audio#2", "chapters" in the order made
    const OutputSettings settings;
    FakePlatform& p;
    std::atomic<bool> finished{false};
    // Under the platform's mutex, with whether the session had started.
    std::vector<std::pair<std::shared_ptr<MediaSample>, bool>> appended;

    MediaType mediaType() const override { return MediaType(settings.index()); }
    void setExpectsMediaDataInRealTime(bool) override {}
    bool isReadyForMoreMediaData() const override {
      return !p.fails("ready " + label) && !finished && p.writerStatus == WriterStatus::writing;
    }
    bool appendSampleBuffer(std::shared_ptr<MediaSample> sample) override {
      const bool taken = !finished && p.writerStatus == WriterStatus::writing;
      MutexLock lock(p.mutex);
      taken ? void(appended.emplace_back(std::move(sample), !p.sessionStarts.empty())) : void();
      return taken;
    }
    void markAsFinished() override {
      finished = true;
      p.fails("input.finish " + label);
    }
  };

  // Set before the start, or read once it returned.
  std::vector<Display> displays{Display{1, 0, 0, 1920, 1080}};
  AudioFormat microphoneFormat = AudioFormat::standard(44100, 1);
  std::chrono::microseconds sessionStartDuration{0};  // widens races
  bool outputTaken = false;  // another recording took the path before the finish
  std::atomic<std::int64_t> clock{7'000'000'000};
  std::map<std::string, std::int64_t> files;  // path: size
  std::optional<ContentFilter> filter;
  StreamConfiguration configuration;
  std::weak_ptr<StreamDelegate> delegate;
  using Output = std::pair<std::weak_ptr<StreamOutput>, std::shared_ptr<SerialQueue>>;
  std::map<StreamOutputType, Output> outputs;
  std::atomic<bool> capturing{false}, engineRunning{false};
  std::string url;
  std::atomic<WriterStatus> writerStatus{WriterStatus::unknown};
  std::vector<std::shared_ptr<Input>> tracks;  // as added

  // Under `mutex` (locked()) while the recorder runs.
  mutable Mutex mutex;
  mutable std::vector<std::string> calls;
  std::vector<std::int64_t> sessionStarts;  // the times' values
  bool holding = false;                     // completions wait for releaseHeld()

  template <typename F>
  decltype(auto) locked(F&& f) const {
    MutexLock lock(mutex);
    return f();
  }
  // `step` fails its next `times` calls (-1: every call), with `error` where it reports one.
  void fail(const std::string& step, std::optional<Error> error = std::nullopt, int times = -1) {
    locked([&] { failures_[step] = {std::move(error), times}; });
  }
  // Logs the step; whether it fails this time.
  bool fails(const std::string& step, std::optional<Error>* error = nullptr) const {
    return locked([&] {
      calls.push_back(step);
      auto& [failure, times] = failures_[step];  // a step never told to fail: 0 times
      if (error != nullptr && times != 0) {
        *error = failure;
      }
      return times != 0 && (times -= times > 0, true);
    });
  }

  // Nothing of this object is touched once a completion has run: its waiter may end the test.
  void deliver(std::function<void()> completion) {
    if (locked([&] {
          return !holding || (held_.push_back(completion), heldChanged_.notify_all(), false);
        })) {
      completion();
    }
  }
  // Waits (bounded only against a hang) until completions are held, and runs
  // them unless told to leave them held.
  bool releaseHeld(bool run = true) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::vector<std::function<void()>> completions;
    {
      MutexLock lock(mutex);
      while (held_.empty() && lock.waitUntil(heldChanged_, deadline)) {
      }
      completions = run ? std::exchange(held_, {}) : held_;
    }
    for (std::size_t i = 0; run && i < completions.size(); ++i) {
      completions[i]();
    }
    return !completions.empty();
  }

  void getShareableContent(ContentCompletion completion) override {
    std::optional<Error> error;
    const bool failed = fails("capture.content", &error);
    deliver([completion, failed, error, content = ShareableContent{displays}] {
      completion(failed ? std::nullopt : std::optional(content), error);
    });
  }
  std::shared_ptr<Stream> makeStream(const ContentFilter& f, const StreamConfiguration& c,
                                     std::weak_ptr<StreamDelegate> d) override {
    filter = f, configuration = c, delegate = d;
    return fails("capture.makeStream") ? nullptr : shared_from_this();
  }
  std::optional<Error> addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                                       std::shared_ptr<SerialQueue> queue) override {
    std::optional<Error> error;
    outputs[type] = {output, queue};
    return fails("capture.addOutput " + std::to_string(int(type)), &error) ? error : std::nullopt;
  }
  void startCapture(ErrorCompletion completion) override {
    std::optional<Error> error;
    capturing = !fails("capture.start", &error);
    deliver([completion, error] { completion(error); });
  }
  // As the real service promises, samples queued before are delivered first.
  // A stop that fails leaves the stream running.
  void stopCapture(ErrorCompletion completion) override {
    std::optional<Error> error;
    capturing = capturing && fails("capture.stop", &error);
    outputs[StreamOutputType::screen].second->async([this, completion, error] {
      deliver([this, completion, error] {
        fails("capture.stopped");
        completion(error);
      });
    });
  }
  // Queues a sample to the output for its type (a type neither screen nor
  // audio goes to the screen output), and waits for it unless told not to.
  void deliverSample(std::shared_ptr<MediaSample> sample, StreamOutputType type, bool wait = true) {
    auto [output, queue] =
        outputs[type == StreamOutputType::audio ? type : StreamOutputType::screen];
    queue->async([this, output = output, sample, type] {
      if (auto o = output.lock()) {
        o->streamDidOutputSampleBuffer(*this, sample, type);
      }
    });
    wait ? queue->sync([] {}) : void();
  }

  // The writer's file appears (a header of 100 bytes) when writing starts, is
  // 4242 bytes once the finish has completed, and goes when it is cancelled.
  std::shared_ptr<AssetWriter> makeWriter(const std::string& u, FileType,
                                          std::optional<Error>& error) override {
    url = u;
    return fails("writer.make", &error) ? nullptr : shared_from_this();
  }
  std::shared_ptr<AssetWriterInput> makeInput(MediaType type, const OutputSettings& s) override {
    return std::make_shared<Input>(*this,
                                   type == MediaType::video  ? "video"
                                   : type == MediaType::text ? "chapters"
                                                             : "audio#" + std::to_string(++made_),
                                   s);
  }
  void addInput(std::shared_ptr<AssetWriterInput> input) override {
    tracks.push_back(std::static_pointer_cast<Input>(input));
  }
  bool startWriting() override {
    const bool started = !fails("writer.start", &writerError_);
    writerStatus = started ? WriterStatus::writing : WriterStatus::failed;
    started ? void(files[url] = 100) : void();
    return started;
  }
  // A writer told to fail at "writer.status" has failed as an encoder error would make it.
  WriterStatus status() const override {
    return fails("writer.status") ? WriterStatus::failed : writerStatus.load();
  }
  std::optional<Error> error() const override { return writerError_; }
  void startSessionAtSourceTime(MediaTime time) override {
    std::this_thread::sleep_for(sessionStartDuration);
    locked([&] { sessionStarts.push_back(time.value); });
  }
  void finishWriting(std::function<void()> completion) override {
    fails("writer.finish");
    deliver([this, completion] {
      if (writerStatus == WriterStatus::writing) {
        writerStatus = WriterStatus::completed;
        files[url] = 4242;
      }
      fails("writer.finished");
      completion();
    });
  }
  std::string outputURL() const override { return url; }
  bool outputIsAtURL() const override {
    return !outputTaken && writerStatus == WriterStatus::completed;
  }
  void cancelWriting() override {
    if (writerStatus.exchange(WriterStatus::cancelled) == WriterStatus::writing) {
      files.erase(url);
    }
  }

  std::shared_ptr<AudioEngine> makeEngine() override {
    return fails("engine.make") ? nullptr : shared_from_this();
  }
  // Not owning: the tap that keeps the converter is this object's own.
  std::shared_ptr<AudioConverter> makeConverter(const AudioFormat&, const AudioFormat&) override {
    return fails("converter.make") ? nullptr
                                   : std::shared_ptr<AudioConverter>(std::shared_ptr<void>(), this);
  }
  std::shared_ptr<AudioInputNode> inputNode() override { return shared_from_this(); }
  std::optional<Error> startAndReturnError() override {
    std::optional<Error> error;
    engineRunning = !fails("engine.start", &error);
    return error;
  }
  void stop() override { engineRunning = fails("engine.stop"); }
  AudioFormat outputFormatForBus(int) override { return microphoneFormat; }
  // The tap runs only on the tap thread, so a removal there waits for a running call.
  void installTapOnBus(int, std::uint32_t, const AudioFormat&, TapBlock block) override {
    tapThread_.sync([&] { tap_ = block; });
  }
  void removeTapOnBus(int) override {
    fails("tap.remove");
    tapThread_.sync([&] { tap_ = nullptr; });
  }
  // Queues one buffer for the tap thread (dropped when no tap is installed),
  // and waits for it unless told not to.
  void deliverBuffer(PcmBuffer buffer, bool wait = true) {
    tapThread_.async([this, buffer] { tap_ ? tap_(buffer, AudioTime{}) : void(); });
    wait ? tapThread_.sync([] {}) : void();
  }
  // Stretches the input to 48 kHz, repeating its first sample on every
  // channel. Like a real converter it asks for input again while the output
  // has room, so a buffer handed over twice shows as doubled frames.
  ConverterOutputStatus convert(PcmBuffer& output, std::optional<Error>& error,
                                const ConverterInputBlock& inputBlock) override {
    const std::uint32_t capacity = output.frameCapacity();
    std::uint32_t frames = 0;
    ConverterInputStatus status = ConverterInputStatus::haveData;
    for (const PcmBuffer* in; frames < capacity && (in = inputBlock(capacity - frames, status)) &&
                              status == ConverterInputStatus::haveData;) {
      auto n = std::min<std::uint32_t>(in->frameLength() * 48000 / in->format().sampleRate(),
                                       capacity - frames);
      for (std::size_t ch = 0; ch < output.bufferCount(); ++ch) {
        std::fill_n(output.data(ch) + frames, n, in->data(0)[0]);
      }
      frames += n;
    }
    const bool failed = fails("converter.convert", &error);
    output.setFrameLength(failed ? 0 : frames);
    return failed ? ConverterOutputStatus::error : ConverterOutputStatus::haveData;
  }

  MediaTime now() const override { return MediaTime::make(clock.load(), kNanosecondTimescale); }
  std::string fileUrlWithPath(const std::string& path) const override {
    return !path.empty() && path.front() == '/' ? path : "/cwd/" + path;
  }
  std::optional<Error> removeItemAtUrl(const std::string& u) override {
    std::optional<Error> error;
    if (!fails("fs.remove", &error)) {
      files.erase(u);
    }
    return error;
  }
  std::optional<FileAttributes> attributesOfItemAtPath(const std::string& path,
                                                       std::optional<Error>& error) override {
    return fails("fs.size", &error) || files.count(path) == 0
               ? std::nullopt
               : std::optional(FileAttributes{{kFileSizeKey, PropertyValue{files[path]}}});
  }
  void writeData(std::string_view bytes) override { fails("stderr " + std::string(bytes)); }

  Platform platform() {
    auto self = shared_from_this();
    return Platform{self, self, self, self, self, self};
  }

 private:
  mutable std::map<std::string, std::pair<std::optional<Error>, int>> failures_;  // under `mutex`
  std::vector<std::function<void()>> held_;                                       // under `mutex`
  std::condition_variable heldChanged_;
  std::optional<Error> writerError_;
  int made_ = 0;
  TapBlock tap_;                       // on the tap thread
  SerialQueue tapThread_{"fake.tap"};  // last: joined before the state above goes
};

}  // namespace kestrano::fake
