// Screen capture under a private Xvfb: the pixels, the pointer, idle frames,
// the queue, the X server failing to answer, the system audio glue; and the
// scaler's changed-band pass.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <mutex>
#include <thread>

#include "platform/linux/capture/frame_scaler.h"
#include "platform/linux/monotonic_clock.h"
#include "platform/linux/x11/x11_capture_service.h"
#include "platform/linux/x11/x_connection.h"
#include "platform/unique_fd.h"
#include "tests/support/private_desktop.h"

namespace kestrano::testing {
namespace {

using namespace std::chrono_literals;

// Only guards against hangs on a shared, noisy machine.
constexpr std::chrono::seconds kPatience{15};

struct Delivered {
  std::shared_ptr<MediaSample> sample;
  std::int64_t status = -1;  // a screen sample's frame status
  std::int64_t nanos = 0;    // its presentation time
};

// What a stream told: every sample and every stop with an error.
struct Log {
  std::vector<Delivered> samples;
  std::vector<Error> errors;
  std::vector<Delivered> frames(FrameStatus s) const {
    std::vector<Delivered> out;
    std::copy_if(samples.begin(), samples.end(), std::back_inserter(out),
                 [&](const Delivered& d) { return d.status == std::int64_t(s); });
    return out;
  }
};

class Collector final : public StreamOutput, public StreamDelegate {
 public:
  std::function<void()> beforeEach;  // runs first in the handler, e.g. to hold it up

  void streamDidOutputSampleBuffer(Stream&, std::shared_ptr<MediaSample> sample,
                                   StreamOutputType) override {
    if (beforeEach) {
      beforeEach();
    }
    Delivered d{sample, -1, sample->presentationTimeStamp().nanoseconds()};
    if (const auto& a = sample->sampleAttachments(); a && !a->empty() && a->front()) {
      if (auto entry = a->front()->find(kFrameInfoStatusKey); entry != a->front()->end()) {
        d.status = readInt64(entry->second).value_or(-1);
      }
    }
    std::lock_guard lock(mutex_);
    log_.samples.push_back(std::move(d));
  }
  void streamDidStopWithError(Stream&, const Error& error) override {
    std::lock_guard lock(mutex_);
    log_.errors.push_back(error);
  }
  Log log() {
    std::lock_guard lock(mutex_);
    return log_;
  }
  // False when `ready` does not come to hold in time.
  bool waitUntil(const std::function<bool(const Log&)>& ready) {
    const auto end = std::chrono::steady_clock::now() + kPatience;
    while (!ready(log())) {
      if (std::chrono::steady_clock::now() > end) {
        return false;
      }
      std::this_thread::sleep_for(10ms);
    }
    return true;
  }

 private:
  std::mutex mutex_;  // guards log_
  Log log_;
};

// The displays of the X server DISPLAY names, or the error.
std::vector<Display> listDisplays(std::optional<Error>& error) {
  std::vector<Display> displays;
  makeX11CaptureService(std::make_shared<MonotonicClock>(), nullptr)
      ->getShareableContent([&](std::optional<ShareableContent> c, std::optional<Error> e) {
        EXPECT_NE(c.has_value(), e.has_value());
        displays = c ? c->displays : displays;
        error = std::move(e);
      });
  return displays;
}

// Calls an operation with a completion and returns what the completion got.
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

// A stream of the display at `index` at 1280 columns, configured as the
// recorder does, with one collector as its outputs and delegate; audio when
// `makeAudio` is given.
struct CaptureRig {
  explicit CaptureRig(std::size_t index, std::int64_t height = 720,
                      std::function<std::unique_ptr<SystemAudioSource>()> makeAudio = nullptr) {
    std::optional<Error> error;
    auto displays = listDisplays(error);
    // When there is none, start tells why.
    Display display = index < displays.size() ? displays[index] : Display{0, 0, 0, 640, 480};
    StreamConfiguration c;
    c.width = 1280;
    c.height = height;
    c.minimumFrameInterval = MediaTime::make(1, 15);
    c.queueDepth = 5;
    c.capturesAudio = makeAudio != nullptr;
    c.excludesCurrentProcessAudio = true;
    stream = makeX11CaptureService(clock, std::move(makeAudio))
                 ->makeStream(ContentFilter(display, {}), c, collector);
    EXPECT_FALSE(stream->addStreamOutput(collector, StreamOutputType::screen, queue));
    EXPECT_FALSE(stream->addStreamOutput(collector, StreamOutputType::audio, queue));
  }
  ~CaptureRig() {
    stream.reset();
    queue->sync([] {});  // deliveries still queued finish while the collector exists
  }
  std::optional<Error> start() {
    return callAndWait([&](ErrorCompletion done) { stream->startCapture(std::move(done)); });
  }
  std::optional<Error> stop() {
    return callAndWait([&](ErrorCompletion done) { stream->stopCapture(std::move(done)); });
  }

