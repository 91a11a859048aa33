#include "tests/x11/capture_probe.h"

#include <gtest/gtest.h>

#include <future>
#include <stdexcept>

#include "platform/linux/monotonic_clock.h"
#include "platform/linux/x11/x11_capture_service.h"
#include "platform/linux/x11/x_connection.h"

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

Collector::Log Collector::log() const {
  MutexLock lock(mutex_);
  return log_;
}

std::unique_ptr<PrivateDesktop> privateScreen(const std::string& size,
                                              const std::string& monitors) {
  PrivateDesktop::Options o;
  o.size = size;
  o.monitors = monitors;
  o.pulse = false;
  auto desktop = std::make_unique<PrivateDesktop>(o);
  desktop->exportEnvironment();
  return desktop;
}

std::vector<Display> listDisplays(std::optional<Error>& error) {
  int calls = 0;
  std::vector<Display> displays;
  makeX11CaptureService(std::make_shared<MonotonicClock>(), nullptr)
      ->getShareableContent([&](std::optional<ShareableContent> c, std::optional<Error> e) {
        ++calls;
        EXPECT_NE(c.has_value(), e.has_value());
        displays = c ? c->displays : displays;
        error = std::move(e);
      });
  EXPECT_EQ(calls, 1);
  return displays;
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

CaptureRig::CaptureRig(std::size_t index, std::int64_t width, std::int64_t height,
                       std::function<std::unique_ptr<SystemAudioSource>()> makeAudio)
    : clock(std::make_shared<MonotonicClock>()),
      queue(std::make_shared<SerialQueue>("samples")),
      collector(std::make_shared<Collector>()) {
  StreamConfiguration c;
  c.width = width;
  c.height = height;
  c.minimumFrameInterval = MediaTime::make(1, 15);
  c.queueDepth = 5;
  c.capturesAudio = makeAudio != nullptr;
  c.excludesCurrentProcessAudio = true;
  std::optional<Error> error;
  auto displays = listDisplays(error);
  // When there is none, start tells why.
  Display display = index < displays.size() ? displays[index] : Display{0, 0, 0, 640, 480};
  auto service = makeX11CaptureService(clock, std::move(makeAudio));
  stream = service->makeStream(ContentFilter(display, {}), c, collector);
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

XScene::XScene() : c_(x11::connectToDefaultDisplay(nullptr)) {
  if (xcb_connection_has_error(c_) != 0) {
    xcb_disconnect(c_);
    throw std::runtime_error("XScene: no X server");
  }
  screen_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
  gc_ = xcb_generate_id(c_);
  xcb_create_gc(c_, gc_, screen_->root, 0, nullptr);
}

XScene::~XScene() {
  xcb_disconnect(c_);
}

namespace {
std::uint32_t pixel(Rgb c) {
  return (std::uint32_t{c.r} << 16) | (std::uint32_t{c.g} << 8) | c.b;  // 24-bit TrueColor
}
}  // namespace

xcb_window_t XScene::addWindow(int x, int y, int width, int height, Rgb colour) {
  xcb_window_t w = xcb_generate_id(c_);
  const std::uint32_t values[] = {pixel(colour), 1};
  xcb_create_window(c_, XCB_COPY_FROM_PARENT, w, screen_->root, static_cast<std::int16_t>(x),
                    static_cast<std::int16_t>(y), static_cast<std::uint16_t>(width),
                    static_cast<std::uint16_t>(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                    screen_->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
  xcb_map_window(c_, w);
  sync();
  return w;
}

void XScene::fill(xcb_window_t window, int x, int y, int width, int height, Rgb colour) {
  const std::uint32_t foreground[] = {pixel(colour)};
  xcb_change_gc(c_, gc_, XCB_GC_FOREGROUND, foreground);
  xcb_rectangle_t r{static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                    static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height)};
  xcb_poly_fill_rectangle(c_, window, gc_, 1, &r);
}

void XScene::warpPointer(int rootX, int rootY) {
  xcb_warp_pointer(c_, XCB_NONE, screen_->root, 0, 0, 0, 0, static_cast<std::int16_t>(rootX),
                   static_cast<std::int16_t>(rootY));
}

void XScene::sync() {
  std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
}

}  // namespace kestrano::testing
