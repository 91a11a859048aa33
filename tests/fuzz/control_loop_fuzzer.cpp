// libFuzzer entry: the whole control loop over arbitrary input bytes, against
// a recorder that does nothing (a start fails when its path contains "fail").
// It traps when the output breaks the protocol: a reply that is not one of the
// known forms, output not ended by a line feed, or more replies than lines.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "app/control_loop.h"

namespace kestrano {
namespace {

class InertRecording final : public RecordingControl {
 public:
  std::optional<Error> start(const std::string& path) override {
    const bool fail = path.find("fail") != std::string::npos;
    return fail ? std::optional<Error>(Error{"fuzz", 1, "failed\nas asked"}) : std::nullopt;
  }
  std::int64_t stop() override { return 0; }
  void cancelStart() override {}
  RecordingStatus status() override { return {}; }
  std::optional<Error> pause() override { return std::nullopt; }
  std::optional<Error> resume() override { return Error{"fuzz", 2, "not\rpaused"}; }
  std::optional<Error> mark(const std::string&) override { return std::nullopt; }
};

}  // namespace

}  // namespace kestrano

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrano;
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::istringstream in(input);
  std::ostringstream out;
  InertRecording recorder;
  runControlLoop(in, out, recorder);

  // Every reply is one whole line of a known form and answers one input line
  // (a last line without LF counts too).
  const std::string output = out.str();
  std::istringstream replies(output);
  std::size_t count = 0;
  for (std::string line; std::getline(replies, line); ++count) {
    if (line != "OK" && !line.starts_with("ERR ") && !line.starts_with("DONE 0 ") &&
        line != "STATUS idle time=0.000 bytes=0 system=-inf mic=-inf") {
      __builtin_trap();
    }
  }
  const auto lines = static_cast<std::size_t>(std::count(input.begin(), input.end(), '\n')) +
                     (!input.empty() && input.back() != '\n' ? 1 : 0);
  if ((!output.empty() && output.back() != '\n') || count > lines) {
    __builtin_trap();
  }
  return 0;
}
