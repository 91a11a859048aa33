#include "tests/x11/x_scene.h"

#include <chrono>
#include <cstdlib>
#include <stdexcept>

#include "platform/linux/x11/x_connection.h"

namespace kestrano::testing {
namespace {

std::uint32_t pixel(Rgb c) {
  return (std::uint32_t{c.r} << 16) | (std::uint32_t{c.g} << 8) | c.b;  // 24-bit TrueColor
}

}  // namespace

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

RepaintingWindow::RepaintingWindow()
    : thread_([this] {
        XScene scene;
        xcb_window_t win = scene.addWindow(0, 0, 640, 480, {});
        for (std::uint8_t i = 0; !stop_.load(std::memory_order_relaxed); i += 37) {
          scene.fill(win, 0, 0, 640, 480, Rgb{i, 30, 30});
          scene.sync();
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
      }) {}

RepaintingWindow::~RepaintingWindow() {
  stop_.store(true, std::memory_order_relaxed);
  thread_.join();
}

}  // namespace kestrano::testing
