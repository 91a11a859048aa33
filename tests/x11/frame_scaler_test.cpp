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

// A scaler kept across pictures, checked against a fresh one each time.
struct Banded {
  Picture picture;
  std::unique_ptr<FrameScaler> scaler;
  int outWidth, outHeight;
  Banded(int w, int h, int outW, int outH) : picture(w, h), outWidth(outW), outHeight(outH) {
    std::optional<Error> error;
    scaler = FrameScaler::create(w, h, outW, outH, error);
  }
  // Scales the picture with `rows` as the changed ones (all without them);
  // fails unless the frame is what a whole pass gives. Returns the rows scaled.
  int scale(std::optional<std::vector<RowSpan>> rows = std::nullopt) {
    const std::uint8_t* pixels = picture.pixels.data();
    std::optional<VideoFrame> banded = rows ? scaler->scale(pixels, picture.stride(), *rows)
                                            : scaler->scale(pixels, picture.stride());
    std::optional<Error> error;
    auto fresh = FrameScaler::create(picture.width, picture.height, outWidth, outHeight, error);
    EXPECT_EQ(maxDifference(banded.value(), fresh->scale(pixels, picture.stride()).value()), 0);
    return scaler->lastScaledRows();
  }
};

TEST(FrameScaler, ChangedBandsGiveTheSameFrameAsAWholePass) {
  Banded b(1920, 1080, 1280, 720);
  ASSERT_TRUE(b.scaler);
  // The first picture is scaled whole whatever the rows say.
  EXPECT_EQ(b.scale(std::vector<RowSpan>{{500, 510}}), 1080);
  // Nothing changed: nothing is scaled. Wholly outside, reversed and empty
  // spans change nothing.
  EXPECT_EQ(b.scale(std::vector<RowSpan>{}), 0);
  EXPECT_EQ(b.scale(std::vector<RowSpan>{{-50, -1}, {1080, 5000}, {700, 600}, {400, 400}}), 0);

  // Small areas: in the middle, at the top edge, at the bottom edge, on odd
  // rows that straddle units, and spans reaching past either edge.
  const int areas[][4] = {{1440, 810, 432, 240}, {0, 0, 300, 7},      {500, 1073, 80, 7},
                          {100, 401, 17, 1},     {1900, 600, 20, 61}, {0, 540, 1920, 1}};
  std::uint8_t value = 1;
  for (const auto& a : areas) {
    SCOPED_TRACE(a[1]);
    b.picture.paint(a[0], a[1], a[2], a[3], value += 40);
    EXPECT_LT(b.scale(std::vector<RowSpan>{{a[1], a[1] + a[3]}}), 1080);
  }
  b.picture.paint(0, 0, 100, 4, 11);
  b.picture.paint(0, 1076, 100, 4, 13);
  int edges = b.scale(std::vector<RowSpan>{{-1000, 4}, {1076, 1'000'000}});
  EXPECT_GT(edges, 0);
  EXPECT_LT(edges, 1080);
  // Two at once, reported out of order and overlapping.
  b.picture.paint(10, 20, 50, 50, 7);
  b.picture.paint(10, 1000, 50, 50, 9);
  b.scale(std::vector<RowSpan>{{1000, 1050}, {20, 70}, {30, 40}});

  // A change over most of the picture is one whole pass; without rows,
  // everything counts as changed.
  b.picture.paint(0, 100, 1920, 900, 77);
  EXPECT_EQ(b.scale(std::vector<RowSpan>{{100, 1000}}), 1080);
  b.picture.paint(300, 300, 10, 10, 5);
  EXPECT_EQ(b.scale(), 1080);
}

TEST(FrameScaler, SizesWithoutASmallRatioAreAlwaysScaledWhole) {
  Banded b(1366, 768, 1280, 719);
  ASSERT_TRUE(b.scaler);
  b.scale();
  b.picture.paint(100, 100, 50, 50, 3);
  EXPECT_EQ(b.scale(std::vector<RowSpan>{{100, 150}}), 768);
}

TEST(FrameScaler, RefusesSizesLibswscaleCannotScale) {
  std::optional<Error> error;
  EXPECT_FALSE(FrameScaler::create(0, 1080, 1280, 720, error));
  ASSERT_TRUE(error);
  EXPECT_NE(error->description.find("cannot scale"), std::string::npos);
}

}  // namespace
}  // namespace kestrano::x11
