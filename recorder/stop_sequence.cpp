// stop(): halts both producers, finishes the inputs and the writer, and
// reports the file's size. It never fails; every problem shows as size 0.
#include "recorder/capture_settings.h"
#include "recorder/completion_wait.h"
#include "recorder/file_size.h"
#include "recorder/recorder.h"

namespace kestrano {

std::int64_t Recorder::stop() {
  // The microphone first: no tap call runs once the tap is removed.
  if (audioEngine_) {
    audioEngine_->stop();
    if (std::shared_ptr<AudioInputNode> node = audioEngine_->inputNode()) {
      node->removeTapOnBus(kMicrophoneTapBus);
    }
  }
  audioEngine_.reset();

  // Then the capture; a stop error changes nothing below.
  if (std::shared_ptr<Stream> stream = stream_) {
    CompletionWait<std::optional<Error>> stopWait;
    stream->stopCapture(stopWait.deliverer());
    stopWait.wait();
  }
  stream_.reset();

  // Only now, with both producers halted, the inputs.
  for (const auto& input : {videoInput_, systemAudioInput_, micInput_, chapterInput_}) {
    if (input) {
      input->markAsFinished();
    }
  }

  // Then the writer.
  std::shared_ptr<AssetWriter> writer = assetWriter_;
  if (!writer) {
    return 0;
  }
  CompletionWait<bool> finished;
  writer->finishWriting([deliver = finished.deliverer()] { deliver(true); });
  finished.wait();

  // The size, read only after the file is complete, and only while the
  // path holds this recording: if another recording took the path, a size
  // would tell the host its recording is there.
  if (!writer->outputIsAtURL()) {
    return 0;
  }
  return fileSize(*platform_.fileSystem, writer->outputURL());
}

}  // namespace kestrano
