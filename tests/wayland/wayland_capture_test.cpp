// The Wayland capture service and its stream on a private Wayland desktop,
// as the recorder uses them, for what a recording through the binary does not
// show: idle frames from a still screen, and one stop error when PipeWire
// dies. The capture runs in a child process as the
// desktop's user and reports one line per outcome.
#include "platform/linux/wayland/wayland_capture_service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <thread>

#include "platform/linux/monotonic_clock.h"
#include "platform/property_value.h"
#include "tests/wayland/user_process.h"
#include "tests/wayland/wayland_desktop.h"

namespace kestrano::wayland {
namespace {

using namespace std::chrono_literals;

// Counts what a stream delivered and told.
struct Collector final : StreamOutput, StreamDelegate {
  void streamDidOutputSampleBuffer(Stream&, std::shared_ptr<MediaSample> sample,
                                   StreamOutputType) override {
    std::int64_t status = -1;
    if (const auto& a = sample->sampleAttachments(); a && !a->empty() && a->front()) {
      if (auto entry = a->front()->find(kFrameInfoStatusKey); entry != a->front()->end()) {
        status = readInt64(entry->second).value_or(-1);
      }
    }
    complete += status == static_cast<std::int64_t>(FrameStatus::complete);
    idle += status == static_cast<std::int64_t>(FrameStatus::idle);
  }
  void streamDidStopWithError(Stream&, const Error&) override { stops += 1; }

  std::atomic<int> complete{0}, idle{0}, stops{0};
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

// One stream over a still screen, then PipeWire killed under it: the one
// error comes from watching the stream's state, since PipeWire posts none.
TEST(WaylandCapture, AStillScreenGivesIdleFramesAndPipeWireDyingStopsTheStreamOnce) {
  WaylandDesktop desktop("pick");
  ASSERT_NE(desktop.dir(), "");
  UserProcess child(desktop, [&desktop](FILE* out) {
    auto service = makeWaylandCaptureService(std::make_shared<MonotonicClock>(), nullptr);
    std::optional<ShareableContent> content;
    const std::string listed = completed([&](auto done) {
      service->getShareableContent(
          [&content, done](std::optional<ShareableContent> c, std::optional<Error> e) {
            content = std::move(c);
            done(std::move(e));
          });
    });
    if (listed != "ok" || !content || content->displays.size() != 1) {
      std::fprintf(out, "listed %s\n", listed.c_str());
      return;
    }
    const Display& d = content->displays.front();

    StreamConfiguration configuration;
    configuration.width = 320;
    configuration.height = 180;
    configuration.minimumFrameInterval = MediaTime::make(1, 15);
    auto collector = std::make_shared<Collector>();
    auto queue = std::make_shared<SerialQueue>("test-output");
    auto stream = service->makeStream(ContentFilter(d, {}), configuration, collector);
    stream->addStreamOutput(collector, StreamOutputType::screen, queue);
    const std::string started = completed([&](auto done) { stream->startCapture(done); });
    if (started != "ok") {
      std::fprintf(out, "start %s\n", started.c_str());
      return;
    }
    for (int i = 0; i < 300 && collector->complete == 0; ++i) {
      std::this_thread::sleep_for(100ms);
    }
    std::this_thread::sleep_for(4s);
    std::fprintf(out, "%s\n", collector->idle >= 2 ? "idle frames" : "no idle frames");
    std::fflush(out);

    desktop.kill("pipewire");
    for (int i = 0; i < 200 && collector->stops == 0; ++i) {
      std::this_thread::sleep_for(100ms);
    }
    std::this_thread::sleep_for(2s);  // room for a second error
    const std::string stopped = completed([&](auto done) { stream->stopCapture(done); });
    std::fprintf(out, "stopped %s, stop %s\n", collector->stops == 1 ? "once" : "not once",
                 stopped.c_str());
  });
  EXPECT_EQ(child.readLine(), "idle frames");
  EXPECT_EQ(child.readLine(), "stopped once, stop ok");
}

}  // namespace
}  // namespace kestrano::wayland
