#include <unistd.h>

#include <csignal>
#include <iostream>
#include <memory>

#include "app/command_line.h"
#include "app/control_loop.h"
#include "app/descriptor_line_source.h"
#include "app/descriptor_reply_sink.h"
#include "app/termination_signals.h"
#include "platform/linux/linux_platform.h"
#include "recorder/recorder.h"

namespace kestrano {

// The process entry: one Recorder for the life of the process, driven by the
// host over standard input and output.
struct Main {
  static int main() {
    // A host that closes its end of our standard output must not kill us in
    // the middle of finishing a file: the failed write ends the loop instead.
    std::signal(SIGPIPE, SIG_IGN);
    // Before the Recorder: its threads must inherit the blocked signals.
    TerminationSignals signals;

    const std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>(makeLinuxPlatform());
    DescriptorLineSource input(STDIN_FILENO, signals);
    DescriptorReplySink output(STDOUT_FILENO, signals);
    return runControlLoop(input, output, *recorder);
  }
};

}  // namespace kestrano

int main(int argc, char** argv) {
  if (std::optional<int> status = kestrano::answerCommandLine(argc, argv, std::cout, std::cerr)) {
    return *status;
  }
  return kestrano::Main::main();
}
