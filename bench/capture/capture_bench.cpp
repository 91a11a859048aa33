// Capture alone, scaled to 1280x720 at 15 frames a second: CPU seconds per
// second of capture and per frame delivered, and the frames delivered.
//
// X11, 1920x1080 on a private Xvfb: a window repainted all over every frame
// ("moving"), a small area repainted every frame as typing or a ticking clock
// does ("typing"), a still screen ("still"); the X server's CPU is shown
// apart. Then the process's peak resident memory.
//
// Wayland, 1920x1080 at 30 Hz on the headless desktop of
// scripts/wayland-desktop.sh through the portal: an animated client
// ("wayland-moving") and a still screen ("wayland-still"). The capture runs in
// a child process as the desktop's user (the portal refuses root); only that
// process is measured, the compositor's CPU is shown apart. The Wayland
// figures are quoted against this run's X11 ones: the animated client against
// "moving" and "typing", the still screen against "still".
//
//   capture_bench [seconds per phase, default 20, at most 50] [only this phase]
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

#include "platform/linux/monotonic_clock.h"
#include "platform/linux/wayland/wayland_capture_service.h"
#include "platform/linux/x11/x11_capture_service.h"
#include "platform/linux/x11/x_connection.h"
#include "platform/serial_queue.h"
#include "tests/support/private_desktop.h"
#include "tests/wayland/user_process.h"
#include "tests/wayland/wayland_desktop.h"

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

// One phase's figures, over `wall` seconds from the stream's first sample.
struct Measure {
  double wall = 0;
  int complete = 0;
  int idle = 0;
  double cpu = 0;     // our capture's
  double server = 0;  // the X server's or the compositor's: not ours
};

kestrano::StreamConfiguration configuration() {
  kestrano::StreamConfiguration c;
  c.width = 1280;
  c.height = 720;
  c.minimumFrameInterval = kestrano::MediaTime::make(1, 15);
  c.queueDepth = 5;
  return c;
}

// Starts `stream`, waits (at most 30 s) for its first sample and measures the
// next `seconds`, then stops it. Counting from the first sample keeps the
// start out of the figures: the portal's first frame can take seconds.
std::optional<Measure> measure(kestrano::Stream& stream, const CountingOutput& output, int seconds,
                               const std::function<double()>& ownCpu, long serverPid) {
  std::promise<std::optional<kestrano::Error>> started;
  stream.startCapture([&](std::optional<kestrano::Error> e) { started.set_value(e); });
  if (auto e = started.get_future().get()) {
    std::fprintf(stderr, "capture did not start: %s\n", e->description.c_str());
    return std::nullopt;
  }
  auto stop = [&stream] {
    std::promise<void> stopped;
    stream.stopCapture([&](std::optional<kestrano::Error>) { stopped.set_value(); });
    stopped.get_future().wait();
  };
  for (int i = 0; i < 300 && output.complete + output.idle == 0; ++i) {
    std::this_thread::sleep_for(100ms);
  }
  const int complete = output.complete;
  const int idle = output.idle;
  if (complete + idle == 0) {
    std::fprintf(stderr, "no frame came\n");
    stop();
    return std::nullopt;
  }
  const double cpu = ownCpu();
  const double server = processCpuSeconds(serverPid);
  const auto wall = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  Measure m;
  m.cpu = ownCpu() - cpu;
  m.server = processCpuSeconds(serverPid) - server;
  m.complete = output.complete - complete;
  m.idle = output.idle - idle;
  m.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
  stop();
  return m;
}

void print(const std::string& name, const Measure& m, const char* server) {
  const int frames = m.complete + m.idle;
  std::printf(
      "%-14s %5.1f s: %4d complete, %3d idle frames (%.2f fps); capture CPU %.4f s/s "
      "(%.2f ms per frame); %s %.4f s/s\n",
      name.c_str(), m.wall, m.complete, m.idle, frames / m.wall, m.cpu / m.wall,
      frames > 0 ? 1000 * m.cpu / frames : 0.0, server, m.server / m.wall);
}

enum class Motion { moving, typing, still };

// A full-screen window whose stripes move every 1/30 s, twice the capture
// rate, so every capture tick finds a change (or, typing, a 320x24 area of
// it changes); its thread's CPU is taken out of the process's figure.
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
          xcb_disconnect(c);
        }) {}
  ~Painter() {
    stop_ = true;
    thread_.join();
  }
  // The painter thread's CPU seconds so far.
  double cpuSeconds() {
    clockid_t clock{};
    timespec t{};
    if (pthread_getcpuclockid(thread_.native_handle(), &clock) != 0 ||
        clock_gettime(clock, &t) != 0) {
      return 0;
    }
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;  // last: starts after the rest exists
};

std::optional<Measure> runX11Phase(Motion motion, int seconds, long xPid) {
  Painter painter(motion);
  std::this_thread::sleep_for(500ms);  // the window is up before capture starts
  auto service =
      kestrano::makeX11CaptureService(std::make_shared<kestrano::MonotonicClock>(), nullptr);
  auto stream = service->makeStream(
      kestrano::ContentFilter(kestrano::Display{1, 0, 0, 1920, 1080}, {}), configuration(), {});
  auto output = std::make_shared<CountingOutput>();
  stream->addStreamOutput(output, kestrano::StreamOutputType::screen,
                          std::make_shared<kestrano::SerialQueue>("bench"));
  return measure(
      *stream, *output, seconds, [&] { return cpuSeconds(RUSAGE_SELF) - painter.cpuSeconds(); },
      xPid);
}

