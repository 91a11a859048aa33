#include "recorder/recorder.h"

#include <utility>

namespace kestrano {
namespace {

// The thread of the serial queue on which the stream delivers its samples.
constexpr const char* kSampleThreadName = "kestrano-sample";

}  // namespace

// Makes only the sample queue; every platform object comes with start().
Recorder::Recorder(Platform platform, StartDeadlines deadlines)
    : platform_(std::move(platform)),
      deadlines_(deadlines),
      queue_(std::make_shared<SerialQueue>(kSampleThreadName)) {}

// Releases the fields and stops nothing.
Recorder::~Recorder() = default;

}  // namespace kestrano
