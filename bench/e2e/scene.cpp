// A deterministic benchmark scene: picture k is a pure function of k, shown
// on the X root window at time k/15 s after the start. Because every picture
// can be rendered again offline, a recording of the scene can be compared
// frame by frame with a lossless rendering of the very pictures it caught.
// Each picture carries its number as a bar code, so a decoded frame tells
// which picture it shows.
//
//   e2e_scene play moving|desktop      draws on $DISPLAY until SIGTERM/SIGINT
//   e2e_scene render moving|desktop    reads picture numbers (one a line) on
//                                      stdin, writes 1920x1080 BGR0 pictures
//                                      to stdout
//
// moving: the whole screen scrolls every frame (a page scrolling under
// coloured panels). desktop: a still desktop of windows with text-like
// lines, one small area (432x240) animating every frame, and the pointer
// moving in bursts.
#include <signal.h>
#include <time.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kRate = 15;  // pictures per second, the recorders' rate
// The bar code: a white start block, 16 bits of the picture number (most
// significant first), a black end block. 24-pixel blocks become 16-pixel
// blocks at 1280x720, large enough to survive 500 kbit/s H.264.
constexpr int kBlock = 24;
constexpr int kBits = 16;
// The animated area of the desktop scene (multiples of 3 so that it lands on
// whole pixels at 1280x720); the bar code spans its top.
constexpr int kAreaX = 1440;
constexpr int kAreaY = 810;
constexpr int kAreaW = (kBits + 2) * kBlock;
constexpr int kAreaH = 240;

struct Picture {
  std::vector<std::uint32_t> px = std::vector<std::uint32_t>(kWidth * kHeight);
  std::uint32_t& at(int x, int y) { return px[static_cast<std::size_t>(y) * kWidth + x]; }
};

std::uint32_t rgb(int r, int g, int b) {
  return static_cast<std::uint32_t>((r & 255) << 16 | (g & 255) << 8 | (b & 255));
}

// A cheap deterministic hash for text-like detail.
std::uint32_t hash(std::uint32_t a) {
  a ^= a >> 16;
  a *= 0x7feb352d;
  a ^= a >> 15;
  a *= 0x846ca68b;
  a ^= a >> 16;
  return a;
}

void fill(Picture& p, int x0, int y0, int w, int h, std::uint32_t colour) {
  for (int y = std::max(0, y0); y < std::min(kHeight, y0 + h); ++y) {
    for (int x = std::max(0, x0); x < std::min(kWidth, x0 + w); ++x) {
      p.at(x, y) = colour;
    }
  }
}

void barcode(Picture& p, int x0, int y0, int k) {
  fill(p, x0, y0, kBlock, kBlock, rgb(255, 255, 255));
  for (int b = 0; b < kBits; ++b) {
    bool one = ((k >> (kBits - 1 - b)) & 1) != 0;
    fill(p, x0 + (b + 1) * kBlock, y0, kBlock, kBlock, one ? rgb(255, 255, 255) : rgb(0, 0, 0));
  }
  fill(p, x0 + (kBits + 1) * kBlock, y0, kBlock, kBlock, rgb(0, 0, 0));
}

// Lines of "words" (short dark runs) on a light page: what text looks like
// to an encoder. `scroll` moves the page up by that many pixels.
void textPage(Picture& p, int x0, int y0, int w, int h, int scroll, std::uint32_t seed) {
  for (int y = y0; y < y0 + h && y < kHeight; ++y) {
    int py = y - y0 + scroll;
    int line = py / 22;
    int inLine = py % 22;
    for (int x = x0; x < x0 + w && x < kWidth; ++x) {
      std::uint32_t c = rgb(246, 246, 240);
      if (inLine >= 6 && inLine < 17) {
        int word = (x - x0) / 7;
        std::uint32_t hw = hash(seed * 7919u + static_cast<std::uint32_t>(line) * 131u +
                                static_cast<std::uint32_t>(word / 6));
        bool gap = (word % 6) == 5 || (hw & 7) == 0;
        bool ink = !gap && (hash(static_cast<std::uint32_t>(x * 3 + py * 5) ^ hw) & 3) != 0;
        if (ink) {
          c = rgb(40, 40, 50);
        }
      }
      p.at(x, y) = c;
    }
  }
}