// The capture of a fresh Wayland desktop's monitor, in a child process as
// the desktop's user; it reports its figures in one line.
std::optional<Measure> runWaylandPhase(bool moving, int seconds) {
  kestrano::wayland::WaylandDesktop desktop(
      "pick", std::string(moving ? " --client" : "") + " --size 1920x1080 --refresh 30");
  if (desktop.dir().empty()) {
    std::fprintf(stderr, "the Wayland desktop did not start\n");
    return std::nullopt;
  }
  const long compositorPid = std::stol(desktop.file("mutter.pid"));
  kestrano::wayland::UserProcess child(desktop, [&](FILE* out) {
    auto service =
        kestrano::makeWaylandCaptureService(std::make_shared<kestrano::MonotonicClock>(), nullptr);
    std::promise<std::optional<kestrano::ShareableContent>> listed;
    service->getShareableContent(
        [&](std::optional<kestrano::ShareableContent> c, std::optional<kestrano::Error> e) {
          if (e) {
            std::fprintf(stderr, "not listed: %s\n", e->description.c_str());
          }
          listed.set_value(std::move(c));
        });
    const std::optional<kestrano::ShareableContent> content = listed.get_future().get();
    if (!content || content->displays.empty()) {
      std::fputs("not listed\n", out);
      return;
    }
    auto stream = service->makeStream(kestrano::ContentFilter(content->displays.front(), {}),
                                      configuration(), {});
    auto output = std::make_shared<CountingOutput>();
    stream->addStreamOutput(output, kestrano::StreamOutputType::screen,
                            std::make_shared<kestrano::SerialQueue>("bench"));
    if (auto m = measure(
            *stream, *output, seconds, [] { return cpuSeconds(RUSAGE_SELF); }, compositorPid)) {
      // Hexadecimal floating point: the parent reads back exactly these.
      std::fprintf(out, "%a %d %d %a %a\n", m->wall, m->complete, m->idle, m->cpu, m->server);
    } else {
      std::fputs("no figures\n", out);
    }
  });
  const std::string line = child.readLine();
  Measure m;
  if (std::sscanf(line.c_str(), "%la %d %d %la %la", &m.wall, &m.complete, &m.idle, &m.cpu,
                  &m.server) != 5) {
    std::fprintf(stderr, "the Wayland capture failed: %s\n", line.c_str());
    return std::nullopt;
  }
  return m;
}

// How a Wayland phase compares with an X11 phase of this run.
void compare(const std::map<std::string, Measure>& results, const std::string& wayland,
             const std::string& x11) {
  auto w = results.find(wayland);
  auto x = results.find(x11);
  if (w == results.end() || x == results.end()) {
    return;
  }
  auto perSecond = [](const Measure& m) { return m.cpu / m.wall; };
  auto perFrame = [](const Measure& m) { return m.cpu / std::max(1, m.complete + m.idle); };
  std::printf("%s against %s: CPU per second x%.2f, per frame x%.2f\n", wayland.c_str(),
              x11.c_str(), perSecond(w->second) / perSecond(x->second),
              perFrame(w->second) / perFrame(x->second));
}

}  // namespace

int main(int argc, char** argv) {
  // A line as soon as each phase ends, also into a file.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // The child's result line is awaited at most 60 s, start included.
  const int seconds = std::min(argc > 1 ? std::atoi(argv[1]) : 20, 50);
  const std::string only = argc > 2 ? argv[2] : "";
  auto wanted = [&](const std::string& name) { return only.empty() || only == name; };
  std::map<std::string, Measure> results;
  {
    kestrano::testing::PrivateDesktop::Options options;
    options.pulse = false;
    kestrano::testing::PrivateDesktop desktop(options);
    desktop.exportEnvironment();
    long xPid = 0;
    std::ifstream(desktop.directory() + "/x.pid") >> xPid;
    const std::pair<const char*, Motion> phases[] = {
        {"moving", Motion::moving}, {"typing", Motion::typing}, {"still", Motion::still}};
    for (const auto& [name, motion] : phases) {
      if (wanted(name)) {
        if (auto m = runX11Phase(motion, seconds, xPid)) {
          print(name, *m, "X server");
          results[name] = *m;
        }
      }
    }
  }
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  std::printf("peak resident memory (X11) %.1f MB\n", static_cast<double>(u.ru_maxrss) / 1024);
  for (const auto& [name, moving] : {std::pair{"wayland-moving", true}, {"wayland-still", false}}) {
    if (wanted(name)) {
      if (auto m = runWaylandPhase(moving, seconds)) {
        print(name, *m, "compositor");
        results[name] = *m;
      }
    }
  }
  compare(results, "wayland-moving", "moving");
  compare(results, "wayland-moving", "typing");
  compare(results, "wayland-still", "still");
  return 0;
}
