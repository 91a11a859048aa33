#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/error.h"
#include "platform/media_sample.h"
#include "platform/media_time.h"
#include "platform/serial_queue.h"

namespace kestrano {

// One display as the capture service lists it. x and y place it in the
// service's global coordinates (needed to capture the right rectangle);
// width and height are its size as the service reports it.
struct Display {
  std::uint32_t displayID = 0;
  std::int64_t x = 0;
  std::int64_t y = 0;
  std::int64_t width = 0;
  std::int64_t height = 0;
};

struct ShareableContent {
  std::vector<Display> displays;  // in the service's order; may be empty
};

using WindowID = std::uint32_t;

// What a stream captures: one whole display, less the excluded windows.
struct ContentFilter {
  ContentFilter(Display display, std::vector<WindowID> excludingWindows)
      : display(display), excludedWindows(std::move(excludingWindows)) {}
  Display display;
  std::vector<WindowID> excludedWindows;
};

// Stream settings; the fields appear in the order the recorder sets them.
struct StreamConfiguration {
  std::int64_t width = 0;   // delivered frame width in pixels
  std::int64_t height = 0;  // delivered frame height in pixels
  MediaTime minimumFrameInterval = MediaTime::make(1, 60);
  std::int64_t queueDepth = 3;  // frames held by the stream and not yet returned by the handler
  bool showsCursor = true;
  bool capturesAudio = false;
  std::int64_t sampleRate = 48000;
  std::int64_t channelCount = 2;
  bool excludesCurrentProcessAudio = false;
};

// Raw values: screen 0, audio 1. Other values can arrive and must be ignored.
enum class StreamOutputType : std::int64_t { screen = 0, audio = 1 };

class Stream;

// Receives a stream's samples, on the queue given with addStreamOutput, one at
// a time, in delivery order. Screen samples carry video frames (with the frame
// status in their first attachment dictionary); audio samples carry PCM.
class StreamOutput {
 public:
  virtual ~StreamOutput() = default;
  virtual void streamDidOutputSampleBuffer(Stream& stream, std::shared_ptr<MediaSample> sample,
                                           StreamOutputType type) = 0;
};

// Told when a stream stops by itself with an error, on a thread of the
// service's choosing.
class StreamDelegate {
 public:
  virtual ~StreamDelegate() = default;
  virtual void streamDidStopWithError(Stream& stream, const Error& error) = 0;
};

using ErrorCompletion = std::function<void(std::optional<Error>)>;

// A capture stream. Completions are called exactly once, on any thread,
// possibly before the call that takes them returns. The stream holds its
// outputs and delegate weakly.
class Stream {
 public:
  virtual ~Stream() = default;

  virtual std::optional<Error> addStreamOutput(std::weak_ptr<StreamOutput> output,
                                               StreamOutputType type,
                                               std::shared_ptr<SerialQueue> sampleHandlerQueue) = 0;
  virtual void startCapture(ErrorCompletion completion) = 0;
  // After the completion (without error) no further sample reaches the
  // outputs, and every sample handed to the queue before has been delivered.
  virtual void stopCapture(ErrorCompletion completion) = 0;
};

class ScreenCaptureService {
 public:
  virtual ~ScreenCaptureService() = default;

  using ContentCompletion =
      std::function<void(std::optional<ShareableContent>, std::optional<Error>)>;
  // Called exactly once with the content or with an error.
  virtual void getShareableContent(ContentCompletion completion) = 0;
  // Whether the listing may wait for the user's answer to a consent question
  // (a picker on screen). Such a wait must not run into a deadline: a user
  // may take their time. It still ends when the start is abandoned.
  virtual bool listingWaitsForUser() const { return false; }

  virtual std::shared_ptr<Stream> makeStream(const ContentFilter& filter,
                                             const StreamConfiguration& configuration,
                                             std::weak_ptr<StreamDelegate> delegate) = 0;
};

}  // namespace kestrano
