#include "platform/linux/ffmpeg/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/linux/ffmpeg/writer_errors.h"

namespace kestrano::ffmpeg {
namespace {

Error systemError(const std::string& what, const std::string& path) {
  return writerError(WriterErrorCode::openFailed,
                     "Cannot " + what + " " + path + ": " + std::strerror(errno));
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

OutputFile::OutputFile(UniqueFd folder, std::string path, std::string name, UniqueFd fd)
    : folder_(std::move(folder)),
      path_(std::move(path)),
      name_(std::move(name)),
      fd_(std::move(fd)) {}

std::unique_ptr<OutputFile> OutputFile::create(const std::string& path, Disposition disposition,
                                               std::optional<Error>& error) {
  const bool createNew = disposition == Disposition::createNew;
  const char* verb = createNew ? "create" : "open";
  auto slash = path.rfind('/');
  if (slash == std::string::npos) {
    errno = EINVAL;
    error = systemError("create", path);
    return nullptr;
  }
  std::string folderPath = slash == 0 ? "/" : path.substr(0, slash);
  std::string name = path.substr(slash + 1);
  UniqueFd folder(::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0) {
    error = systemError(verb, path);
    return nullptr;
  }
  if (name.empty()) {
    errno = EISDIR;
    error = systemError(verb, path);
    return nullptr;
  }
  // No symbolic link is followed: the file is the one at the name.
  const int flags = createNew ? O_RDWR | O_CREAT | O_TRUNC : O_RDWR;
  UniqueFd fd(::openat(folder.get(), name.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, 0666));
  if (fd.get() < 0) {
    error = systemError(verb, path);
    return nullptr;
  }
  if (createNew) {
    // The new name must be durable too, or the fragments synced later could
    // survive a power loss without a name to find them by.
    (void)::fsync(folder.get());
  }
  return std::unique_ptr<OutputFile>(
      new OutputFile(std::move(folder), path, std::move(name), std::move(fd)));
}

bool OutputFile::isAtPath() const {
  struct stat mine {};
  struct stat there {};
  return ::fstat(fd_.get(), &mine) == 0 &&
         ::fstatat(folder_.get(), name_.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
         sameFile(mine, there);
}

void OutputFile::removeFromPath() {
  if (isAtPath()) {
    (void)::unlinkat(folder_.get(), name_.c_str(), 0);
  }
}

std::optional<Error> OutputFile::sync(bool dataOnly) const {
  if ((dataOnly ? ::fdatasync(fd_.get()) : ::fsync(fd_.get())) != 0) {
    return writerError(WriterErrorCode::writeFailed,
                       "Cannot flush " + path_ + " to disk: " + std::strerror(errno));
  }
  return std::nullopt;
}

void OutputFile::truncateTo(std::int64_t bytes) const {
  struct stat now {};
  if (::fstat(fd_.get(), &now) == 0 && now.st_size > bytes) {
    (void)::ftruncate(fd_.get(), bytes);
  }
}

}  // namespace kestrano::ffmpeg
