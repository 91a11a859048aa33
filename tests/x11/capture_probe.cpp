#include "tests/x11/capture_probe.h"

#include <gtest/gtest.h>

#include <cmath>
#include <future>

#include "platform/linux/monotonic_clock.h"
#include "platform/linux/x11/x11_capture_service.h"

namespace kestrano::testing {

void SampleLog::streamDidOutputSampleBuffer(Stream&, std::shared_ptr<MediaSample> sample,
                                            StreamOutputType type) {
  if (beforeEach) {
    beforeEach();
  }
  {
    std::lock_guard lock(mutex_);
    samples_.push_back(Delivered{std::move(sample), type, std::chrono::steady_clock::now()});
  }
  changed_.notify_all();
}

bool SampleLog::waitUntil(const std::function<bool(const std::vector<Delivered>&)>& ready,
                          std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return ready(samples_); });
}

std::vector<Delivered> SampleLog::snapshot() const {
  std::lock_guard lock(mutex_);
  return samples_;
}

std::size_t SampleLog::count() const {
  std::lock_guard lock(mutex_);
  return samples_.size();
}

void DelegateLog::streamDidStopWithError(Stream&, const Error& error) {
  {
    std::lock_guard lock(mutex_);
    errors_.push_back(error);
  }
  changed_.notify_all();
}

bool DelegateLog::waitForCall(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return !errors_.empty(); });
}

std::vector<Error> DelegateLog::errors() const {
  std::lock_guard lock(mutex_);
  return errors_;
}

std::optional<std::int64_t> frameStatus(const MediaSample& sample) {
  const auto& attachments = sample.sampleAttachments();
  if (!attachments || attachments->empty() || !attachments->front()) {
    return std::nullopt;
  }
  auto entry = attachments->front()->find(kFrameInfoStatusKey);
  if (entry == attachments->front()->end()) {
    return std::nullopt;
  }
  return readInt64(entry->second);
}

std::vector<Delivered> screenFrames(const std::vector<Delivered>& all, FrameStatus status) {
  std::vector<Delivered> frames;
  for (const auto& d : all) {
    if (d.type == StreamOutputType::screen &&
        frameStatus(*d.sample) == static_cast<std::int64_t>(status)) {
      frames.push_back(d);
    }
  }
  return frames;
}

std::optional<std::optional<Error>> callAndWait(
    const std::function<void(ErrorCompletion)>& operation, std::chrono::milliseconds timeout) {
  auto calls = std::make_shared<std::atomic<int>>(0);
  auto result = std::make_shared<std::promise<std::optional<Error>>>();
  auto future = result->get_future();
  operation([calls, result](std::optional<Error> error) {
    if (calls->fetch_add(1) == 0) {
      result->set_value(std::move(error));
    }
  });
  if (future.wait_for(timeout) != std::future_status::ready) {
    return std::nullopt;
  }
  return future.get();
}

StreamConfiguration recorderConfiguration(std::int64_t width, std::int64_t height,
                                          bool capturesAudio) {
  StreamConfiguration c;
  c.width = width;
  c.height = height;
  c.minimumFrameInterval = MediaTime::make(1, 15);
  c.queueDepth = 5;
  c.showsCursor = true;
  c.capturesAudio = capturesAudio;
  c.sampleRate = 48000;
  c.channelCount = 2;
  c.excludesCurrentProcessAudio = true;
  return c;
}

CaptureRig::CaptureRig(std::size_t index, const StreamConfiguration& configuration,
                       std::function<std::unique_ptr<SystemAudioSource>()> makeAudio)
    : clock(std::make_shared<MonotonicClock>()),
      queue(std::make_shared<SerialQueue>("samples")),
      log(std::make_shared<SampleLog>()),
      delegate(std::make_shared<DelegateLog>()) {
  auto service = makeX11CaptureService(clock, std::move(makeAudio));
  std::optional<ShareableContent> content;
  service->getShareableContent(
      [&](std::optional<ShareableContent> c, std::optional<Error>) { content = std::move(c); });
  if (content && index < content->displays.size()) {
    display = content->displays[index];
  } else {
    ADD_FAILURE() << "no display " << index;
  }
  stream = service->makeStream(ContentFilter(display, {}), configuration, delegate);
  EXPECT_FALSE(stream->addStreamOutput(log, StreamOutputType::screen, queue));
  EXPECT_FALSE(stream->addStreamOutput(log, StreamOutputType::audio, queue));
}

CaptureRig::~CaptureRig() {
  stream.reset();
  queue->sync([] {});  // deliveries still queued finish before the logs go
}

std::optional<Error> CaptureRig::start() {
  auto result = callAndWait([&](ErrorCompletion done) { stream->startCapture(std::move(done)); });
  EXPECT_TRUE(result) << "startCapture never completed";
  return result ? *result : std::nullopt;
}

std::optional<Error> CaptureRig::stop() {
  auto result = callAndWait([&](ErrorCompletion done) { stream->stopCapture(std::move(done)); });
  EXPECT_TRUE(result) << "stopCapture never completed";
  return result ? *result : std::nullopt;
}

Yuv yuvAt(const VideoFrame& frame, int x, int y) {
  const auto& yp = frame.plane(0);
  const auto& up = frame.plane(1);
  const auto& vp = frame.plane(2);
  return Yuv{yp.data[y * yp.stride + x], up.data[(y / 2) * up.stride + x / 2],
             vp.data[(y / 2) * vp.stride + x / 2]};
}

Yuv expectedYuv(int r, int g, int b) {
  return Yuv{static_cast<int>(std::lround(16 + 0.257 * r + 0.504 * g + 0.098 * b)),
             static_cast<int>(std::lround(128 - 0.148 * r - 0.291 * g + 0.439 * b)),
             static_cast<int>(std::lround(128 + 0.439 * r - 0.368 * g - 0.071 * b))};
}

}  // namespace kestrano::testing
