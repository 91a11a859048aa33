#include "app/control_loop.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/field_splitter.h"
#include "app/line_reader.h"
#include "app/line_source.h"
#include "app/reply_sink.h"
#include "app/utf8_repair.h"
#include "platform/error.h"

namespace kestrano {
namespace {

constexpr std::string_view kUnknownCommand = "ERR unknown command";
// A start path with bytes that are not UTF-8 was repaired (U+FFFD in their
// place) and so names a different file than the host meant: one that may
// exist and would be replaced. It is refused before anything is touched.
constexpr std::string_view kPathNotUtf8 = "ERR the path is not valid UTF-8";

constexpr std::string_view kMarkWithoutTitle = "ERR mark needs a title";

enum class Outcome { readNextLine, endLoop };

// "-12.3", or "-inf" for silence.
std::string dbfs(const std::optional<double>& level) {
  if (!level) {
    return "-inf";
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", *level);
  return text;
}

// "STATUS <idle|recording|paused> time=<s.mmm> bytes=<n> system=<dBFS> mic=<dBFS>"
std::string statusLine(const RecordingStatus& s) {
  char time[32];
  std::snprintf(time, sizeof time, "%lld.%03lld",
                static_cast<long long>(s.mediaMilliseconds / 1000),
                static_cast<long long>(s.mediaMilliseconds % 1000));
  const char* state = !s.recording ? "idle" : s.paused ? "paused" : "recording";
  return std::string("STATUS ") + state + " time=" + time + " bytes=" + std::to_string(s.bytes) +
         " system=" + dbfs(s.systemAudioDbfs) + " mic=" + dbfs(s.microphoneDbfs);
}

class ControlLoop {
 public:
  ControlLoop(LineSource& in, ReplySink& out, RecordingControl& recorder)
      : in_(in), out_(out), recorder_(recorder) {}

  Outcome carryOut(const InputLine& line) {
    if (line.tooLong) {
      return reply(kUnknownCommand);
    }
    const std::string repaired = repairUtf8(line.bytes);
    const std::vector<std::string> fields = splitFields(repaired);
    const std::string_view word = fields.empty() ? std::string_view() : fields.front();
    if (word == "start" && fields.size() == 2) {
      // A repair cannot touch the word "start" or the single blank after it
      // (a U+FFFD there would make the word something else), so a repaired
      // start line is one whose path was repaired.
      if (repaired != line.bytes) {
        (void)reply(kPathNotUtf8);
        return Outcome::endLoop;  // as after any failed start
      }
      return start(fields[1]);
    }
    if (word == "stop") {
      return stop();
    }
    if (fields.size() == 1 && (word == "status" || word == "pause" || word == "resume")) {
      return control(word);
    }
    if (word == "mark") {
      // The title is shown, not looked up, so a repaired one is kept.
      return fields.size() == 2 ? control(word, fields[1]) : reply(kMarkWithoutTitle);
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
  // A termination signal during start() abandons it (it fails promptly and
  // gets its ERR like any failed start); one during stop() lets it finish the
  // file and answer. Either way the loop ends after the reply.
  Outcome start(const std::string& path) {
    currentPath_ = path;
    std::optional<Error> error;
    in_.runCommand([&] { error = recorder_.start(path); }, [this] { recorder_.cancelStart(); });
    if (error) {
      (void)reply("ERR " + asOneLine(error->localizedDescription()));
      return Outcome::endLoop;
    }
    return reply("OK");
  }

  // The commands that leave the recording running: one reply each, "OK" or
  // the reason it was refused (the recording goes on either way).
  Outcome control(std::string_view word, const std::string& title = {}) {
    std::string answer;
    in_.runCommand(
        [&] {
          std::optional<Error> error;
          if (word == "status") {
            answer = statusLine(recorder_.status());
            return;
          }
          error = word == "pause"    ? recorder_.pause()
                  : word == "resume" ? recorder_.resume()
                                     : recorder_.mark(title);
          answer = error ? "ERR " + asOneLine(error->localizedDescription()) : "OK";
        },
        [] {});
    return reply(answer);
  }

  Outcome stop() {
    std::int64_t size = 0;
    in_.runCommand([&] { size = recorder_.stop(); }, [] {});
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

  LineSource& in_;
  ReplySink& out_;
  RecordingControl& recorder_;
  std::optional<std::string> currentPath_;  // of the last start carried out
  bool stopped_ = false;
};

}  // namespace

int runControlLoop(LineSource& in, ReplySink& out, RecordingControl& recorder) {
  ControlLoop loop(in, out, recorder);
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
