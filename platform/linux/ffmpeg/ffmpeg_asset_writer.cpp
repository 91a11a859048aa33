#include "platform/linux/ffmpeg/ffmpeg_asset_writer.h"

#include <algorithm>

#include "platform/linux/ffmpeg/mp4_finalizer.h"
#include "platform/linux/ffmpeg/writer_errors.h"

namespace kestrano::ffmpeg {

FfmpegAssetWriter::FfmpegAssetWriter(std::string path)
    : path_(std::move(path)), state_(std::make_shared<WriterState>()) {}

FfmpegAssetWriter::~FfmpegAssetWriter() {
  // Dropped without finishing: what was muxed stays as a fragmented file,
  // closed cleanly. Nobody is left to hear of a failure.
  MutexLock lock(controlMutex_);
  stopWorkersLocked();
  if (muxer_) {
    (void)muxer_->finish();
  }
  state_->status.store(WriterStatus::cancelled, std::memory_order_release);
}

void FfmpegAssetWriter::addInput(std::shared_ptr<AssetWriterInput> input) {
  auto own = std::dynamic_pointer_cast<FfmpegWriterInput>(input);
  MutexLock lock(controlMutex_);
  if (!own || state_->status.load(std::memory_order_acquire) != WriterStatus::unknown ||
      !own->attach(state_)) {
    return;  // not ours, too late, or already part of a writer
  }
  tracks_.push_back(Track{std::move(own), nullptr, nullptr, nullptr, nullptr});
}

WriterStatus FfmpegAssetWriter::status() const {
  return state_->status.load(std::memory_order_acquire);
}

std::optional<Error> FfmpegAssetWriter::error() const {
  MutexLock lock(errorMutex_);
  return error_;
}

void FfmpegAssetWriter::fail(const Error& error) {
  {
    MutexLock lock(errorMutex_);
    if (!error_) {
      error_ = error;
    }
  }
  WriterStatus writing = WriterStatus::writing;
  state_->status.compare_exchange_strong(writing, WriterStatus::failed, std::memory_order_acq_rel);
}

bool FfmpegAssetWriter::startFailed(const Error& error) {
  {
    MutexLock lock(errorMutex_);
    error_ = error;
  }
  state_->status.store(WriterStatus::failed, std::memory_order_release);
  return false;
}

bool FfmpegAssetWriter::startWriting() {
  MutexLock lock(controlMutex_);
  if (state_->status.load(std::memory_order_acquire) != WriterStatus::unknown) {
    return false;
  }
  if (tracks_.empty()) {
    return startFailed(
        writerError(WriterErrorCode::noInputs, "Cannot write " + path_ + ": no inputs"));
  }
  std::optional<Error> e;
  muxer_ = FragmentedMuxer::create(path_, e);
  if (!muxer_) {
    return startFailed(*e);
  }
  for (Track& t : tracks_) {
    if (!t.input->settingsMatchMediaType()) {
      return startFailed(writerError(
          WriterErrorCode::openFailed,
          "Cannot write " + path_ + ": an input's settings do not match its media type"));
    }
    int stream = -1;
    if (const auto* video = std::get_if<VideoOutputSettings>(&t.input->settings())) {
      t.video = VideoTrackEncoder::create(*video, muxer_->wantsGlobalHeaders(), e);
      stream = t.video ? muxer_->addStream(t.video->codec()) : -1;
    } else if (const auto* audio = std::get_if<AudioOutputSettings>(&t.input->settings())) {
      t.audio = AudioTrackEncoder::create(*audio, muxer_->wantsGlobalHeaders(), e);
      stream = t.audio ? muxer_->addStream(t.audio->codec()) : -1;
    } else {
      t.text = std::make_unique<ChapterTrackEncoder>();
      t.text->setSink([muxer = muxer_.get()](std::int64_t ms, std::string_view title) {
        return muxer->writeChapter(ms, title);
      });
      muxer_->addChapterTrack();
      continue;  // not one of libavformat's streams
    }
    if (e) {
      return startFailed(*e);
    }
    if (stream < 0) {
      return startFailed(
          writerError(WriterErrorCode::openFailed, "Cannot add a track to " + path_));
    }
    PacketSink sink = [muxer = muxer_.get(), stream](AVPacket& packet, AVRational timeBase) {
      return muxer->write(stream, packet, timeBase);
    };
    if (t.video) {
      t.video->setSink(std::move(sink));
    } else {
      t.audio->setSink(std::move(sink));
    }
  }
  file_ = OutputFile::create(path_, OutputFile::Disposition::createNew, e);
  if (!file_) {
    return startFailed(*e);
  }
  if (auto openError = muxer_->open(*file_)) {
    return startFailedAfterOpen(*openError);
  }
  for (Track& t : tracks_) {
    TrackWorker::Encode encode;
    if (t.video) {
      encode = [this, video = t.video.get()](const std::shared_ptr<MediaSample>& sample) {
        return video->encode(sample, state_->sessionStartNs.load(std::memory_order_acquire));
      };
    } else if (t.audio) {
      encode = [this, audio = t.audio.get()](const std::shared_ptr<MediaSample>& sample) {
        return audio->encode(*sample, state_->sessionStartNs.load(std::memory_order_acquire));
      };
    } else {
      encode = [this, text = t.text.get()](const std::shared_ptr<MediaSample>& sample) {
        return text->encode(*sample, state_->sessionStartNs.load(std::memory_order_acquire));
      };
    }
    t.worker = TrackWorker::create(
        t.input->queue(), std::move(encode), [this](const Error& error) { fail(error); }, e);
    if (!t.worker) {
      return startFailedAfterOpen(*e);
    }
  }
  state_->status.store(WriterStatus::writing, std::memory_order_release);
  return true;
}

bool FfmpegAssetWriter::startFailedAfterOpen(const Error& error) {
  stopWorkersLocked();
  muxer_.reset();
  file_->removeFromPath();
  file_.reset();
  return startFailed(error);
}

void FfmpegAssetWriter::startSessionAtSourceTime(MediaTime time) {
  MutexLock lock(controlMutex_);
  if (!time.valid || !state_->isWriting() ||
      state_->sessionStarted.load(std::memory_order_acquire)) {
    return;
  }
  state_->sessionStartNs.store(time.nanoseconds(), std::memory_order_release);
  state_->sessionStarted.store(true, std::memory_order_release);
}

void FfmpegAssetWriter::stopWorkersLocked() {
  for (Track& t : tracks_) {
    t.input->markAsFinished();
  }
  // Each worker drains its queue before its thread ends.
  for (Track& t : tracks_) {
    t.worker.reset();
  }
}

void FfmpegAssetWriter::finishEncodersLocked() {
  auto report = [this](std::optional<Error> e) {
    if (e) {
      fail(*e);
    }
  };
  // The track's end is where the longest of them ends.
  double end = 0;
  double soundEnd = 0;
  for (Track& t : tracks_) {
    if (t.audio && t.audio->hasAudio()) {
      report(t.audio->finish());
      soundEnd = std::max(soundEnd, t.audio->endSeconds());
    } else if (t.video) {
      end = std::max(end, t.video->naturalEndSeconds());
    }
  }
  end = std::max(end, soundEnd);
  for (Track& t : tracks_) {
    if (t.audio && !t.audio->hasAudio()) {
      // A source that never delivered (no microphone) gives a silent track,
      // so the file still has its three tracks in their order.
      report(t.audio->fillSilenceTo(end));
      report(t.audio->finish());
    } else if (t.video) {
      // The picture lasts until the sound ends (not a nominal frame beyond
      // it); without sound, for one nominal frame after the last one.
      report(t.video->finish(soundEnd > 0 ? soundEnd : end));
    }
  }
}

void FfmpegAssetWriter::finishWriting(std::function<void()> completion) {
  {
    MutexLock lock(controlMutex_);
    WriterStatus before = state_->status.load(std::memory_order_acquire);
    if (before == WriterStatus::writing || before == WriterStatus::failed) {
      stopWorkersLocked();
      if (state_->isWriting()) {
        finishEncodersLocked();
      }
      std::vector<FragmentedMuxer::StartShift> shifts;
      std::vector<std::int64_t> fragmentStarts;
      if (muxer_) {
        if (auto e = muxer_->finish()) {
          fail(*e);
        }
        shifts = muxer_->startShifts();
        fragmentStarts = muxer_->fragmentStarts();
        muxer_.reset();
      }
      bool videoMissing = std::any_of(tracks_.begin(), tracks_.end(), [](const Track& t) {
        return t.video && !t.video->hasFrames();
      });
      if (state_->isWriting()) {
        // Some players mishandle fragmented files, so a finished recording
        // becomes an ordinary MP4. An ordinary index cannot describe a track
        // without samples, so a recording without a single video frame stays
        // fragmented (it plays, and keeps its three tracks). If the finish
        // fails the fragmented file stays, complete and playable. A file that
        // another recording pushed off the path is not worth finishing.
        if (!videoMissing && file_->isAtPath()) {
          (void)finishInPlace(*file_, shifts, fragmentStarts);
        }
        if (file_->isAtPath()) {
          state_->status.store(WriterStatus::completed, std::memory_order_release);
        } else {
          // Another recording took the path; it stays, and this one is lost.
          fail(writerError(WriterErrorCode::writeFailed,
                           "Cannot finish " + path_ +
                               ": another file has taken its place, this recording is not kept"));
        }
      }
      outputAtUrl_.store(file_ && file_->isAtPath(), std::memory_order_release);
    }
  }
  if (completion) {
    completion();
  }
}

void FfmpegAssetWriter::cancelWriting() {
  MutexLock lock(controlMutex_);
  WriterStatus before = state_->status.load(std::memory_order_acquire);
  if (before == WriterStatus::completed || before == WriterStatus::cancelled) {
    return;
  }
  state_->status.store(WriterStatus::cancelled, std::memory_order_release);
  stopWorkersLocked();
  muxer_.reset();
  if (file_) {
    file_->removeFromPath();
    file_.reset();
  }
  outputAtUrl_.store(false, std::memory_order_release);
}

}  // namespace kestrano::ffmpeg
