#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/private_desktop.h"

namespace kestrano::testing {

// An independent reader of one sound source beside the recorder. What it
// reads is what the server hands every client, so a break in it is the
// server's (a sink that missed a cycle on a busy machine), and a break in a
// recording that it did not see is the recorder's.
class SoundListener {
 public:
  using Clock = std::chrono::steady_clock;

  // Back once the source delivers. Throws std::runtime_error when it does not.
  SoundListener(const PrivateDesktop& desktop, const std::string& source, std::string file)
      : source_(source), file_(std::move(file)) {
    pid_ = std::stol("0" + desktop.soundOutput("listen", source + " " + file_));
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    std::error_code error;
    for (std::uintmax_t size = 0; Clock::now() < deadline;) {
      size = std::filesystem::file_size(file_, error);
      if (!error && size > 0) {
        // What it holds was read before now.
        first_ = Clock::now() - std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(seconds(size)));
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    throw std::runtime_error("nothing came from " + source);
  }

  const std::string& source() const { return source_; }

  // Still reading: the server and the source are there.
  bool reading() const {
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto end = text.rfind(") ");
    return end != std::string::npos && text.size() > end + 2 && text[end + 2] != 'Z';
  }

  // Where what it read breaks, in seconds after `origin`: a run of 32 or
  // more zero samples, or a sample that leaves every sum of sines at `tones`
  // (the recursion each such sine keeps, one factor per tone).
  std::vector<double> breaks(const std::vector<double>& tones, Clock::time_point origin) const {
    std::vector<double> filter{1};
    for (double hz : tones) {
      const double c = -2 * std::cos(2 * std::numbers::pi * hz / kRate);
      std::vector<double> next(filter.size() + 2, 0);
      for (size_t i = 0; i < filter.size(); ++i) {
        next[i] += filter[i];
        next[i + 1] += c * filter[i];
        next[i + 2] += filter[i];
      }
      filter = next;
    }
    std::ifstream in(file_, std::ios::binary);
    std::vector<float> x((std::filesystem::file_size(file_) / sizeof(float)));
    in.read(reinterpret_cast<char*>(x.data()), static_cast<std::streamsize>(x.size() * 4));
    const double start = std::chrono::duration<double>(first_ - origin).count();
    std::vector<double> out;
    size_t zeros = 0;
    for (size_t i = filter.size(); i < x.size(); ++i) {
      double residual = 0;
      for (size_t k = 0; k < filter.size(); ++k) {
        residual += filter[k] * x[i - k];
      }
      zeros = x[i] == 0 ? zeros + 1 : 0;
      if (std::abs(residual) > 0.05 || zeros == 32) {
        const double at = start + seconds(4 * (i - (zeros ? zeros - 1 : 0)));
        if (out.empty() || at - out.back() > 0.05) {
          out.push_back(at);
        }
      }
    }
    return out;
  }

 private:
  static constexpr double kRate = 48000;
  static double seconds(std::uintmax_t bytes) { return static_cast<double>(bytes) / 4 / kRate; }

  std::string source_, file_;
  long pid_ = 0;
  Clock::time_point first_;
};

// PipeWire (0.3.65 and 1.4) on a busy machine now and then drops one cycle
// of its graph from a single record stream: no hole, no zeros, while every
// other stream of the source, the reader beside included, gets it whole. All
// a recording shows of it is its tone moved on by that many frames. Whether
// `step` (radians, across a break in a tone at `hz`) is that, within
// `tolerance`; never where a cycle leaves the tone in phase, as that cannot
// be told from sound damaged in place.
inline bool movedOnByOneCycle(double step, double hz, double tolerance) {
  // The test devices' graph runs in cycles of 1024 frames at 48 kHz: the
  // shortest latency any stream on them asks for is 25 ms (the recorder's
  // and the readers'), which PipeWire rounds down to a power of two.
  const double cycle =
      std::remainder(2 * std::numbers::pi * hz * 1024 / 48000, 2 * std::numbers::pi);
  return std::abs(step) >= 2 * tolerance &&
         std::abs(std::remainder(step - cycle, 2 * std::numbers::pi)) < tolerance;
}

// Whether any of `breaks` (from SoundListener::breaks) lies in (from, to):
// there a fault in a recording is the server's, not the recorder's.
inline bool serverBrokeWithin(const std::vector<double>& breaks, double from, double to) {
  return std::any_of(breaks.begin(), breaks.end(), [&](double at) { return at > from && at < to; });
}

}  // namespace kestrano::testing