// A small animation: gradient bands and a ball, moving every picture.
void animation(Picture& p, int x0, int y0, int w, int h, int k) {
  double t = static_cast<double>(k) / kRate;
  int bx = x0 + static_cast<int>((w - 60) * (0.5 + 0.5 * std::sin(t * 1.7)));
  int by = y0 + static_cast<int>((h - 60) * (0.5 + 0.5 * std::sin(t * 2.3 + 1)));
  for (int y = y0; y < y0 + h; ++y) {
    for (int x = x0; x < x0 + w; ++x) {
      int v = (x - x0 + 3 * k) % 256;
      std::uint32_t c = rgb(v, (y - y0 + 2 * k) % 256, 128);
      int dx = x - bx - 30;
      int dy = y - by - 30;
      if (dx * dx + dy * dy < 900) {
        c = rgb(250, 220, 40);
      }
      p.at(x, y) = c;
    }
  }
}

void renderMoving(Picture& p, int k) {
  // The page scrolls 6 pixels a picture; panels drift sideways over it.
  textPage(p, 0, 0, kWidth, kHeight, k * 6, 1);
  for (int i = 0; i < 5; ++i) {
    int x = (i * 420 + k * (3 + i)) % (kWidth + 300) - 300;
    int y = 120 + i * 180;
    fill(p, x, y, 300, 140, rgb(60 + i * 40, 120, 200 - i * 30));
    fill(p, x + 10, y + 10, 280, 20, rgb(250, 250, 250));
  }
  animation(p, 1200, 600, 480, 300, k);
  barcode(p, 48, 48, k);
}

void renderDesktopStill(Picture& p) {
  fill(p, 0, 0, kWidth, kHeight, rgb(30, 70, 110));
  // Windows with title bars and text, a task bar.
  const int windows[4][4] = {
      {60, 60, 900, 640}, {700, 200, 820, 520}, {120, 720, 1100, 300}, {1320, 60, 560, 680}};
  for (int i = 0; i < 4; ++i) {
    const int* r = windows[i];
    fill(p, r[0] - 2, r[1] - 2, r[2] + 4, r[3] + 4, rgb(20, 20, 20));
    fill(p, r[0], r[1], r[2], 28, rgb(200, 205, 215));
    textPage(p, r[0], r[1] + 28, r[2], r[3] - 28, 0, static_cast<std::uint32_t>(10 + i));
  }
  fill(p, 0, kHeight - 36, kWidth, 36, rgb(45, 45, 50));
}

void renderDesktop(Picture& p, int k, bool still) {
  if (still) {
    renderDesktopStill(p);
  }
  animation(p, kAreaX, kAreaY, kAreaW, kAreaH, k);
  barcode(p, kAreaX, kAreaY, k);
}

volatile std::sig_atomic_t stopRequested = 0;
void onSignal(int) {
  stopRequested = 1;
}

std::int64_t monotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void sleepUntil(std::int64_t ns) {
  timespec ts{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR && !stopRequested) {
  }
}

struct Connection {
  xcb_connection_t* c;
  ~Connection() { xcb_disconnect(c); }
};

// One PutImage request per rectangle: the server applies it whole, so a
// grab never sees half a picture.
void put(xcb_connection_t* c, xcb_window_t root, xcb_gcontext_t gc, Picture& p, int x0, int y0,
         int w, int h, std::vector<std::uint32_t>& scratch) {
  const std::uint32_t* data = p.px.data() + static_cast<std::size_t>(y0) * kWidth;
  if (x0 != 0 || w != kWidth) {
    scratch.resize(static_cast<std::size_t>(w) * h);
    for (int y = 0; y < h; ++y) {
      std::memcpy(&scratch[static_cast<std::size_t>(y) * w], &p.at(x0, y0 + y),
                  static_cast<std::size_t>(w) * 4);
    }
    data = scratch.data();
  }
  xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, root, gc, static_cast<std::uint16_t>(w),
                static_cast<std::uint16_t>(h), static_cast<std::int16_t>(x0),
                static_cast<std::int16_t>(y0), 0, 24, static_cast<std::uint32_t>(w) * h * 4,
                reinterpret_cast<const std::uint8_t*>(data));
}