  std::shared_ptr<MonotonicClock> clock = std::make_shared<MonotonicClock>();
  std::shared_ptr<SerialQueue> queue = std::make_shared<SerialQueue>("samples");
  std::shared_ptr<Collector> collector = std::make_shared<Collector>();
  std::shared_ptr<Stream> stream;
};

struct Rgb {
  std::uint8_t r = 0, g = 0, b = 0;
  std::uint32_t pixel() const { return (r << 16) | (g << 8) | b; }  // 24-bit TrueColor
};

// Draws on the X server DISPLAY names through a connection of its own:
// override-redirect windows of plain colours, and the pointer.
class XScene {
 public:
  // A new window on top covering the rectangle.
  xcb_window_t addWindow(int x, int y, int width, int height, Rgb colour) {
    xcb_window_t w = xcb_generate_id(c_.get());
    const std::uint32_t values[] = {colour.pixel(), 1};
    xcb_create_window(c_.get(), XCB_COPY_FROM_PARENT, w, screen_->root, std::int16_t(x),
                      std::int16_t(y), std::uint16_t(width), std::uint16_t(height), 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(c_.get(), w);
    sync();
    return w;
  }
  void repaint(xcb_window_t window, Rgb colour) {
    const std::uint32_t values[] = {colour.pixel()};
    xcb_change_window_attributes(c_.get(), window, XCB_CW_BACK_PIXEL, values);
    xcb_clear_area(c_.get(), 0, window, 0, 0, 0, 0);
    sync();
  }
  void warpPointer(int x, int y) {
    xcb_warp_pointer(c_.get(), XCB_NONE, screen_->root, 0, 0, 0, 0, std::int16_t(x),
                     std::int16_t(y));
    sync();
  }
  // Returns once the server has carried out everything asked so far.
  void sync() {
    std::free(xcb_get_input_focus_reply(c_.get(), xcb_get_input_focus(c_.get()), nullptr));
  }

 private:
  std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> c_{
      x11::connectToDefaultDisplay(nullptr), xcb_disconnect};
  xcb_screen_t* screen_ = xcb_setup_roots_iterator(xcb_get_setup(c_.get())).data;
};

const VideoFrame& pixels(const std::shared_ptr<MediaSample>& sample) {
  return std::get<VideoFrame>(sample->data());
}

int lumaAt(const VideoFrame& f, int x, int y) {
  return f.plane(0).data[y * f.plane(0).stride + x];
}

// Near what BT.601 limited range (libswscale's default) makes of the colour;
// sample points sit in the middle of flat areas, so only rounding differs.
::testing::AssertionResult looks(const VideoFrame& f, int x, int y, Rgb c) {
  const int got[3] = {lumaAt(f, x, y), f.plane(1).data[(y / 2) * f.plane(1).stride + x / 2],
                      f.plane(2).data[(y / 2) * f.plane(2).stride + x / 2]};
  const double want[3] = {16 + 0.257 * c.r + 0.504 * c.g + 0.098 * c.b,
                          128 - 0.148 * c.r - 0.291 * c.g + 0.439 * c.b,
                          128 + 0.439 * c.r - 0.368 * c.g - 0.071 * c.b};
  for (int i = 0; i < 3; ++i) {
    if (std::abs(got[i] - want[i]) > 6.5) {
      return ::testing::AssertionFailure()
             << "YUV " << got[0] << "," << got[1] << "," << got[2] << " at " << x << "," << y;
    }
  }
  return ::testing::AssertionSuccess();
}

// The first complete frame stamped later than `after` (ns).
std::shared_ptr<MediaSample> completeFrame(CaptureRig& rig, std::int64_t after = 0) {
  std::shared_ptr<MediaSample> found;
  EXPECT_TRUE(rig.collector->waitUntil([&](const Log& log) {
    for (const auto& d : log.frames(FrameStatus::complete)) {
      if (d.nanos > after) {
        found = d.sample;
        return true;
      }
    }
    return false;
  }));
  return found;
}

// Listed in the server's order; each shows its own quadrants (top-left,
// top-right, bottom-left, bottom-right) scaled to the asked size, the first
// to an odd height down to its last row. The pointer goes through the second
// one's offset and scale too. The first stays still, so after its first
// frame only idle frames come, about one a second.
TEST(FrameContent, EachMonitorsOwnPixelsScaledAndThePointerWithoutATrail) {
  auto screen = PrivateDesktop::forThisProcess(
      {.size = "1920x1080", .monitors = "1366x768+0+0,1920x1080+1366+0", .pulse = false});
  const Rgb colours[2][4] = {{{255, 255, 0}, {0, 255, 255}, {255, 0, 255}, {0, 128, 128}},
                             {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}}};
  const int rects[2][4] = {{0, 0, 1366, 768}, {1366, 0, 1920, 1080}};
  const int heights[2] = {719, 720};
  XScene scene;
  for (int m = 0; m < 2; ++m) {
    auto [x, y, w, h] = rects[m];
    for (int q = 0; q < 4; ++q) {
      scene.addWindow(x + (q % 2) * w / 2, y + (q / 2) * h / 2, w / 2, h / 2, colours[m][q]);
    }
  }
  scene.warpPointer(5, 5);  // out of the way of the sample points
  for (int m = 0; m < 2; ++m) {
    SCOPED_TRACE(m);
    CaptureRig rig(m, heights[m]);
    ASSERT_FALSE(rig.start());
    auto sample = completeFrame(rig);
    ASSERT_TRUE(sample);
    const VideoFrame& f = pixels(sample);
    ASSERT_EQ(f.width(), 1280);
    ASSERT_EQ(f.height(), heights[m]);
    EXPECT_EQ(f.plane(1).rows, 360);
    for (int q = 0; q < 4; ++q) {
      EXPECT_TRUE(looks(f, 320 + (q % 2) * 640, 180 + (q / 2) * 360, colours[m][q]));
    }
    EXPECT_TRUE(looks(f, 1279, heights[m] - 1, colours[m][3]));
    if (m == 0) {
      ASSERT_TRUE(rig.collector->waitUntil(
          [](const Log& log) { return log.frames(FrameStatus::idle).size() >= 2; }));
      auto log = rig.collector->log();
      auto complete = log.frames(FrameStatus::complete), idle = log.frames(FrameStatus::idle);
      EXPECT_EQ(log.samples.front().status, 0) << "the first frame is complete";
      EXPECT_LE(complete.size(), 2u);  // Xvfb may redraw its software pointer once at first
      EXPECT_TRUE(std::holds_alternative<std::monostate>(idle[0].sample->data())) << "a picture";
      EXPECT_GT(idle[0].nanos - complete.back().nanos, 500'000'000);
      EXPECT_GT(idle[1].nanos - idle[0].nanos, 500'000'000);
    } else {
      // In the red quadrant: source (x, y) lands at (x, y) * 2/3 of the frame;
      // Xvfb's default pointer image lies within a few pixels of its hot spot.
      auto markedAround = [&](const VideoFrame& f, int cx, int cy) {
        int differing = 0;
        for (int y = cy - 10; y < cy + 12; ++y) {
          for (int x = cx - 10; x < cx + 12; ++x) {
            differing += std::abs(lumaAt(f, x, y) - lumaAt(f, 400, 300)) > 40 ? 1 : 0;
          }
        }
        return differing;
      };
      std::int64_t changed = rig.clock->now().nanoseconds();
      scene.warpPointer(1366 + 480, 330);
      auto shown = completeFrame(rig, changed);
      ASSERT_TRUE(shown);
      EXPECT_GT(markedAround(pixels(shown), 320, 220), 10);
      changed = rig.clock->now().nanoseconds();
      scene.warpPointer(1366 + 300, 150);
      auto moved = completeFrame(rig, changed);
      ASSERT_TRUE(moved);
      // Gone from where it was, though nothing was drawn there; drawn where it went.
      EXPECT_EQ(markedAround(pixels(moved), 320, 220), 0);
      EXPECT_GT(markedAround(pixels(moved), 200, 100), 10);
    }
    EXPECT_FALSE(rig.stop());
  }
}

// A screen repainted faster than capture, a handler held up, then free, then
// slow enough that a stop finds samples still queued.
TEST(Streams, AStalledHandlerHoldsTheQueueDepthAndStopDeliversWhatIsQueued) {
  auto screen = PrivateDesktop::forThisProcess({.size = "1280x720", .pulse = false});
  std::jthread painter([](std::stop_token stop) {
    XScene scene;
    xcb_window_t win = scene.addWindow(0, 0, 640, 480, {});
    for (std::uint8_t i = 0; !stop.stop_requested(); i += 37) {
      scene.repaint(win, Rgb{i, 30, 30});
      std::this_thread::sleep_for(20ms);
    }
  });
  CaptureRig rig(0);
  enum Phase { held, free, slow };
  std::atomic<Phase> phase = held;
  rig.collector->beforeEach = [&] {
    for (int i = 0; phase == held && i < 3000; ++i) {  // bounded: a failing test ends
      std::this_thread::sleep_for(5ms);
    }
    std::this_thread::sleep_for(phase == slow ? 100ms : 0ms);
  };
  ASSERT_FALSE(rig.start());
  std::this_thread::sleep_for(2s);  // time for 30 frames at the full rate
  const std::int64_t released = rig.clock->now().nanoseconds();
  phase = free;
  std::this_thread::sleep_for(2s);
  const std::int64_t slowed = rig.clock->now().nanoseconds();
  phase = slow;
  std::this_thread::sleep_for(500ms);
  std::size_t atCompletion = 0;
  EXPECT_FALSE(callAndWait([&](ErrorCompletion done) {
    rig.stream->stopCapture([&, done = std::move(done)](std::optional<Error> e) {
      atCompletion = rig.collector->log().samples.size();
      done(std::move(e));
    });
  }));
  std::this_thread::sleep_for(500ms);

  auto log = rig.collector->log();
  EXPECT_EQ(log.samples.size(), atCompletion) << "delivered after the stop completed";
  std::size_t whileHeld = 0, whileFree = 0;
  for (const auto& d : log.samples) {
    whileHeld += d.nanos < released ? 1 : 0;
    whileFree += d.nanos >= released && d.nanos < slowed ? 1 : 0;
  }
  EXPECT_GE(whileHeld, 1u);
  EXPECT_LE(whileHeld, 5u);
  EXPECT_GE(whileFree, 10u) << "skipped frames, not a stopped stream";
}

// Answers the connection setup as the real X server does and then never
// another request, on the abstract socket (where X clients look first) of
// the first display from :750 on that no other process has: abstract
// sockets are shared with every suite in the same network namespace (the
// Debian 13 one in its chroot too).
class SilentXServer {
 public:
  SilentXServer() {
    xcb_connection_t* real = x11::connectToDefaultDisplay(nullptr);
    const xcb_setup_t* setup = xcb_get_setup(real);  // the whole reply, as read
    reply_.assign(reinterpret_cast<const char*>(setup), 8 + 4 * std::size_t{setup->length});
    xcb_disconnect(real);
    listener_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int bound = -1;
    for (int n = 750; n < 800 && bound != 0; ++n) {
      sockaddr_un at{.sun_family = AF_UNIX, .sun_path = {}};
      const std::string name = "/tmp/.X11-unix/X" + std::to_string(n);
      std::memcpy(at.sun_path + 1, name.data(), name.size());  // sun_path[0] = 0: abstract
      bound = ::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&at),
                     static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size()));
      display_ = ":" + std::to_string(n);
    }
    EXPECT_EQ(bound, 0) << "no display from :750 to :799 free";
    EXPECT_EQ(::listen(listener_.get(), 16), 0);
    // The reply may go before the client's request is read: it is a stream.
    thread_ = std::thread([this] {
      for (UniqueFd c; c.reset(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC)),
                       c.get() >= 0 && ::write(c.get(), reply_.data(), reply_.size()) > 0;) {
        clients_.push_back(std::move(c));  // held open, never read
      }
    });
  }
  ~SilentXServer() {
    ::shutdown(listener_.get(), SHUT_RDWR);  // accept fails
    thread_.join();
  }
  const std::string& display() const { return display_; }

 private:
  std::string display_;
  std::string reply_;
  UniqueFd listener_;
  std::vector<UniqueFd> clients_;
  std::thread thread_;
};

