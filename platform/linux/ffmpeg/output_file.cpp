#include "platform/linux/ffmpeg/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
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

OutputFile::OutputFile(std::shared_ptr<const UniqueFd> folder, std::string path, std::string name,
                       UniqueFd fd, bool temporary)
    : folder_(std::move(folder)),
      path_(std::move(path)),
      name_(std::move(name)),
      fd_(std::move(fd)),
      temporary_(temporary) {}

OutputFile::~OutputFile() {
  if (temporary_) {
    removeFromPath();
  }
}

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
  auto folder =
      std::make_shared<UniqueFd>(::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder->get() < 0) {
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
  UniqueFd fd(::openat(folder->get(), name.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, 0666));
  if (fd.get() < 0) {
    error = systemError(verb, path);
    return nullptr;
  }
  if (createNew) {
    // The new name must be durable too, or the fragments synced later could
    // survive a power loss without a name to find them by.
    (void)::fsync(folder->get());
  }
  return std::unique_ptr<OutputFile>(
      new OutputFile(std::move(folder), path, std::move(name), std::move(fd), false));
}

std::unique_ptr<OutputFile> OutputFile::createSibling(std::optional<Error>& error) const {
  // Short, so it fits wherever the file's own name fits; unique per process
  // and call; hidden.
  static std::atomic<unsigned> counter{0};
  std::string name = ".kestrano-" + std::to_string(::getpid()) + "-" +
                     std::to_string(counter.fetch_add(1, std::memory_order_relaxed)) + ".tmp";
  std::string path = path_.substr(0, path_.size() - name_.size()) + name;
  UniqueFd fd(::openat(folder_->get(), name.c_str(),
                       O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666));
  if (fd.get() < 0) {
    error = systemError("create", path);
    return nullptr;
  }
  return std::unique_ptr<OutputFile>(
      new OutputFile(folder_, std::move(path), std::move(name), std::move(fd), true));
}

bool OutputFile::isAtPath() const {
  struct stat mine {};
  struct stat there {};
  return ::fstat(fd_.get(), &mine) == 0 &&
         ::fstatat(folder_->get(), name_.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
         sameFile(mine, there);
}

std::optional<Error> OutputFile::replaceWith(OutputFile& sibling) {
  // Another recording may have taken the path since this file was made; its
  // file stays. (A rename in the instant between the check and the rename
  // cannot be excluded, only made unlikely.)
  if (!isAtPath()) {
    return writerError(WriterErrorCode::writeFailed,
                       "Cannot finish " + path_ + ": another file has taken its place");
  }
  if (::renameat(folder_->get(), sibling.name_.c_str(), folder_->get(), name_.c_str()) != 0) {
    return writerError(WriterErrorCode::writeFailed,
                       "Cannot finish " + path_ + ": rename failed: " + std::strerror(errno));
  }
  sibling.name_ = name_;
  sibling.path_ = path_;
  sibling.temporary_ = false;
  // Make the rename itself durable.
  (void)::fsync(folder_->get());
  return std::nullopt;
}

void OutputFile::removeFromPath() {
  if (isAtPath()) {
    (void)::unlinkat(folder_->get(), name_.c_str(), 0);
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
