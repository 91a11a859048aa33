#include "tests/fake/fake_media_writer.h"

#include <thread>

namespace kestrano::fake {

void FakeWriterInput::setExpectsMediaDataInRealTime(bool realTime) {
  log_->add("input.realTime " + label_);
  std::lock_guard lock(mutex_);
  realTime_ = realTime;
}

bool FakeWriterInput::acceptsNow() const {
  auto writer = writer_.lock();
  return !finished_ && writer && writer->status() == WriterStatus::writing;
}

bool FakeWriterInput::isReadyForMoreMediaData() const {
  if (refusals_.load() > 0) {
    refusals_.fetch_sub(1);
    return false;
  }
  std::lock_guard lock(mutex_);
  return ready_.load() && acceptsNow();
}

bool FakeWriterInput::appendSampleBuffer(std::shared_ptr<MediaSample> sample) {
  log_->add("input.append " + label_);
  std::shared_ptr<FakeAssetWriter> writer;
  {
    std::lock_guard lock(mutex_);
    writer = writer_.lock();
  }
  // Asked outside this input's lock: the writer's lock is never taken inside it.
  bool sessionStarted = writer && writer->sessionStarted();
  std::lock_guard lock(mutex_);
  if (!ready_.load() || !acceptsNow()) {
    ++refused_;
    return false;
  }
  appended_.push_back(Appended{std::move(sample), sessionStarted});
  return true;
}

void FakeWriterInput::markAsFinished() {
  log_->add("input.markAsFinished " + label_);
  std::lock_guard lock(mutex_);
  finished_ = true;
}

bool FakeWriterInput::expectsRealTime() const {
  std::lock_guard lock(mutex_);
  return realTime_;
}

bool FakeWriterInput::finished() const {
  std::lock_guard lock(mutex_);
  return finished_;
}

std::vector<FakeWriterInput::Appended> FakeWriterInput::appended() const {
  std::lock_guard lock(mutex_);
  return appended_;
}

std::size_t FakeWriterInput::appendedCount() const {
  std::lock_guard lock(mutex_);
  return appended_.size();
}

int FakeWriterInput::refusedCount() const {
  std::lock_guard lock(mutex_);
  return refused_;
}

void FakeWriterInput::attachTo(const std::shared_ptr<FakeAssetWriter>& writer) {
  std::lock_guard lock(mutex_);
  writer_ = writer;
}

void FakeAssetWriter::addInput(std::shared_ptr<AssetWriterInput> input) {
  auto fakeInput = std::dynamic_pointer_cast<FakeWriterInput>(input);
  log_->add("writer.addInput " + (fakeInput ? fakeInput->label() : std::string("?")));
  if (fakeInput) {
    fakeInput->attachTo(shared_from_this());
    std::lock_guard lock(mutex_);
    inputs_.push_back(fakeInput);
  }
}

bool FakeAssetWriter::startWriting() {
  log_->add("writer.startWriting");
  std::lock_guard lock(mutex_);
  if (!script_.startWritingSucceeds) {
    status_ = WriterStatus::failed;
    error_ = script_.startWritingError;
    return false;
  }
  status_ = WriterStatus::writing;
  return true;
}

WriterStatus FakeAssetWriter::status() const {
  std::lock_guard lock(mutex_);
  return status_;
}

std::optional<Error> FakeAssetWriter::error() const {
  std::lock_guard lock(mutex_);
  return error_;
}

void FakeAssetWriter::startSessionAtSourceTime(MediaTime time) {
  log_->add("writer.startSession " + std::to_string(time.value) + "/" +
            std::to_string(time.timescale));
  if (script_.sessionStartDuration.count() > 0) {
    std::this_thread::sleep_for(script_.sessionStartDuration);
  }
  std::lock_guard lock(mutex_);
  sessionStarts_.push_back(time);
}

void FakeAssetWriter::finishWriting(std::function<void()> completion) {
  log_->add("writer.finishWriting");
  {
    std::lock_guard lock(mutex_);
    if (status_ == WriterStatus::writing) {
      status_ = WriterStatus::completed;
    }
  }
  delivery_->deliver([log = log_, completion = std::move(completion)] {
    log->add("writer.finishCompletion");
    completion();
  });
}

void FakeAssetWriter::fail() {
  std::lock_guard lock(mutex_);
  status_ = WriterStatus::failed;
  error_ = Error{"fake.writer", 99, "encoder failed"};
}

std::vector<std::shared_ptr<FakeWriterInput>> FakeAssetWriter::inputs() const {
  std::lock_guard lock(mutex_);
  return inputs_;
}

std::vector<MediaTime> FakeAssetWriter::sessionStarts() const {
  std::lock_guard lock(mutex_);
  return sessionStarts_;
}

bool FakeAssetWriter::sessionStarted() const {
  std::lock_guard lock(mutex_);
  return !sessionStarts_.empty();
}

std::shared_ptr<AssetWriter> FakeMediaWriterFactory::makeWriter(const std::string& url, FileType,
                                                                std::optional<Error>& error) {
  log_->add("writer.make " + url);
  if (makeWriterError) {
    error = makeWriterError;
    return nullptr;
  }
  auto writer = std::make_shared<FakeAssetWriter>(log_, delivery_, url, writerScript);
  std::lock_guard lock(mutex_);
  writer_ = writer;
  return writer;
}

std::shared_ptr<AssetWriterInput> FakeMediaWriterFactory::makeInput(
    MediaType mediaType, const OutputSettings& outputSettings) {
  std::lock_guard lock(mutex_);
  // Labels tell the two audio inputs apart: video#0, audio#1, audio#2.
  std::string label = std::string(mediaType == MediaType::video ? "video" : "audio") + "#" +
                      std::to_string(inputs_.size());
  log_->add("input.make " + label);
  auto input = std::make_shared<FakeWriterInput>(log_, label, mediaType, outputSettings);
  inputs_.push_back(input);
  return input;
}

std::shared_ptr<FakeAssetWriter> FakeMediaWriterFactory::writer() const {
  std::lock_guard lock(mutex_);
  return writer_;
}

std::vector<std::shared_ptr<FakeWriterInput>> FakeMediaWriterFactory::inputsMade() const {
  std::lock_guard lock(mutex_);
  return inputs_;
}

}  // namespace kestrano::fake