int play(bool moving) {
  Connection x{xcb_connect(nullptr, nullptr)};
  if (xcb_connection_has_error(x.c)) {
    std::cerr << "e2e_scene: cannot connect to the X server\n";
    return 1;
  }
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(x.c)).data;
  if (screen->width_in_pixels < kWidth || screen->height_in_pixels < kHeight) {
    std::cerr << "e2e_scene: the screen must be at least 1920x1080\n";
    return 1;
  }
  xcb_prefetch_maximum_request_length(x.c);
  xcb_gcontext_t gc = xcb_generate_id(x.c);
  xcb_create_gc(x.c, gc, screen->root, 0, nullptr);
  Picture p;
  std::vector<std::uint32_t> scratch;
  if (!moving) {
    renderDesktop(p, 0, true);
    put(x.c, screen->root, gc, p, 0, 0, kWidth, kHeight, scratch);
  }
  signal(SIGTERM, onSignal);
  signal(SIGINT, onSignal);
  const std::int64_t start = monotonicNs();
  std::printf("%lld\n", static_cast<long long>(start));
  std::fflush(stdout);
  // When each picture reached the screen: on a loaded machine the scene can
  // fall behind, and a picture shown for less than a capture interval may
  // rightly be missed. Printed at the end, one "k nanoseconds" a line.
  std::vector<std::int64_t> shownAt;
  for (int k = 0; !stopRequested; ++k) {
    if (moving) {
      renderMoving(p, k);
      put(x.c, screen->root, gc, p, 0, 0, kWidth, kHeight, scratch);
      // The pointer rests in a corner, out of the way.
      xcb_warp_pointer(x.c, XCB_NONE, screen->root, 0, 0, 0, 0, kWidth - 1, kHeight - 1);
    } else {
      renderDesktop(p, k, false);
      put(x.c, screen->root, gc, p, kAreaX, kAreaY, kAreaW, kAreaH, scratch);
      // The pointer moves for 2 s out of every 5, as a user's hand does.
      if (k % (5 * kRate) < 2 * kRate) {
        double t = static_cast<double>(k) / kRate;
        auto px = static_cast<std::int16_t>(400 + 300 * std::sin(t));
        auto py = static_cast<std::int16_t>(400 + 200 * std::cos(t * 0.7));
        xcb_warp_pointer(x.c, XCB_NONE, screen->root, 0, 0, 0, 0, px, py);
      }
    }
    // Wait until the server has drawn it, so the picture is on screen at
    // (about) its time.
    std::free(xcb_get_input_focus_reply(x.c, xcb_get_input_focus(x.c), nullptr));
    if (xcb_connection_has_error(x.c)) {
      return 1;
    }
    shownAt.push_back(monotonicNs());
    sleepUntil(start + (static_cast<std::int64_t>(k) + 1) * 1'000'000'000 / kRate);
  }
  for (std::size_t k = 0; k < shownAt.size(); ++k) {
    std::printf("%zu %lld\n", k, static_cast<long long>(shownAt[k]));
  }
  std::fflush(stdout);
  return 0;
}

int render(bool moving) {
  Picture p;
  if (!moving) {
    renderDesktop(p, 0, true);
  }
  std::string line;
  while (std::getline(std::cin, line)) {
    int k = std::atoi(line.c_str());
    if (moving) {
      renderMoving(p, k);
    } else {
      renderDesktop(p, k, false);
    }
    if (std::fwrite(p.px.data(), 4, p.px.size(), stdout) != p.px.size()) {
      return 1;
    }
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || (std::string(argv[2]) != "moving" && std::string(argv[2]) != "desktop")) {
    std::cerr << "usage: e2e_scene play|render moving|desktop\n";
    return 2;
  }
  bool moving = std::string(argv[2]) == "moving";
  if (std::string(argv[1]) == "play") {
    return play(moving);
  }
  if (std::string(argv[1]) == "render") {
    return render(moving);
  }
  std::cerr << "usage: e2e_scene play|render moving|desktop\n";
  return 2;
}
