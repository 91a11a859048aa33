// The scene the end-to-end recordings film, on the X and sound servers of the
// environment: a grey block that moves at every 1/30 s (so every frame
// changes) along the top, and once a second a white band across the screen
// with a 440 Hz beep on the speaker and a 1000 Hz beep on the virtual
// microphone at the same instant. Only a band: a whole screen turning white
// makes the encoder put in key frames of its own, which would hide how far
// apart it spaces them.
// Prints "ready" at the first flash and runs until it is killed; it outlives
// the death of either server. Without an X server in its environment (a
// Wayland desktop's) it only beeps.
#include <pulse/simple.h>
#include <time.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <numbers>
#include <thread>
#include <vector>

namespace {

constexpr int kRate = 48000;
constexpr int kTicksPerSecond = 30;
constexpr int kFlashTicks = 6;  // 0.2 s: long enough for a 15 fps capture to see it
// A quarter of the check's bound on sound against picture; a busy machine
// wakes this process later than that now and then.
constexpr double kLate = 0.025;
constexpr uint32_t kLateFlash = 0x404040;
// The block steps this far right at each tick and starts over at each
// flash: where it stands in a picture tells which tick the picture shows.
constexpr int kBlockStep = 20;

double now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct SimpleFree {
  void operator()(pa_simple* s) const { pa_simple_free(s); }
};

// When the sample about to be written will be heard. pipewire-pulse's
// latency readings drift, by tens of milliseconds a second on a busy machine,
// while the sink takes the samples at an even pace: so the readings count
// only while the stream settles (their median over its second quarter
// second), and from then on the samples written carry the time forward. A
// stream that runs dry (this process was held up) plays on later by as long,
// so it settles afresh.
class PlayClock {
 public:
  double heardAt(pa_simple* s, long sample) {
    const double t = now();
    const double counted = origin_ + static_cast<double>(sample) / kRate;
    if (settled_ && counted > t) {
      return counted;
    }
    if (settled_) {
      settled_ = false;
      settling_ = t;
      readings_.clear();
    }
    int error = 0;
    const double read = t + static_cast<double>(pa_simple_get_latency(s, &error)) * 1e-6;
    if (t - settling_ > kSettle / 2) {
      readings_.push_back(read - static_cast<double>(sample) / kRate);
    }
    if (t - settling_ > kSettle && !readings_.empty()) {
      std::nth_element(readings_.begin(), readings_.begin() + readings_.size() / 2,
                       readings_.end());
      origin_ = readings_[readings_.size() / 2];
      settled_ = true;
    }
    return read;
  }

 private:
  static constexpr double kSettle = 0.5;
  double settling_ = now();
  bool settled_ = false;
  double origin_ = 0;  // when sample 0 is heard, once settled
  std::vector<double> readings_;
};

// Each chunk is computed for the moment it will be heard, so a beep leaves
// the server when its flash appears.
void beeps(const char* device, double hz, double first) {
  pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, kRate, 2};
  pa_buffer_attr attr{
      static_cast<uint32_t>(-1), static_cast<uint32_t>(pa_usec_to_bytes(100000, &spec)),
      static_cast<uint32_t>(-1), static_cast<uint32_t>(pa_usec_to_bytes(10000, &spec)), 0};
  std::unique_ptr<pa_simple, SimpleFree> s(pa_simple_new(nullptr, "av_sync_scene",
                                                         PA_STREAM_PLAYBACK, device, "beeps", &spec,
                                                         nullptr, &attr, nullptr));
  std::vector<float> chunk(2 * kRate / 200);  // 5 ms
  PlayClock clock;
  for (long n = 0; s;) {
    const double playAt = clock.heardAt(s.get(), n);
    for (std::size_t i = 0; i < chunk.size(); i += 2, ++n) {
      double t = playAt + static_cast<double>(i / 2) / kRate - first;
      bool on = t >= 0 && t - std::floor(t) < static_cast<double>(kFlashTicks) / kTicksPerSecond;
      chunk[i] = chunk[i + 1] =
          on ? 0.5f * static_cast<float>(std::sin(2 * std::numbers::pi * hz * n / kRate)) : 0.0f;
    }
    int error = 0;
    if (pa_simple_write(s.get(), chunk.data(), chunk.size() * sizeof(float), &error) < 0) {
      return;  // the sound server died
    }
  }
}

}  // namespace

int main() {
  if (std::getenv("DISPLAY") == nullptr) {
    const double first = now() + 1.0;
    std::jthread speaker(beeps, "speaker", 440.0, first);
    std::jthread microphone(beeps, "micsink", 1000.0, first);
    std::this_thread::sleep_for(std::chrono::duration<double>(first - now()));
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) {
      std::this_thread::sleep_for(std::chrono::hours(1));
    }
  }
  std::unique_ptr<xcb_connection_t, void (*)(xcb_connection_t*)> c(xcb_connect(nullptr, nullptr),
                                                                   xcb_disconnect);
  if (xcb_connection_has_error(c.get())) {
    std::fprintf(stderr, "av_sync_scene: no X server\n");
    return 1;
  }
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c.get())).data;
  xcb_window_t win = xcb_generate_id(c.get());
  xcb_window_t block = xcb_generate_id(c.get());
  xcb_window_t flash = xcb_generate_id(c.get());
  uint32_t values[] = {screen->black_pixel, 1};
  xcb_create_window(c.get(), XCB_COPY_FROM_PARENT, win, screen->root, 0, 0, screen->width_in_pixels,
                    screen->height_in_pixels, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                    XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
  values[0] = 0x808080;
  xcb_create_window(c.get(), XCB_COPY_FROM_PARENT, block, win, 0, 0, 32, 32, 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_BACK_PIXEL, values);
  values[0] = screen->black_pixel;
  xcb_create_window(c.get(), XCB_COPY_FROM_PARENT, flash, win, 0, screen->height_in_pixels / 2,
                    screen->width_in_pixels, screen->height_in_pixels / 4, 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_BACK_PIXEL, values);
  xcb_map_subwindows(c.get(), win);
  xcb_map_window(c.get(), win);
  xcb_flush(c.get());

  // A second's lead lets both sound streams settle before the first beep.
  const double first = now() + 1.0;
  std::jthread speaker(beeps, "speaker", 440.0, first);
  std::jthread microphone(beeps, "micsink", 1000.0, first);
  for (long tick = -kTicksPerSecond;; ++tick) {
    std::this_thread::sleep_for(
        std::chrono::duration<double>(first + static_cast<double>(tick) / kTicksPerSecond - now()));
    if (tick == 0) {
      std::printf("ready\n");
      std::fflush(stdout);
    }
    const long phase = (tick % kTicksPerSecond + kTicksPerSecond) % kTicksPerSecond;
    if (tick >= 0 && (phase == 0 || phase == kFlashTicks)) {
      // A flash this scene draws late would put the beep ahead of it in any
      // recording: it goes dark grey instead, which no check takes for a flash.
      const bool late = now() - (first + static_cast<double>(tick) / kTicksPerSecond) > kLate;
      uint32_t pixel = phase == 0 ? (late ? kLateFlash : screen->white_pixel) : screen->black_pixel;
      xcb_change_window_attributes(c.get(), flash, XCB_CW_BACK_PIXEL, &pixel);
      xcb_clear_area(c.get(), 0, flash, 0, 0, 0, 0);
    }
    uint32_t at[] = {static_cast<uint32_t>(phase * kBlockStep), 16};
    xcb_configure_window(c.get(), block, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, at);
    xcb_flush(c.get());
  }
}
