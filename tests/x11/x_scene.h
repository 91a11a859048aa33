#pragma once

#include <xcb/xcb.h>

#include <atomic>
#include <cstdint>
#include <thread>

namespace kestrano::testing {

struct Rgb {
  std::uint8_t r = 0;
  std::uint8_t g = 0;
  std::uint8_t b = 0;
};

// Draws on the X server named by DISPLAY through a connection of its own:
// override-redirect windows filled with plain colours, and the pointer.
class XScene {
 public:
  XScene();  // throws std::runtime_error when the server cannot be reached
  ~XScene();
  XScene(const XScene&) = delete;
  XScene& operator=(const XScene&) = delete;

  // A new window covering the rectangle, filled with `colour`, on top.
  xcb_window_t addWindow(int x, int y, int width, int height, Rgb colour);
  // Fills a rectangle of the window (window coordinates).
  void fill(xcb_window_t window, int x, int y, int width, int height, Rgb colour);
  void warpPointer(int rootX, int rootY);
  // Returns once the server has carried out everything asked so far.
  void sync();

 private:
  xcb_connection_t* c_;
  xcb_screen_t* screen_;
  xcb_gcontext_t gc_;
};

// A 640x480 window at the origin repainted every 20 ms (faster than capture),
// from a thread and connection of its own, until destroyed.
class RepaintingWindow {
 public:
  RepaintingWindow();
  ~RepaintingWindow();

 private:
  std::atomic<bool> stop_{false};  // relaxed is enough: only ends the loop
  std::thread thread_;             // last: starts after stop_ exists
};

}  // namespace kestrano::testing
