#include "app/command_line.h"

#include <string_view>

namespace kestrano {
namespace {

// Kept short: the manual page and the README hold the whole protocol.
constexpr std::string_view kUsage =
    "Usage: KestranoRecorder [--help | --version]\n"
    "\n"
    "Records one display, the system's audio output and the default microphone\n"
    "into one MP4 file (H.264 video, two AAC tracks). A host application starts\n"
    "it without arguments and drives it over standard input and output, one\n"
    "command per line, one reply line per command:\n"
    "\n"
    "  start PATH   record into PATH        reply: OK, or ERR <description>\n"
    "  stop         finish the file, exit   reply: DONE <size in bytes> <PATH>\n"
    "\n"
    "End of input, SIGTERM, SIGINT and SIGHUP finish a running recording too.\n"
    "More in KestranoRecorder(1) and in README.md.gz, installed under\n"
    "share/doc/kestrano-recorder.\n";

}  // namespace

std::optional<int> answerCommandLine(int argc, const char* const* argv, std::ostream& out,
                                     std::ostream& err) {
  if (argc <= 1) {
    return std::nullopt;
  }
  const std::string_view first = argv[1];
  if (argc == 2 && first == "--help") {
    out << kUsage << std::flush;
    return 0;
  }
  if (argc == 2 && first == "--version") {
    out << "KestranoRecorder " << KESTRANO_VERSION << '\n' << std::flush;
    return 0;
  }
  err << kUsage << std::flush;
  return 2;
}

}  // namespace kestrano
