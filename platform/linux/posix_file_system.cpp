#include "platform/linux/posix_file_system.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace kestrano {
namespace {

Error posixError(int code, const std::string& what, const std::string& path) {
  return Error{"posix", code, what + " \"" + path + "\": " + std::strerror(code)};
}

}  // namespace

std::string PosixFileSystem::fileUrlWithPath(const std::string& path) const {
  std::error_code ec;
  auto absolute = std::filesystem::absolute(path, ec);
  return ec ? path : absolute.string();
}

std::optional<Error> PosixFileSystem::removeItemAtUrl(const std::string& url) {
  // The system would end the path at a NUL and remove another file.
  if (url.find('\0') != std::string::npos) {
    return posixError(EINVAL, "cannot remove", url.c_str());
  }
  struct stat st {};
  if (lstat(url.c_str(), &st) != 0) {
    return posixError(errno, "cannot remove", url);
  }
  // Only what a recording can replace goes: a directory would take a whole
  // tree with it, and a device, socket or FIFO belongs to someone else (as
  // root, "/dev/null" would go).
  if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
    return notRegularFileError(url);
  }
  if (unlink(url.c_str()) != 0) {
    return posixError(errno, "cannot remove", url);
  }
  return std::nullopt;
}

std::optional<FileAttributes> PosixFileSystem::attributesOfItemAtPath(const std::string& path,
                                                                      std::optional<Error>& error) {
  if (path.find('\0') != std::string::npos) {
    error = posixError(EINVAL, "cannot read the attributes of", path.c_str());
    return std::nullopt;
  }
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    error = posixError(errno, "cannot read the attributes of", path);
    return std::nullopt;
  }
  FileAttributes attributes;
  attributes[kFileSizeKey] = static_cast<std::int64_t>(st.st_size);
  return attributes;
}

}  // namespace kestrano
