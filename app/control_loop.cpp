#include "app/control_loop.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/field_splitter.h"
#include "app/line_reader.h"
#include "app/line_source.h"
#include "app/reply_line.h"
#include "app/reply_sink.h"
#include "app/utf8_repair.h"

namespace kestrano {
namespace {

constexpr std::string_view kUnknownCommand = "ERR unknown command";

enum class Outcome { readNextLine, endLoop };

class ControlLoop {
 public:
  ControlLoop(ReplySink& out, RecordingControl& recorder) : out_(out), recorder_(recorder) {}

  Outcome carryOut(const InputLine& line) {
    if (line.tooLong) {
      return reply(kUnknownCommand);
    }
    const std::vector<std::string> fields = splitFields(repairUtf8(line.bytes));
    const std::string_view word = fields.empty() ? std::string_view() : fields.front();
    if (word == "start" && fields.size() == 2) {
      return start(fields[1]);
    }
    if (word == "stop") {
      return stop();
    }
    return reply(kUnknownCommand);
  }

  // Finishes whatever still runs when the loop ends without "stop": a host
  // that died, or a failed start (also a second start refused while the first
  // recording runs), must not cost the user the recording. With nothing
  // running, stop() does nothing. No reply: the host has gone, has already
  // had its answer, or asked us to end by a signal.
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
      (void)reply("ERR " + asOneLine(error->localizedDescription()));
      return Outcome::endLoop;
    }
    return reply("OK");
  }

  Outcome stop() {
    const std::int64_t size = recorder_.stop();
    stopped_ = true;
    (void)reply("DONE " + std::to_string(size) + " " + currentPath_.value_or(""));
    return Outcome::endLoop;
  }

  // Hosts wait for each reply before they write the next command, so every
  // reply goes out at once. A reply that cannot be written means the host
  // has gone: nobody would read another, so the loop ends and the recording
  // is finished.
  Outcome reply(std::string_view text) {
    return out_.send(text) ? Outcome::readNextLine : Outcome::endLoop;
  }

  ReplySink& out_;
  RecordingControl& recorder_;
  std::optional<std::string> currentPath_;  // of the last start carried out
  bool stopped_ = false;
};

}  // namespace

int runControlLoop(LineSource& in, ReplySink& out, RecordingControl& recorder) {
  ControlLoop loop(out, recorder);
  while (!in.finishRequested()) {
    const std::optional<InputLine> line = in.nextLine();
    if (!line || loop.carryOut(*line) == Outcome::endLoop) {
      break;
    }
  }
  loop.finish();
  return 0;
}

int runControlLoop(std::istream& in, std::ostream& out, RecordingControl& recorder) {
  StreamLineSource lines(in);
  StreamReplySink replies(out);
  return runControlLoop(lines, replies, recorder);
}

}  // namespace kestrano
