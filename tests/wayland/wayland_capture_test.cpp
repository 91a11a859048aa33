// The Wayland capture service and its stream on a private Wayland desktop,
// as the recorder uses them: the listed monitor, frames at the asked size
// from moving content, idle frames from a still one, and one stop error when
// a service dies. The capture runs in a child process as the desktop's user
// and reports one line per outcome.
#include "platform/linux/wayland/wayland_capture_service.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <set>
#include <string>
#include <thread>

#include "platform/linux/monotonic_clock.h"
#include "platform/mutex.h"
#include "platform/property_value.h"
#include "tests/wayland/user_process.h"
#include "tests/wayland/wayland_desktop.h"

namespace kestrano::wayland {
namespace {

using namespace std::chrono_literals;

// What a stream delivered and told; the output queue writes, the test reads.
class Collector final : public StreamOutput, public StreamDelegate {
 public:
  struct Log {
    int complete = 0;
    int idle = 0;
    int wrongSize = 0;
    int outOfOrder = 0;                // times not after the previous sample's
    std::set<std::uint64_t> pictures;  // a hash of each distinct luma plane
    std::int64_t firstAt = 0;
    std::int64_t lastAt = 0;
    int stops = 0;
  };

  Collector(int width, int height) : width_(width), height_(height) {}

  void streamDidOutputSampleBuffer(Stream&, std::shared_ptr<MediaSample> sample,
                                   StreamOutputType type) override {
    if (type != StreamOutputType::screen) {
      return;
    }
    std::int64_t status = -1;
    if (const auto& a = sample->sampleAttachments(); a && !a->empty() && a->front()) {
      if (auto entry = a->front()->find(kFrameInfoStatusKey); entry != a->front()->end()) {
        status = readInt64(entry->second).value_or(-1);
      }
    }
    const VideoFrame* frame = std::get_if<VideoFrame>(&sample->data());
    std::uint64_t hash = 1469598103934665603ULL;
    if (frame != nullptr) {
      const VideoFrame::Plane& y = frame->plane(0);
      for (int row = 0; row < frame->height(); ++row) {
        for (int x = 0; x < frame->width(); ++x) {
          hash = (hash ^ y.data[row * y.stride + x]) * 1099511628211ULL;
        }
      }
    }
    const std::int64_t at = sample->presentationTimeStamp().nanoseconds();
    MutexLock lock(mutex_);
    if (status == static_cast<std::int64_t>(FrameStatus::complete) && frame != nullptr) {
      log_.complete += 1;
      log_.wrongSize += frame->width() != width_ || frame->height() != height_;
      log_.pictures.insert(hash);
    } else if (status == static_cast<std::int64_t>(FrameStatus::idle)) {
      log_.idle += 1;
    }
    log_.outOfOrder += log_.lastAt != 0 && at <= log_.lastAt;
    log_.firstAt = log_.firstAt == 0 ? at : log_.firstAt;
    log_.lastAt = at;
  }
  void streamDidStopWithError(Stream&, const Error&) override {
    MutexLock lock(mutex_);
    log_.stops += 1;
  }
  Log log() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    return log_;
  }

 private:
  const int width_;
  const int height_;
  Mutex mutex_;
  Log log_ GUARDED_BY(mutex_);
};

// Waits at most 30 s for a completion's error (or its absence).
template <typename Call>
std::string completed(Call call) {
  auto done = std::make_shared<std::promise<std::optional<Error>>>();
  auto result = done->get_future();
  call([done](std::optional<Error> e) { done->set_value(std::move(e)); });
  if (result.wait_for(30s) != std::future_status::ready) {
    return "no completion";
  }
  const std::optional<Error> error = result.get();
  return error ? "error: " + error->description : "ok";
}

TEST(WaylandCapture, RecordsThePortalsMonitor) {
  struct Row {
    const char* name;
    bool client = true;     // an animated window on the screen
    const char* kill = "";  // a service to kill once frames flow
    std::string expected;   // what the capture saw, after "listed 640x360"
  };
  const Row rows[] = {
      {.name = "moving content",
       .expected = "complete frames at 320x180, changing, within 15 fps, in order"},
      {.name = "a still screen", .client = false, .expected = "idle frames, in order"},
      {.name = "the compositor dies", .kill = "mutter", .expected = "stopped once, stop ok"},
      {.name = "PipeWire dies", .kill = "pipewire", .expected = "stopped once, stop ok"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    WaylandDesktop desktop("pick", row.client ? " --client" : "");
    ASSERT_NE(desktop.dir(), "");
    UserProcess child(desktop, [&row, &desktop](FILE* out) {
      auto service = makeWaylandCaptureService(std::make_shared<MonotonicClock>(), nullptr);
      std::promise<std::optional<ShareableContent>> listed;
      auto content = listed.get_future();
      service->getShareableContent(
          [&listed](std::optional<ShareableContent> c, std::optional<Error>) {
            listed.set_value(std::move(c));
          });
      if (content.wait_for(30s) != std::future_status::ready) {
        std::fputs("not listed\n", out);
        return;
      }
      const std::optional<ShareableContent> c = content.get();
      if (!c || c->displays.size() != 1) {
        std::fputs("not one display\n", out);
        return;
      }
      const Display& d = c->displays.front();
      std::fprintf(out, "listed %lldx%lld\n", static_cast<long long>(d.width),
                   static_cast<long long>(d.height));
      std::fflush(out);

      StreamConfiguration configuration;
      configuration.width = 320;
      configuration.height = 180;
      configuration.minimumFrameInterval = MediaTime::make(1, 15);
      auto collector = std::make_shared<Collector>(320, 180);
      auto queue = std::make_shared<SerialQueue>("test-output");
      auto stream = service->makeStream(ContentFilter(d, {}), configuration, collector);
      stream->addStreamOutput(collector, StreamOutputType::screen, queue);
      const std::string started = completed([&](auto done) { stream->startCapture(done); });
      if (started != "ok") {
        std::fprintf(out, "start %s\n", started.c_str());
        return;
      }
      for (int i = 0; i < 300 && collector->log().complete == 0; ++i) {
        std::this_thread::sleep_for(100ms);
      }
      if (*row.kill != '\0') {
        desktop.kill(row.kill);
        for (int i = 0; i < 200 && collector->log().stops == 0; ++i) {
          std::this_thread::sleep_for(100ms);
        }
      }
      std::this_thread::sleep_for(4s);
      const std::string stopped = completed([&](auto done) { stream->stopCapture(done); });
      const Collector::Log log = collector->log();
      const char* order = log.outOfOrder == 0 ? "in order" : "out of order";
      if (*row.kill != '\0') {
        std::fprintf(out, "stopped %s, stop %s\n", log.stops == 1 ? "once" : "not once",
                     stopped.c_str());
      } else if (!row.client) {
        std::fprintf(out, "%s, %s\n", log.idle >= 2 ? "idle frames" : "no idle frames", order);
      } else {
        // At most 15 samples in any second: counted against the span they
        // came in, with one of slack for where the span starts.
        const double seconds = (log.lastAt - log.firstAt) / 1e9;
        std::fprintf(out, "complete frames at %s, %s, %s, %s\n",
                     log.wrongSize == 0 ? "320x180" : "other sizes",
                     log.pictures.size() >= 3 ? "changing" : "still",
                     log.complete + log.idle - 1 <= 15 * seconds + 1 ? "within 15 fps" : "too many",
                     order);
      }
    });
    EXPECT_EQ(child.readLine(), "listed 640x360");
    EXPECT_EQ(child.readLine(), row.expected);
  }
}

}  // namespace
}  // namespace kestrano::wayland
