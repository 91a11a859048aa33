#include <csignal>
#include <iostream>
#include <memory>

#include "app/control_loop.h"
#include "recorder/recorder.h"

namespace kestrano {

// The process entry: one Recorder for the life of the process, driven by the
// host over standard input and output.
struct Main {
  static int main() {
    // A host that closes its end of our standard output must not kill us in
    // the middle of finishing a file; failed writes are simply not examined.
    std::signal(SIGPIPE, SIG_IGN);

    const std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
    return runControlLoop(std::cin, std::cout, *recorder);
  }
};

}  // namespace kestrano

int main() {
  return kestrano::Main::main();
}