// A system audio source that never delivers: the test has it refuse to
// start, or fails it as the source's thread would.
struct FakeAudio {
  std::mutex mutex;  // guards everything here
  std::optional<Error> startError;
  int stops = 0;
  SystemAudioSource::FailureHandler onFailure;  // set while the source runs

  struct Source final : SystemAudioSource {
    explicit Source(std::shared_ptr<FakeAudio> a) : a(std::move(a)) {}
    std::optional<Error> start(double, std::uint32_t, BufferHandler,
                               FailureHandler onFailure) override {
      std::lock_guard lock(a->mutex);
      a->onFailure = a->startError ? nullptr : std::move(onFailure);
      return a->startError;
    }
    void stop() override {
      std::lock_guard lock(a->mutex);
      a->stops += a->onFailure ? 1 : 0;
      a->onFailure = nullptr;
    }
    std::shared_ptr<FakeAudio> a;
  };
  static std::function<std::unique_ptr<SystemAudioSource>()> maker(std::shared_ptr<FakeAudio> a) {
    return [a] { return std::make_unique<Source>(a); };
  }
};

// Listing and starting fail with an error naming the display, whether the
// server is not there, stopped (SIGSTOP: connections queue up, nothing is
// answered) or silent only after the setup, each wait bounded; a start also
// fails, saying why, when the system audio source refuses.
TEST(Streams, ListingAndStartingFailInBoundedTimeSayingWhy) {
  auto screen = PrivateDesktop::forThisProcess({.size = "1280x720", .pulse = false});
  ::signal(SIGPIPE, SIG_IGN);  // as the recorder: writes on a cut connection fail
  enum Fault { absent, frozen, silent, soundRefused };
  const struct {
    Fault fault;
    bool listing;
  } cases[] = {{absent, true}, {absent, false}, {frozen, false},
               {silent, true}, {silent, false}, {soundRefused, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "fault " << c.fault << (c.listing ? " listing" : ""));
    auto audio = std::make_shared<FakeAudio>();
    audio->startError = Error{"FakeAudio", 3, "no sound server at unix:/nowhere"};
    CaptureRig rig(0, 720, c.fault == soundRefused ? FakeAudio::maker(audio) : nullptr);
    std::optional<SilentXServer> silentX;
    std::string display = c.fault == absent ? ":250" : screen->display();  // ":250" is unused
    pid_t x = 0;
    if (c.fault == frozen) {
      std::ifstream(screen->directory() + "/x.pid") >> x;
      ASSERT_GT(x, 0);
      ::kill(x, SIGSTOP);
    } else if (c.fault == silent) {
      silentX.emplace();
      display = silentX->display();
    }
    ::setenv("DISPLAY", display.c_str(), 1);
    std::optional<Error> error;
    if (c.listing) {
      EXPECT_TRUE(listDisplays(error).empty());
    } else {
      error = rig.start();
    }
    ::setenv("DISPLAY", screen->display().c_str(), 1);
    if (x > 0) {
      ::kill(x, SIGCONT);
    }
    ASSERT_TRUE(error);
    const std::string why = c.fault == soundRefused ? "unix:/nowhere"
                            : c.fault == absent     ? " cannot be reached"
                                                    : " did not answer within 5 s";
    EXPECT_NE(
        error->description.find(c.fault == soundRefused ? why : "the X server " + display + why),
        std::string::npos)
        << error->description;
  }
}

