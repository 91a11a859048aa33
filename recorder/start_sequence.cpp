// start(): the steps that set a recording running, in their fixed order. A
// failing step ends the start with its error; once the writer is writing, a
// failure also stops the capture if it runs and cancels the writer, so that
// no header-only file is left behind and nothing keeps running. Each wait for
// a platform completion has a deadline (recorder.h) and ends at once when
// cancelStart() is called.
#include <chrono>
#include <utility>

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
std::optional<T> awaitCompletion(CompletionWait<T>& wait, std::chrono::milliseconds limit,
                                 WaitCancellation& cancellation, const char* what,
                                 std::optional<Error>& error) {
  std::optional<T> result = wait.waitFor(limit, cancellation);
  if (!result) {
    error = cancellation.cancelled() ? startCancelledError()
                                     : platformDidNotAnswerError(what, limit);
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

// Undoes a start that fails after the writer began writing, when it goes
// out of scope without dismiss(): stops the capture stream (if it was
// started) and waits for that, clears the stream field, and cancels the
// writer, which removes its file. The writer and its inputs stay in their
// fields: a sample callback may still be queued and reads them.
class FailedStartCleanup {
 public:
  FailedStartCleanup(std::shared_ptr<AssetWriter> writer, std::shared_ptr<Stream>& streamField)
      : writer_(std::move(writer)), streamField_(streamField) {}
  ~FailedStartCleanup() {
    if (dismissed_) {
      return;
    }
    if (runningStream_) {
      CompletionWait<std::optional<Error>> stopWait;
      runningStream_->stopCapture(stopWait.deliverer());
      (void)stopWait.wait();
    }
    streamField_.reset();
    writer_->cancelWriting();
  }
  FailedStartCleanup(const FailedStartCleanup&) = delete;
  FailedStartCleanup& operator=(const FailedStartCleanup&) = delete;

  void captureStarted(std::shared_ptr<Stream> stream) { runningStream_ = std::move(stream); }
  void dismiss() { dismissed_ = true; }

 private:
  const std::shared_ptr<AssetWriter> writer_;
  std::shared_ptr<Stream>& streamField_;
  std::shared_ptr<Stream> runningStream_;
  bool dismissed_ = false;
};

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

  // Step 3: the shareable content.
  CompletionWait<ContentResult> contentWait;
  platform_.screenCapture->getShareableContent(
      [deliver = contentWait.deliverer()](std::optional<ShareableContent> content,
                                          std::optional<Error> error) {
        deliver(ContentResult{std::move(content), std::move(error)});
      });
  std::optional<Error> waitError;
  std::optional<ContentResult> contentAnswer =
      awaitCompletion(contentWait, deadlines_.shareableContent, startCancellation_,
                      "the screen capture did not list the displays", waitError);
  if (!contentAnswer) {
    return waitError;
  }
  ContentResult& contentResult = *contentAnswer;
  if (contentResult.error) {
    return contentResult.error;
  }

  // Step 4: the first display listed, nothing cleverer.
  if (!contentResult.content || contentResult.content->displays.empty()) {
    return noDisplayError();
  }
  const Display display = contentResult.content->displays.front();

  // Step 5: the whole display, no window excluded.
  const ContentFilter filter(display, {});

  // Step 6: the frame height, from the display's size.
  const std::optional<std::int64_t> height = frameHeight(display.width, display.height);
  if (!height) {
    return displayHasNoSizeError();
  }

  // Step 7: the stream configuration.
  const StreamConfiguration configuration = makeStreamConfiguration(*height);

  // Step 8: the MPEG-4 writer.
  MediaWriterFactory& writers = *platform_.mediaWriter;
  std::optional<Error> writerError;
  std::shared_ptr<AssetWriter> writer = writers.makeWriter(url, FileType::mpeg4, writerError);
  if (!writer) {
    return writerError ? std::move(writerError) : platformObjectMissingError("file writer");
  }

  // Steps 9-11: video, system audio, microphone, added in that order.
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

  // Step 12: start writing.
  if (!writer->startWriting()) {
    if (std::optional<Error> error = writer->error()) {
      return error;
    }
    return writerStartFailedError();
  }

  FailedStartCleanup cleanup(writer, stream_);

  // Step 13: stored before any producer exists, so both find them set.
  assetWriter_ = writer;
  videoInput_ = video;
  systemAudioInput_ = systemAudio;
  micInput_ = mic;

  // Steps 14-17: the stream, with this recorder as delegate and as the output
  // of both sample types on the one serial queue.
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

  // Step 18: start the capture.
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
  cleanup.captureStarted(stream);

  // Step 19: the engine and the microphone's own format.
  std::shared_ptr<AudioEngine> engine = platform_.audio->makeEngine();
  std::shared_ptr<AudioInputNode> node = engine ? engine->inputNode() : nullptr;
  if (!node) {
    return platformObjectMissingError("audio engine");
  }
  const AudioFormat inputFormat = node->outputFormatForBus(kMicrophoneTapBus);

  // Steps 20-21: the target format and a converter, which may not exist.
  const AudioFormat targetFormat = microphoneTargetFormat();
  std::shared_ptr<AudioConverter> converter =
      platform_.audio->makeConverter(inputFormat, targetFormat);

  // Step 22: the tap delivers in the microphone's own format; the block
  // converts. It reaches the recorder only weakly.
  MicrophoneTap tap{weak_from_this(), std::move(converter), targetFormat, inputFormat};
  node->installTapOnBus(kMicrophoneTapBus, kMicrophoneTapBufferFrames, inputFormat,
                        [tap = std::move(tap)](const PcmBuffer& buffer, const AudioTime&) {
                          if (std::shared_ptr<Recorder> self = tap.recorder.lock()) {
                            self->handleMicrophoneBuffer(tap, buffer);
                          }
                        });

  // Steps 23-24: start the engine; it is kept only once it runs.
  if (std::optional<Error> error = engine->startAndReturnError()) {
    return error;
  }
  audioEngine_ = engine;
  cleanup.dismiss();
  return std::nullopt;
}

}  // namespace kestrano
