// The scaler re-scales only the rows its caller says changed; what it
// delivers must be what a whole pass over the new picture gives.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/linux/x11/frame_scaler.h"

namespace kestrano::x11 {
namespace {

struct Picture {
  int width;
  int height;
  std::vector<std::uint8_t> pixels;
  Picture(int w, int h) : width(w), height(h), pixels(static_cast<std::size_t>(w) * h * 4) {
    // Text-like detail everywhere, so any misplaced row shows.
    std::uint32_t state = 12345;
    for (auto& p : pixels) {
      state = state * 1103515245 + 12345;
      p = static_cast<std::uint8_t>(state >> 24);
    }
  }
  void paint(int x0, int y0, int w, int h, std::uint8_t value) {
    for (int y = y0; y < y0 + h; ++y) {
      for (int x = x0; x < x0 + w; ++x) {
        for (int c = 0; c < 4; ++c) {
          pixels[(static_cast<std::size_t>(y) * width + x) * 4 + c] =
              static_cast<std::uint8_t>(value + x + c);
        }
      }
    }
  }
  int stride() const { return width * 4; }
};

// Largest difference between two frames, over every plane's visible bytes.
int maxDifference(const VideoFrame& a, const VideoFrame& b) {
  int worst = 0;
  for (int i = 0; i < 3; ++i) {
    int bytes = i == 0 ? a.width() : (a.width() + 1) / 2;
    for (int row = 0; row < a.plane(i).rows; ++row) {
      for (int x = 0; x < bytes; ++x) {
        int d = std::abs(a.plane(i).data[row * a.plane(i).stride + x] -
                         b.plane(i).data[row * b.plane(i).stride + x]);
        worst = std::max(worst, d);
      }
    }
  }
  return worst;
}

VideoFrame scaleFresh(const Picture& p, int width, int height) {
  std::optional<Error> error;
  auto scaler = FrameScaler::make(p.width, p.height, width, height, error);
  return scaler->scale(p.pixels.data(), p.stride());
}

TEST(FrameScaler, ChangedBandsGiveTheSameFrameAsAWholePass) {
  std::optional<Error> error;
  auto scaler = FrameScaler::make(1920, 1080, 1280, 720, error);
  ASSERT_TRUE(scaler);
  Picture p(1920, 1080);
  scaler->scale(p.pixels.data(), p.stride());
  EXPECT_EQ(scaler->lastScaledRows(), 1080);

  // Nothing changed: nothing is scaled, the frame is the same.
  VideoFrame same = scaler->scale(p.pixels.data(), p.stride(), {});
  EXPECT_EQ(scaler->lastScaledRows(), 0);
  EXPECT_EQ(maxDifference(same, scaleFresh(p, 1280, 720)), 0);

  // Small areas: in the middle, at the top edge, at the bottom edge, on odd
  // rows that straddle units; one change at a time and two at once.
  const int areas[][4] = {{1440, 810, 432, 240}, {0, 0, 300, 7},      {500, 1073, 80, 7},
                          {100, 401, 17, 1},     {1900, 600, 20, 61}, {0, 540, 1920, 1}};
  std::uint8_t value = 1;
  for (const auto& a : areas) {
    p.paint(a[0], a[1], a[2], a[3], value += 40);
    const RowSpan rows[] = {{a[1], a[1] + a[3]}};
    VideoFrame banded = scaler->scale(p.pixels.data(), p.stride(), rows);
    EXPECT_LT(scaler->lastScaledRows(), 1080) << "area at row " << a[1];
    EXPECT_EQ(maxDifference(banded, scaleFresh(p, 1280, 720)), 0) << "area at row " << a[1];
  }
  // Two at once, reported out of order and overlapping.
  p.paint(10, 20, 50, 50, 7);
  p.paint(10, 1000, 50, 50, 9);
  const RowSpan two[] = {{1000, 1050}, {20, 70}, {30, 40}};
  VideoFrame both = scaler->scale(p.pixels.data(), p.stride(), two);
  EXPECT_EQ(maxDifference(both, scaleFresh(p, 1280, 720)), 0);

  // A change over most of the picture is one whole pass.
  p.paint(0, 100, 1920, 900, 77);
  const RowSpan most[] = {{100, 1000}};
  VideoFrame mostly = scaler->scale(p.pixels.data(), p.stride(), most);
  EXPECT_EQ(scaler->lastScaledRows(), 1080);
  EXPECT_EQ(maxDifference(mostly, scaleFresh(p, 1280, 720)), 0);

  // Without rows, everything counts as changed.
  p.paint(300, 300, 10, 10, 5);
  VideoFrame all = scaler->scale(p.pixels.data(), p.stride());
  EXPECT_EQ(scaler->lastScaledRows(), 1080);
  EXPECT_EQ(maxDifference(all, scaleFresh(p, 1280, 720)), 0);
}

TEST(FrameScaler, TheFirstPictureIsScaledWholeWhateverTheRowsSay) {
  std::optional<Error> error;
  auto scaler = FrameScaler::make(1920, 1080, 1280, 720, error);
  ASSERT_TRUE(scaler);
  Picture p(1920, 1080);
  const RowSpan few[] = {{500, 510}};
  VideoFrame first = scaler->scale(p.pixels.data(), p.stride(), few);
  EXPECT_EQ(scaler->lastScaledRows(), 1080);
  EXPECT_EQ(maxDifference(first, scaleFresh(p, 1280, 720)), 0);
}

TEST(FrameScaler, RowsOutsideThePictureAreIgnored) {
  std::optional<Error> error;
  auto scaler = FrameScaler::make(1920, 1080, 1280, 720, error);
  ASSERT_TRUE(scaler);
  Picture p(1920, 1080);
  scaler->scale(p.pixels.data(), p.stride());
  // Wholly outside, reversed and empty spans change nothing; one reaching
  // past either edge counts for its rows inside.
  const RowSpan outside[] = {{-50, -1}, {1080, 5000}, {700, 600}, {400, 400}};
  VideoFrame none = scaler->scale(p.pixels.data(), p.stride(), outside);
  EXPECT_EQ(scaler->lastScaledRows(), 0);
  EXPECT_EQ(maxDifference(none, scaleFresh(p, 1280, 720)), 0);
  p.paint(0, 0, 100, 4, 11);
  p.paint(0, 1076, 100, 4, 13);
  const RowSpan edges[] = {{-1000, 4}, {1076, 1'000'000}};
  VideoFrame banded = scaler->scale(p.pixels.data(), p.stride(), edges);
  EXPECT_GT(scaler->lastScaledRows(), 0);
  EXPECT_LT(scaler->lastScaledRows(), 1080);
  EXPECT_EQ(maxDifference(banded, scaleFresh(p, 1280, 720)), 0);
}

TEST(FrameScaler, SizesWithoutASmallRatioAreAlwaysScaledWhole) {
  std::optional<Error> error;
  auto scaler = FrameScaler::make(1366, 768, 1280, 719, error);
  ASSERT_TRUE(scaler);
  Picture p(1366, 768);
  scaler->scale(p.pixels.data(), p.stride());
  p.paint(100, 100, 50, 50, 3);
  const RowSpan rows[] = {{100, 150}};
  VideoFrame frame = scaler->scale(p.pixels.data(), p.stride(), rows);
  EXPECT_EQ(scaler->lastScaledRows(), 768);
  EXPECT_EQ(maxDifference(frame, scaleFresh(p, 1280, 719)), 0);
}

TEST(FrameScaler, RefusesSizesLibswscaleCannotScale) {
  std::optional<Error> error;
  EXPECT_FALSE(FrameScaler::make(0, 1080, 1280, 720, error));
  ASSERT_TRUE(error);
  EXPECT_NE(error->description.find("cannot scale"), std::string::npos);
}

}  // namespace
}  // namespace kestrano::x11
