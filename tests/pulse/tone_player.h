#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace kestrano::testing {

// Plays a sine to one sink of the current sound server, without gaps, from
// a thread of its own until destroyed.
class TonePlayer {
 public:
  TonePlayer(const std::string& sink, std::uint32_t rate, std::uint32_t channels, double frequency,
             double amplitude);
  ~TonePlayer();
  TonePlayer(const TonePlayer&) = delete;
  TonePlayer& operator=(const TonePlayer&) = delete;

 private:
  void run(std::string sink, std::uint32_t rate, std::uint32_t channels, double frequency,
           double amplitude);

  std::atomic<bool> stop_{false};  // relaxed is enough: only ends the loop
  std::thread thread_;
};

}  // namespace kestrano::testing
