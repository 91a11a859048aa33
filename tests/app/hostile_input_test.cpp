// Input no host should send, through the process's own line source: each
// line still gets exactly one one-line reply, and the loop goes on.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>

#include "app/control_loop.h"
#include "app/descriptor_line_source.h"
#include "app/termination_signals.h"
#include "tests/app/scripted_recording.h"
#include "tests/app/test_pipe.h"

namespace kestrano {
namespace {

using namespace std::string_literals;
using testing::ScriptedRecording;

struct LoopRun {
  std::string output;
  std::vector<std::string> calls;
};

// Feeds `input` through a pipe from another thread, as a host would, while
// the loop reads it from the other end.
LoopRun runThroughPipe(const std::string& input) {
  static TerminationSignals signals;  // never raised here; blocks them before any thread
  Pipe pipe = makePipe();
  std::thread host([&] {
    writeSome(pipe.write.get(), input);
    pipe.write.reset();
  });
  DescriptorLineSource lines(pipe.read.get(), signals);
  std::ostringstream out;
  StreamReplySink replies(out);
  ScriptedRecording recorder;
  runControlLoop(lines, replies, recorder);
  pipe.read.reset();  // a loop that stopped early must not leave the host blocked
  host.join();
  return {out.str(), recorder.calls};
}

std::string repeat(const std::string& line, int times) {
  std::string all;
  for (int i = 0; i < times; ++i) {
    all += line;
  }
  return all;
}

TEST(HostileInput, MultiMegabyteLinesAreUnknownCommandsAndTheLoopGoesOn) {
  const std::string huge(8 * 1024 * 1024, 'x');
  const LoopRun run = runThroughPipe("start /" + huge + "\n" + huge + "\r\n" + "stop " + huge +
                                     "\nstart ok.mp4\nstop\n");
  EXPECT_EQ(run.output,
            "ERR unknown command\nERR unknown command\nERR unknown command\n"
            "OK\nDONE 0 ok.mp4\n");
  EXPECT_EQ(run.calls, (std::vector<std::string>{"start ok.mp4", "stop"}));
}

TEST(HostileInput, NulBytesAndBrokenUtf8StayInsideOneLine) {
  const LoopRun run = runThroughPipe("\0\0\0\n"s + "sto\0p\n"s + "\xFF\xFE\xC0\xAF\n" +
                                     "start \xEF\xBF\xBD\n" + "stop\xE2\x80\xA8\n" +
                                     "stop\n");
  EXPECT_EQ(run.output, repeat("ERR unknown command\n", 3) + "OK\n" +
                            "ERR unknown command\nDONE 0 \xEF\xBF\xBD\n");
}

TEST(HostileInput, ABurstOfThousandsOfLinesGetsOneReplyEach) {
  constexpr int kLines = 20000;  // a few hundred kilobytes: many pipe refills
  const LoopRun run = runThroughPipe(repeat("bogus command\r\n", kLines) + "stop\n");
  EXPECT_EQ(run.output, repeat("ERR unknown command\n", kLines) + "DONE 0 \n");
}

}  // namespace
}  // namespace kestrano