// A silent system audio source holds the start only a moment, with no video
// before it; once it fails, the capture ends with its error, once, and the
// source is stopped once.
TEST(Streams, SystemAudioLeadsTheStartAndItsFailureEndsTheCapture) {
  auto screen = PrivateDesktop::forThisProcess({.size = "1280x720", .pulse = false});
  auto audio = std::make_shared<FakeAudio>();
  CaptureRig rig(0, 720, FakeAudio::maker(audio));
  auto started = std::async(std::launch::async, [&] { return rig.start(); });
  std::this_thread::sleep_for(300ms);  // well inside the bound on a silent source
  EXPECT_TRUE(rig.collector->log().samples.empty()) << "video before the audio";
  ASSERT_FALSE(started.get());
  ASSERT_TRUE(rig.collector->waitUntil(
      [](const Log& log) { return !log.frames(FrameStatus::complete).empty(); }));
  for (const char* why : {"the sound server went away", "and again"}) {
    std::lock_guard lock(audio->mutex);
    if (audio->onFailure) {
      audio->onFailure(Error{"FakeAudio", 9, why});
    }
  }
  ASSERT_TRUE(rig.collector->waitUntil([](const Log& log) { return !log.errors.empty(); }));
  std::size_t atFailure = rig.collector->log().samples.size();
  std::this_thread::sleep_for(1500ms);  // past the next idle frame, had video gone on
  EXPECT_FALSE(rig.stop());
  auto log = rig.collector->log();
  EXPECT_EQ(audio->stops, 1);
  EXPECT_EQ(log.samples.size(), atFailure);
  ASSERT_EQ(log.errors.size(), 1u);
  EXPECT_NE(log.errors[0].description.find("the sound server went away"), std::string::npos);
}

