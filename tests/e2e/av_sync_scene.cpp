// Flashes the whole screen white and beeps on the speaker and on the virtual
// microphone at the same instants, so a recording's tracks can be lined up.
//
//   av_sync_scene FLASHES
//
// Uses the X server and sound server of the environment (a test's private
// desktop). Each beep is scheduled by its expected play time (now plus the
// stream's latency), so it leaves the sound server when the flash appears.
#include <pulse/error.h>
#include <pulse/simple.h>
#include <time.h>
#include <xcb/xcb.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <numbers>
#include <thread>
#include <vector>

namespace {

constexpr int kRate = 48000;
constexpr double kIntervalSeconds = 1.0;
constexpr double kFlashSeconds = 0.2;  // long enough for a 15 fps capture to see it
constexpr double kLeadSeconds = 1.0;   // lets both audio streams settle first
constexpr double kBeepHz = 2000;

double now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void sleepUntil(double t) {
  double left = t - now();
  if (left > 0) {
    std::this_thread::sleep_for(std::chrono::duration<double>(left));
  }
}

struct SimpleFree {
  void operator()(pa_simple* s) const { pa_simple_free(s); }
};

void beeps(const char* device, double first, int count) {
  pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, kRate, 2};
  pa_buffer_attr attr{};
  attr.maxlength = static_cast<uint32_t>(-1);
  attr.tlength = static_cast<uint32_t>(pa_usec_to_bytes(20000, &spec));
  attr.prebuf = static_cast<uint32_t>(-1);
  attr.minreq = static_cast<uint32_t>(pa_usec_to_bytes(5000, &spec));
  int error = 0;
  std::unique_ptr<pa_simple, SimpleFree> s(pa_simple_new(nullptr, "av_sync_scene",
                                                         PA_STREAM_PLAYBACK, device, "beeps", &spec,
                                                         nullptr, &attr, &error));
  if (!s) {
    std::fprintf(stderr, "av_sync_scene: %s: %s\n", device, pa_strerror(error));
    std::exit(1);
  }
  constexpr int kChunk = kRate / 200;  // 5 ms
  std::vector<float> chunk(kChunk * 2);
  double end = first + count * kIntervalSeconds + 0.5;
  long n = 0;
  while (now() < end) {
    pa_usec_t latency = pa_simple_get_latency(s.get(), &error);
    double playAt = now() + static_cast<double>(latency) * 1e-6;
    for (int i = 0; i < kChunk; ++i, ++n) {
      double t = playAt + static_cast<double>(i) / kRate - first;
      double phase = t - std::floor(t / kIntervalSeconds) * kIntervalSeconds;
      bool on = t >= 0 && t < count * kIntervalSeconds && phase < kFlashSeconds;
      float v = on ? 0.5f * static_cast<float>(std::sin(2 * std::numbers::pi * kBeepHz * n / kRate))
                   : 0.0f;
      chunk[2 * i] = v;
      chunk[2 * i + 1] = v;
    }
    pa_simple_write(s.get(), chunk.data(), chunk.size() * sizeof(float), &error);
  }
  pa_simple_drain(s.get(), &error);
}

}  // namespace

int main(int argc, char** argv) {
  int count = argc > 1 ? std::atoi(argv[1]) : 5;
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(c)) {
    std::fprintf(stderr, "av_sync_scene: no X server\n");
    return 1;
  }
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  xcb_window_t win = xcb_generate_id(c);
  uint32_t values[] = {screen->black_pixel, 1};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, win, screen->root, 0, 0, screen->width_in_pixels,
                    screen->height_in_pixels, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                    XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
  xcb_map_window(c, win);
  xcb_flush(c);

  double first = now() + kLeadSeconds;
  std::thread speaker(beeps, "speaker", first, count);
  std::thread microphone(beeps, "micsink", first, count);
  for (int k = 0; k < count; ++k) {
    double at = first + k * kIntervalSeconds;
    for (uint32_t pixel : {screen->white_pixel, screen->black_pixel}) {
      sleepUntil(pixel == screen->white_pixel ? at : at + kFlashSeconds);
      xcb_change_window_attributes(c, win, XCB_CW_BACK_PIXEL, &pixel);
      xcb_clear_area(c, 0, win, 0, 0, 0, 0);
      xcb_flush(c);
    }
  }
  speaker.join();
  microphone.join();
  xcb_disconnect(c);
  return 0;
}
