#include "app/control_loop.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/field_splitter.h"
#include "app/line_reader.h"
#include "app/reply_line.h"
#include "app/utf8_repair.h"

namespace kestrano {
namespace {

constexpr std::string_view kUnknownCommand = "ERR unknown command";

// Hosts wait for each reply before they write the next command, so every
// reply goes out at once.
void reply(std::ostream& out, std::string_view text) {
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.put('\n');
  out.flush();
}

enum class Outcome { readNextLine, endLoop };

class ControlLoop {
 public:
  ControlLoop(std::ostream& out, RecordingControl& recorder) : out_(out), recorder_(recorder) {}

  Outcome carryOut(const InputLine& line) {
    if (line.tooLong) {
      reply(out_, kUnknownCommand);
      return Outcome::readNextLine;
    }
    const std::vector<std::string> fields = splitFields(repairUtf8(line.bytes));
    const std::string_view word = fields.empty() ? std::string_view() : fields.front();
    if (word == "start" && fields.size() == 2) {
      return start(fields[1]);
    }
    if (word == "stop") {
      return stop();
    }
    reply(out_, kUnknownCommand);
    return Outcome::readNextLine;
  }

  // Finishes whatever still runs when the loop ends without "stop": a host
  // that died, or a failed start (also a second start refused while the first
  // recording runs), must not cost the user the recording. With nothing
  // running, stop() does nothing. No reply: the host has gone or has already
  // had its answer.
  void finish() {
    if (!stopped_) {
      (void)recorder_.stop();
      stopped_ = true;
    }
  }

 private:
  Outcome start(const std::string& path) {
    currentPath_ = path;
    if (std::optional<Error> error = recorder_.start(path)) {
      reply(out_, "ERR " + asOneLine(error->localizedDescription()));
      return Outcome::endLoop;
    }
    reply(out_, "OK");
    return Outcome::readNextLine;
  }

  Outcome stop() {
    const std::int64_t size = recorder_.stop();
    stopped_ = true;
    reply(out_, "DONE " + std::to_string(size) + " " + currentPath_.value_or(""));
    return Outcome::endLoop;
  }

  std::ostream& out_;
  RecordingControl& recorder_;
  std::optional<std::string> currentPath_;  // of the last start carried out
  bool stopped_ = false;
};

}  // namespace

int runControlLoop(std::istream& in, std::ostream& out, RecordingControl& recorder) {
  ControlLoop loop(out, recorder);
  while (std::optional<InputLine> line = readLine(in)) {
    if (loop.carryOut(*line) == Outcome::endLoop) {
      break;
    }
  }
  loop.finish();
  return 0;
}

}  // namespace kestrano
