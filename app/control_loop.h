#pragma once

#include <istream>
#include <ostream>

#include "app/line_source.h"
#include "app/reply_sink.h"
#include "recorder/recording_control.h"

namespace kestrano {

// The line protocol: reads one command per line from `in`, carries it out on
// `recorder` and answers it with one flushed reply line on `out`:
//   "start <path>" -> "OK", or "ERR <description>" and the loop ends (also
//                     "ERR the path is not valid UTF-8", without calling
//                     start(), when the path had to be repaired);
//   "stop [...]"   -> "DONE <size> <path of the last start carried out>" and
//                     the loop ends;
//   "status"       -> "STATUS <idle|recording|paused> time=<s.mmm> bytes=<n>
//                     system=<dBFS> mic=<dBFS>" (a level is "-inf" for silence);
//   "pause", "resume", "mark <title>"
//                  -> "OK", or "ERR <description>" (the recording goes on);
//   anything else  -> "ERR unknown command".
// The loop also ends without a reply at end of input, when `in` asks it to
// finish (checked before each line, so after the reply of a command during
// which the request came), and when a reply cannot be written (the host has
// gone, or the sink gave up on a finish request; nothing more is written).
// Commands run through in.runCommand(): a finish request during start()
// calls recorder.cancelStart(), so the start fails promptly. Whenever it ends without having
// carried out "stop", it calls recorder.stop() once, so a recording still running is finished
// rather than lost. Returns the exit status, 0.
int runControlLoop(LineSource& in, ReplySink& out, RecordingControl& recorder);

// The same over streams, for in-process runs.
int runControlLoop(std::istream& in, std::ostream& out, RecordingControl& recorder);

}  // namespace kestrano
