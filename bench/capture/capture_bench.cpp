// Capture alone, 1920x1080 scaled to 1280x720 at 15 frames a second, on a
// private Xvfb: CPU seconds per second of capture with a window repainted
// all over every frame ("moving"), with a small area repainted every frame as
// typing or a ticking clock does ("typing"), and on a still screen ("still");
// then the process's peak resident memory.
//
//   capture_bench [seconds per phase, default 20] [only this phase]
#include <sys/resource.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

#include "platform/linux/monotonic_clock.h"
#include "platform/linux/x11/x11_capture_service.h"
#include "platform/linux/x11/x_connection.h"
#include "platform/serial_queue.h"
#include "tests/support/private_desktop.h"

namespace {

using namespace std::chrono_literals;
using kestrano::FrameStatus;

double cpuSeconds(int who) {
  rusage u{};
  getrusage(who, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// User plus system time of another process, from /proc.
double processCpuSeconds(long pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto close = stat.rfind(')');
  if (close == std::string::npos) {
    return 0;
  }
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14 || i == 15) {  // utime, stime
      ticks += std::stod(field);
    }
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

class CountingOutput final : public kestrano::StreamOutput {
 public:
  void streamDidOutputSampleBuffer(kestrano::Stream&, std::shared_ptr<kestrano::MediaSample> s,
                                   kestrano::StreamOutputType) override {
    const auto& a = s->sampleAttachments();
    auto status = kestrano::readInt64(a->front()->at(kestrano::kFrameInfoStatusKey));
    (status == static_cast<std::int64_t>(FrameStatus::complete) ? complete : idle)++;
  }
  std::atomic<int> complete{0};
  std::atomic<int> idle{0};
};

enum class Motion { moving, typing, still };

// A full-screen window whose stripes move every 1/30 s, twice the capture
// rate, so every capture tick finds a change (or, typing, a 320x24 area of
// it changes); measures its own CPU so it can be taken out of the process's
// figure.
class Painter {
 public:
  explicit Painter(Motion motion)
      : thread_([this, motion] {
          xcb_connection_t* c = kestrano::x11::connectToDefaultDisplay(nullptr);
          xcb_screen_t* s = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
          xcb_window_t w = xcb_generate_id(c);
          const std::uint32_t values[] = {0x203040, 1};
          xcb_create_window(c, XCB_COPY_FROM_PARENT, w, s->root, 0, 0, 1920, 1080, 0,
                            XCB_WINDOW_CLASS_INPUT_OUTPUT, s->root_visual,
                            XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
          xcb_map_window(c, w);
          xcb_gcontext_t gc = xcb_generate_id(c);
          xcb_create_gc(c, gc, w, 0, nullptr);
          for (int frame = 0; !stop_; ++frame) {
            if (motion == Motion::typing && frame > 0) {
              std::uint32_t colour[] = {static_cast<std::uint32_t>((frame % 7) * 0x201008)};
              xcb_change_gc(c, gc, XCB_GC_FOREGROUND, colour);
              xcb_rectangle_t r{static_cast<std::int16_t>(600 + (frame % 40) * 8), 500, 8, 24};
              xcb_poly_fill_rectangle(c, w, gc, 1, &r);
              std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
            } else if (motion == Motion::moving || frame == 0) {
              for (int stripe = 0; stripe < 24; ++stripe) {
                std::uint32_t colour[] = {
                    static_cast<std::uint32_t>(((stripe + frame) % 24) * 0x0a0705)};
                xcb_change_gc(c, gc, XCB_GC_FOREGROUND, colour);
                xcb_rectangle_t r{0, static_cast<std::int16_t>(stripe * 45), 1920, 45};
                xcb_poly_fill_rectangle(c, w, gc, 1, &r);
              }
              std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
            }
            std::this_thread::sleep_for(std::chrono::microseconds(1'000'000 / 30));
          }
          cpu_ = cpuSeconds(RUSAGE_THREAD);
          xcb_disconnect(c);
        }) {}
  // The painter's CPU seconds, once stopped.
  double stop() {
    stop_ = true;
    thread_.join();
    return cpu_;
  }

 private:
  std::atomic<bool> stop_{false};
  double cpu_ = 0;
  std::thread thread_;  // last: starts after the rest exists
};

void runPhase(const char* name, Motion motion, int seconds, long xPid) {
  Painter painter(motion);
  std::this_thread::sleep_for(500ms);  // the window is up before capture starts

  auto service =
      kestrano::makeX11CaptureService(std::make_shared<kestrano::MonotonicClock>(), nullptr);
  kestrano::StreamConfiguration configuration;
  configuration.width = 1280;
  configuration.height = 720;
  configuration.minimumFrameInterval = kestrano::MediaTime::make(1, 15);
  configuration.queueDepth = 5;
  auto stream = service->makeStream(
      kestrano::ContentFilter(kestrano::Display{1, 0, 0, 1920, 1080}, {}), configuration, {});
  auto output = std::make_shared<CountingOutput>();
  auto queue = std::make_shared<kestrano::SerialQueue>("bench");
  stream->addStreamOutput(output, kestrano::StreamOutputType::screen, queue);

  double cpuBefore = cpuSeconds(RUSAGE_SELF);
  double xBefore = processCpuSeconds(xPid);
  auto wallBefore = std::chrono::steady_clock::now();
  std::promise<std::optional<kestrano::Error>> started;
  stream->startCapture([&](std::optional<kestrano::Error> e) { started.set_value(e); });
  if (auto e = started.get_future().get()) {
    std::fprintf(stderr, "capture did not start: %s\n", e->description.c_str());
    std::exit(1);
  }
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  std::promise<void> stopped;
  stream->stopCapture([&](std::optional<kestrano::Error>) { stopped.set_value(); });
  stopped.get_future().wait();
  double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
  double painterCpu = painter.stop();
  double cpu = cpuSeconds(RUSAGE_SELF) - cpuBefore - painterCpu;
  double xCpu = processCpuSeconds(xPid) - xBefore;
  std::printf(
      "%-7s %5.1f s: %4d complete, %3d idle frames (%.2f fps); capture CPU %.4f s/s "
      "(%.2f ms per complete frame); X server %.4f s/s\n",
      name, wall, output->complete.load(), output->idle.load(), output->complete / wall, cpu / wall,
      output->complete > 0 ? 1000 * cpu / output->complete : 0.0, xCpu / wall);
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = argc > 1 ? std::atoi(argv[1]) : 20;
  kestrano::testing::PrivateDesktop::Options options;
  options.pulse = false;
  kestrano::testing::PrivateDesktop desktop(options);
  desktop.exportEnvironment();
  long xPid = 0;
  std::ifstream(desktop.directory() + "/x.pid") >> xPid;
  std::string only = argc > 2 ? argv[2] : "";
  const std::pair<const char*, Motion> phases[] = {
      {"moving", Motion::moving}, {"typing", Motion::typing}, {"still", Motion::still}};
  for (const auto& [name, motion] : phases) {
    if (only.empty() || only == name) {
      runPhase(name, motion, seconds, xPid);
    }
  }
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  std::printf("peak resident memory %.1f MB\n", static_cast<double>(u.ru_maxrss) / 1024);
  return 0;
}
