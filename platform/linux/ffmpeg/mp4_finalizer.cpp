#include "platform/linux/ffmpeg/mp4_finalizer.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/linux/ffmpeg/mp4_boxes.h"
#include "platform/linux/ffmpeg/mp4_fragment_index.h"
#include "platform/linux/ffmpeg/writer_errors.h"

extern "C" {
#include <libavutil/mathematics.h>
}

namespace kestrano::ffmpeg {
namespace {

// The finish's writes, with the test's budget: a write past it is cut where
// the budget ends and reported as `stopped`.
class FinishWrites {
 public:
  FinishWrites(int fd, std::int64_t budget) : fd_(fd), budget_(budget) {}
  bool stopped() const { return stopped_; }

  std::optional<std::string> write(const std::uint8_t* data, std::size_t size,
                                   std::uint64_t offset) {
    if (budget_ >= 0 && static_cast<std::int64_t>(size) > budget_) {
      size = static_cast<std::size_t>(budget_);
      stopped_ = true;
    }
    for (std::size_t done = 0; done < size;) {
      ssize_t n = ::pwrite(fd_, data + done, size - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n < 0) {
        return std::strerror(errno);
      }
      done += static_cast<std::size_t>(n);
    }
    if (budget_ >= 0) {
      budget_ -= static_cast<std::int64_t>(size);
    }
    return stopped_ ? std::optional<std::string>("stopped by the test's write budget")
                    : std::nullopt;
  }

 private:
  int fd_;
  std::int64_t budget_;
  bool stopped_ = false;
};

}  // namespace

std::optional<Error> finishInPlace(const OutputFile& file,
                                   const std::vector<FragmentedMuxer::StartShift>& shifts,
                                   const std::vector<std::int64_t>& fragmentStarts,
                                   const FinishOptions& options) {
  auto failed = [&](const std::string& why) {
    return writerError(WriterErrorCode::writeFailed, "Cannot finish " + file.path() + ": " + why);
  };
  mp4::FragmentedFile fragmented;
  if (auto e = mp4::readFragmentedFile(file.descriptor(), fragmented, fragmentStarts)) {
    return failed(e->description);
  }
  std::vector<std::int64_t> ticks;
  for (std::size_t i = 0; i < shifts.size() && i < fragmented.tracks.size(); ++i) {
    ticks.push_back(av_rescale_q(shifts[i].ticks, shifts[i].timeBase,
                                 {1, static_cast<int>(fragmented.tracks[i].header.timescale)}));
  }
  const std::vector<std::uint8_t> moov = mp4::buildMoov(fragmented, ticks, options.wideFrom);
  fragmented.tracks.clear();  // the tables are in the moov now

  FinishWrites writes(file.descriptor(), options.writeBudget);
  // The index goes after the fragments and reaches the disk first. Until the
  // header below changes, readers see the fragmented file with a second moov
  // after it, which they skip, as they skip a torn one.
  std::optional<std::string> e = writes.write(moov.data(), moov.size(), fragmented.end);
  std::optional<Error> synced = e ? std::nullopt : file.sync(true);
  if (e || synced) {
    if (!writes.stopped()) {
      file.truncateTo(static_cast<std::int64_t>(fragmented.end));
    }
    return synced ? synced : failed("cannot write the index: " + *e);
  }
  // Then one small write, within the first sector: the reserved free box
  // becomes the header of an mdat holding everything up to the new moov.
  const std::uint64_t mdatSize = fragmented.end - fragmented.reserveAt;
  mp4::BoxBuffer header;
  if (mdatSize >= options.wideFrom) {
    header.u32(1);
    header.u32(mp4::fourcc("mdat"));
    header.u64(mdatSize);
  } else {
    header.u32(static_cast<std::uint32_t>(mdatSize));
    header.u32(mp4::fourcc("mdat"));
  }
  const std::vector<std::uint8_t> headerBytes = header.take();
  e = writes.write(headerBytes.data(), headerBytes.size(), fragmented.reserveAt);
  if (e) {
    if (!writes.stopped()) {
      file.truncateTo(static_cast<std::int64_t>(fragmented.end));
    }
    return failed("cannot write the mdat header: " + *e);
  }
  return file.sync(true);
}

}  // namespace kestrano::ffmpeg
