#include "tests/fuzz/fuzz_entry.h"

#include <sstream>
#include <string>
#include <string_view>

#include "app/control_loop.h"

namespace kestrano {
namespace {

class InertRecording final : public RecordingControl {
 public:
  std::optional<Error> start(const std::string& path) override {
    if (path.find("fail") != std::string::npos) {
      return Error{"fuzz", 1, "failed\nas asked"};
    }
    return std::nullopt;
  }
  std::int64_t stop() override { return 0; }
  void cancelStart() override {}
};

bool isKnownReply(std::string_view line) {
  return line == "OK" || line.starts_with("ERR ") || line.starts_with("DONE 0 ");
}

}  // namespace

int fuzzControlLoop(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::istringstream in(input);
  std::ostringstream out;
  InertRecording recorder;
  runControlLoop(in, out, recorder);

  const std::string output = out.str();
  if (!output.empty() && output.back() != '\n') {
    __builtin_trap();
  }
  std::size_t replies = 0;
  std::size_t begin = 0;
  while (begin < output.size()) {
    const std::size_t end = output.find('\n', begin);
    if (!isKnownReply(std::string_view(output).substr(begin, end - begin))) {
      __builtin_trap();
    }
    ++replies;
    begin = end + 1;
  }
  // Every reply answers one line; a last line without LF counts too.
  std::size_t lines = 0;
  for (char c : input) {
    lines += c == '\n' ? 1 : 0;
  }
  lines += !input.empty() && input.back() != '\n' ? 1 : 0;
  if (replies > lines) {
    __builtin_trap();
  }
  return 0;
}

}  // namespace kestrano
