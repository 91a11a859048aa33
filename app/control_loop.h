#pragma once

#include <istream>
#include <ostream>

#include "recorder/recording_control.h"

namespace kestrano {

// The line protocol: reads one command per line from `in`, carries it out on
// `recorder` and answers it with one flushed reply line on `out`:
//   "start <path>" -> "OK", or "ERR <description>" and the loop ends;
//   "stop [...]"   -> "DONE <size> <path of the last start carried out>" and
//                     the loop ends;
//   anything else  -> "ERR unknown command".
// At end of input the loop ends without a reply. Whenever it ends without
// having carried out "stop", it calls recorder.stop() once, so a recording
// still running is finished rather than lost. Returns the exit status, 0.
int runControlLoop(std::istream& in, std::ostream& out, RecordingControl& recorder);

}  // namespace kestrano
