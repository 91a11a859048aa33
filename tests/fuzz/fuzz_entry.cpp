#include "tests/fuzz/fuzz_entry.h"

#include <algorithm>
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
};

}  // namespace

int fuzzControlLoop(const std::uint8_t* data, std::size_t size) {
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
    if (line != "OK" && !line.starts_with("ERR ") && !line.starts_with("DONE 0 ")) {
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

}  // namespace kestrano