// Whether two frames agree in every plane's visible bytes.
bool same(const VideoFrame& a, const VideoFrame& b) {
  for (int i = 0; i < 3; ++i) {
    for (int row = 0; row < a.plane(i).rows; ++row) {
      const std::uint8_t* p = a.plane(i).data + row * a.plane(i).stride;
      if (!std::equal(p, p + (i ? (a.width() + 1) / 2 : a.width()),
                      b.plane(i).data + row * b.plane(i).stride)) {
        return false;
      }
    }
  }
  return true;
}

// A scaler kept across pictures re-scales only the rows it is told changed;
// each frame must be what a fresh scaler's whole pass gives.
TEST(FrameScaler, ChangedBandsGiveWhatAWholePassGives) {
  const struct {
    int w, h, outW, outH;
  } sizes[] = {{1920, 1080, 1280, 720}, {1366, 768, 1280, 719}};
  for (const auto& s : sizes) {
    SCOPED_TRACE(s.h);
    // Text-like detail everywhere, so any misplaced row shows.
    std::vector<std::uint8_t> picture(static_cast<std::size_t>(s.w) * s.h * 4);
    std::uint32_t state = 12345;
    for (auto& p : picture) {
      p = static_cast<std::uint8_t>((state = state * 1103515245 + 12345) >> 24);
    }
    std::optional<Error> error;
    auto scaler = FrameScaler::create(s.w, s.h, s.outW, s.outH, error);
    ASSERT_TRUE(scaler);
    // Rows painted {first, count}: the middle, either edge, odd rows that
    // straddle units, two at once; reported with spans past the edges,
    // reversed, empty or overlapping, which must change nothing.
    const std::vector<std::vector<RowSpan>> changes = {
        {{500, 510}},  // the first picture is scaled whole whatever the rows say
        {{400, 440}, {-50, -1}, {5000, 6000}, {300, 200}, {100, 100}},
        {{0, 7}},
        {{s.h - 7, s.h}},
        {{401, 402}},
        {{-1000, 4}, {s.h - 4, 1'000'000}},
        {{s.h - 50, s.h - 20}, {20, 70}, {30, 40}},
        {},
    };
    std::uint8_t value = 1;
    int partial = 0;
    for (const auto& rows : changes) {
      for (const auto& span : rows) {
        for (int y = std::max(span.first, 0); y < std::min(span.end, s.h); ++y) {
          for (int x = 0; x < s.w * 4; x += 3) {
            picture[static_cast<std::size_t>(y) * s.w * 4 + x] =
                static_cast<std::uint8_t>(value + x);
          }
        }
        value += 40;
      }
      std::optional<VideoFrame> banded = scaler->scale(picture.data(), s.w * 4, rows);
      partial += scaler->lastScaledRows() < s.h ? 1 : 0;
      auto fresh = FrameScaler::create(s.w, s.h, s.outW, s.outH, error);
      EXPECT_TRUE(same(*banded, *fresh->scale(picture.data(), s.w * 4)));
    }
    // Only a small ratio (here 3:2) has bands to scale alone.
    EXPECT_GE(partial, s.outH == 720 ? 5 : 0) << "the changed-band pass was never taken";
  }
}

}  // namespace
}  // namespace kestrano::testing
