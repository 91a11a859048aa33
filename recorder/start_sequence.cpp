// start(): what sets a recording running, in a fixed order: the display, the
// writer with its three inputs, the capture, then the microphone. A failing
// step ends the start with its error; once the writer is writing, a
// failure also stops the capture if it runs and cancels the writer, so that
// no header-only file is left behind and nothing keeps running. Each wait for
// a platform completion has a deadline (recorder.h), except for the user's
// consent, and ends at once when cancelStart() is called.
#include <chrono>
#include <utility>

#include "platform/scope_guard.h"
#include "recorder/capture_settings.h"
#include "recorder/completion_wait.h"
#include "recorder/microphone_tap.h"
#include "recorder/recorder.h"
#include "recorder/recorder_errors.h"

namespace kestrano {
namespace {

struct ContentResult {
  std::optional<ShareableContent> content;
  std::optional<Error> error;
};

// Waits for a platform completion within `limit`; `what` names what did not
// happen when it does not come. The error is the cancellation's when the
// start was abandoned.
template <typename T>
std::optional<T> awaitCompletion(CompletionWait<T>& wait,
                                 std::optional<std::chrono::milliseconds> limit,
                                 WaitCancellation& cancellation, const char* what,
                                 std::optional<Error>& error) {
  std::optional<T> result = wait.waitFor(limit, cancellation);
  if (!result) {
    error = cancellation.cancelled() ? startCancelledError()
                                     : platformDidNotAnswerError(what, limit.value());
  }
  return result;
}

// A writer input set up as every input of a recording is.
std::shared_ptr<AssetWriterInput> makeRealTimeInput(MediaWriterFactory& factory, MediaType type,
                                                    const OutputSettings& settings) {
  auto input = factory.makeInput(type, settings);
  if (input) {
    input->setExpectsMediaDataInRealTime(true);
  }
  return input;
}

}  // namespace

std::optional<Error> Recorder::start(const std::string& path) {
  // A second start would replace the running recording's objects without
  // stopping them; refuse it before anything is touched.
  if (assetWriter_) {
    return recordingInProgressError();
  }
  // Abandoned before it began: nothing is touched.
  if (startCancellation_.cancelled()) {
    return startCancelledError();
  }

  // The URL, and the file or link that was there goes. Nothing there, or a
  // removal that fails, is for the writer to report; an item that is not a
  // file (device, socket, FIFO, directory) is never replaced.
  const std::string url = platform_.fileSystem->fileUrlWithPath(path);
  if (std::optional<Error> error = platform_.fileSystem->removeItemAtUrl(url);
      error && isNotRegularFileError(*error)) {
    return error;
  }

  // The displays the capture can record.
  CompletionWait<ContentResult> contentWait;
  platform_.screenCapture->getShareableContent(
      [deliver = contentWait.deliverer()](std::optional<ShareableContent> content,
                                          std::optional<Error> error) {
        deliver(ContentResult{std::move(content), std::move(error)});
      });
  std::optional<Error> waitError;
  // A user answering a consent question gets no deadline, only the host's
  // signals to end the wait.
  const std::optional<std::chrono::milliseconds> contentLimit =
      platform_.screenCapture->listingWaitsForUser() ? std::nullopt
                                                     : std::optional(deadlines_.shareableContent);
  std::optional<ContentResult> contentAnswer =
      awaitCompletion(contentWait, contentLimit, startCancellation_,
                      "the screen capture did not list the displays", waitError);
  if (!contentAnswer) {
    return waitError;
  }
  ContentResult& contentResult = *contentAnswer;
  if (contentResult.error) {
    return contentResult.error;
  }

  // The first display listed: the host gives no choice, so nothing cleverer.
  if (!contentResult.content || contentResult.content->displays.empty()) {
    return noDisplayError();
  }
  const Display display = contentResult.content->displays.front();

  // The whole display, no window excluded.
  const ContentFilter filter(display, {});

  // The height of the recorded frames, from the display's size.
  const std::optional<std::int64_t> height = frameHeight(display.width, display.height);
  if (!height) {
    return displayHasNoSizeError();
  }

  // How the capture delivers: frame size and rate, system audio format.
  const StreamConfiguration configuration = makeStreamConfiguration(*height);

  // The MPEG-4 writer for the path.
  MediaWriterFactory& writers = *platform_.mediaWriter;
  std::optional<Error> writerError;
  std::shared_ptr<AssetWriter> writer = writers.makeWriter(url, FileType::mpeg4, writerError);
  if (!writer) {
    return writerError ? std::move(writerError) : platformObjectMissingError("file writer");
  }

  // Video, system audio, microphone, then the host's marks: the order of the
  // file's tracks.
  const AudioOutputSettings audioSettings = makeAudioOutputSettings();
  auto video = makeRealTimeInput(writers, MediaType::video, makeVideoOutputSettings(*height));
  if (!video) {
    return platformObjectMissingError("video input");
  }
  writer->addInput(video);
  auto systemAudio = makeRealTimeInput(writers, MediaType::audio, audioSettings);
  if (!systemAudio) {
    return platformObjectMissingError("system audio input");
  }
  writer->addInput(systemAudio);
  auto mic = makeRealTimeInput(writers, MediaType::audio, audioSettings);
  if (!mic) {
    return platformObjectMissingError("microphone input");
  }
  writer->addInput(mic);
  auto chapters = makeRealTimeInput(writers, MediaType::text, ChapterListSettings{});
  if (!chapters) {
    return platformObjectMissingError("chapter input");
  }
  writer->addInput(chapters);

  if (!writer->startWriting()) {
    if (std::optional<Error> error = writer->error()) {
      return error;
    }
    return writerStartFailedError();
  }

  // Undoes the start when it fails from here on: stops the capture (once it
  // was started) and waits for that, clears the stream field and cancels the
  // writer. The writer and its inputs stay in their fields: a sample callback
  // may still be queued and reads them.
  std::shared_ptr<Stream> startedStream;
  ScopeGuard undoStart([this, &writer, &startedStream] {
    if (startedStream) {
      CompletionWait<std::optional<Error>> stopWait;
      startedStream->stopCapture(stopWait.deliverer());
      // The start's own error is what the host hears; a stop error adds nothing.
      stopWait.wait();
    }
    stream_.reset();
    writer->cancelWriting();
  });

  // Stored before any producer exists, so both find them set.
  assetWriter_ = writer;
  videoInput_ = video;
  systemAudioInput_ = systemAudio;
  micInput_ = mic;
  chapterInput_ = chapters;

  // The stream, with this recorder as its delegate and as the output of both
  // sample types, on the one serial queue so that they reach the writer in order.
  std::shared_ptr<Stream> stream =
      platform_.screenCapture->makeStream(filter, configuration, weak_from_this());
  if (!stream) {
    return platformObjectMissingError("capture stream");
  }
  if (auto error = stream->addStreamOutput(weak_from_this(), StreamOutputType::screen, queue_)) {
    return error;
  }
  if (auto error = stream->addStreamOutput(weak_from_this(), StreamOutputType::audio, queue_)) {
    return error;
  }
  stream_ = stream;

  // Start the capture and wait for it: a capture that cannot start fails the
  // start here, before the microphone is touched.
  CompletionWait<std::optional<Error>> captureWait;
  stream->startCapture(captureWait.deliverer());
  std::optional<std::optional<Error>> captureAnswer =
      awaitCompletion(captureWait, deadlines_.captureStart, startCancellation_,
                      "the screen capture did not start", waitError);
  if (!captureAnswer) {
    return waitError;
  }
  if (*captureAnswer) {
    return *captureAnswer;
  }
  startedStream = stream;

  // The microphone's engine and the format it delivers in.
  std::shared_ptr<AudioEngine> engine = platform_.audio->makeEngine();
  std::shared_ptr<AudioInputNode> node = engine ? engine->inputNode() : nullptr;
  if (!node) {
    return platformObjectMissingError("audio engine");
  }
  const AudioFormat inputFormat = node->outputFormatForBus(kMicrophoneTapBus);

  // The format the microphone track takes, and a converter to it (none when
  // the platform has none for these formats: then the tap drops every buffer).
  const AudioFormat targetFormat = microphoneTargetFormat();
  std::shared_ptr<AudioConverter> converter =
      platform_.audio->makeConverter(inputFormat, targetFormat);

  // The tap delivers in the microphone's own format and the block converts;
  // it reaches the recorder only weakly.
  MicrophoneTap tap{weak_from_this(), std::move(converter), targetFormat, inputFormat};
  node->installTapOnBus(kMicrophoneTapBus, kMicrophoneTapBufferFrames, inputFormat,
                        [tap = std::move(tap)](const PcmBuffer& buffer, const AudioTime& when) {
                          if (std::shared_ptr<Recorder> self = tap.recorder.lock()) {
                            self->handleMicrophoneBuffer(tap, buffer, when);
                          }
                        });

  // Start the engine; it is kept only once it runs.
  if (std::optional<Error> error = engine->startAndReturnError()) {
    return error;
  }
  audioEngine_ = engine;
  undoStart.dismiss();
  return std::nullopt;
}

}  // namespace kestrano
