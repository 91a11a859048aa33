#include "tests/x11/capture_probe.h"

#include <gtest/gtest.h>

#include <cmath>
#include <future>

#include "platform/linux/monotonic_clock.h"
#include "platform/linux/x11/x11_capture_service.h"

namespace kestrano::testing {

std::vector<Delivered> Collector::Log::frames(FrameStatus status) const {
  std::vector<Delivered> out;
  for (const auto& d : samples) {
    if (d.type == StreamOutputType::screen && d.status == static_cast<std::int64_t>(status)) {
      out.push_back(d);
    }
  }
  return out;
}

std::vector<Delivered> Collector::Log::audio() const {
  std::vector<Delivered> out;
  for (const auto& d : samples) {
    if (d.type == StreamOutputType::audio) {
      out.push_back(d);
    }
  }
  return out;
}

void Collector::streamDidOutputSampleBuffer(Stream&, std::shared_ptr<MediaSample> sample,
                                            StreamOutputType type) {
  if (beforeEach) {
    beforeEach();
  }
  Delivered d{sample, type, -1, sample->presentationTimeStamp().nanoseconds()};
  const auto& attachments = sample->sampleAttachments();
  if (attachments && !attachments->empty() && attachments->front()) {
    auto entry = attachments->front()->find(kFrameInfoStatusKey);
    if (entry != attachments->front()->end()) {
      d.status = readInt64(entry->second).value_or(-1);
    }
  }
  {
    MutexLock lock(mutex_);
    log_.samples.push_back(std::move(d));
  }
  changed_.notify_all();
}

void Collector::streamDidStopWithError(Stream&, const Error& error) {
  {
    MutexLock lock(mutex_);
    log_.errors.push_back(error);
  }
  changed_.notify_all();
}

bool Collector::waitUntil(const std::function<bool(const Log&)>& ready) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  MutexLock lock(mutex_);
  while (!ready(log_)) {
    if (!lock.waitUntil(changed_, deadline)) {
      return ready(log_);
    }
  }
  return true;
}

bool Collector::waitForSamples(std::size_t count) {
  return waitUntil([count](const Log& log) { return log.samples.size() >= count; });
}

bool Collector::waitForError() {
  return waitUntil([](const Log& log) { return !log.errors.empty(); });
}

Collector::Log Collector::log() const {
  MutexLock lock(mutex_);
  return log_;
}

namespace {
PrivateDesktop::Options screenOnly(const std::string& size, const std::string& monitors) {
  PrivateDesktop::Options o;
  o.size = size;
  o.monitors = monitors;
  o.pulse = false;
  return o;
}
}  // namespace

PrivateScreen::PrivateScreen(const std::string& size, const std::string& monitors)
    : desktop(screenOnly(size, monitors)) {
  desktop.exportEnvironment();
}

std::optional<Error> callAndWait(const std::function<void(ErrorCompletion)>& operation) {
  auto result = std::make_shared<std::promise<std::optional<Error>>>();
  auto future = result->get_future();
  operation([result](std::optional<Error> error) { result->set_value(std::move(error)); });
  if (future.wait_for(kPatience) != std::future_status::ready) {
    ADD_FAILURE() << "the completion never came";
    return Error{"test", 0, "no completion"};
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
  c.capturesAudio = capturesAudio;
  c.excludesCurrentProcessAudio = true;
  return c;
}

CaptureRig::CaptureRig(std::size_t index, const StreamConfiguration& configuration,
                       std::function<std::unique_ptr<SystemAudioSource>()> makeAudio)
    : clock(std::make_shared<MonotonicClock>()),
      queue(std::make_shared<SerialQueue>("samples")),
      collector(std::make_shared<Collector>()) {
  auto service = makeX11CaptureService(clock, std::move(makeAudio));
  Display display{0, 0, 0, 640, 480};  // when there is none, start tells why
  service->getShareableContent([&](std::optional<ShareableContent> c, std::optional<Error>) {
    if (c && index < c->displays.size()) {
      display = c->displays[index];
    }
  });
  stream = service->makeStream(ContentFilter(display, {}), configuration, collector);
  EXPECT_FALSE(stream->addStreamOutput(collector, StreamOutputType::screen, queue));
  EXPECT_FALSE(stream->addStreamOutput(collector, StreamOutputType::audio, queue));
}

CaptureRig::~CaptureRig() {
  stream.reset();
  queue->sync([] {});  // deliveries still queued finish while the collector exists
}

std::optional<Error> CaptureRig::start() {
  return callAndWait([&](ErrorCompletion done) { stream->startCapture(std::move(done)); });
}

std::optional<Error> CaptureRig::stop() {
  return callAndWait([&](ErrorCompletion done) { stream->stopCapture(std::move(done)); });
}

Yuv yuvAt(const VideoFrame& frame, int x, int y) {
  const auto& p = [&](int i) -> const VideoFrame::Plane& { return frame.plane(i); };
  return Yuv{p(0).data[y * p(0).stride + x], p(1).data[(y / 2) * p(1).stride + x / 2],
             p(2).data[(y / 2) * p(2).stride + x / 2]};
}

Yuv expectedYuv(int r, int g, int b) {
  return Yuv{static_cast<int>(std::lround(16 + 0.257 * r + 0.504 * g + 0.098 * b)),
             static_cast<int>(std::lround(128 - 0.148 * r - 0.291 * g + 0.439 * b)),
             static_cast<int>(std::lround(128 + 0.439 * r - 0.368 * g - 0.071 * b))};
}

}  // namespace kestrano::testing
