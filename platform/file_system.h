#pragma once

#include <optional>
#include <string>

#include "platform/error.h"
#include "platform/property_value.h"

namespace kestrano {

// Key of the size entry in a file's attributes.
inline constexpr const char* kFileSizeKey = "NSFileSize";

using FileAttributes = PropertyDictionary;

// The refusal to remove an item that is neither a regular file nor a
// symbolic link, e.g. "/dev/null is not a regular file".
inline constexpr const char* kFileSystemErrorDomain = "file";
inline constexpr std::int64_t kNotRegularFileCode = 1;
inline Error notRegularFileError(const std::string& path) {
  return Error{kFileSystemErrorDomain, kNotRegularFileCode, path + " is not a regular file"};
}
inline bool isNotRegularFileError(const Error& error) {
  return error.domain == kFileSystemErrorDomain && error.code == kNotRegularFileCode;
}

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // The absolute file URL (path) for a path; a relative path is taken
  // relative to the working directory.
  virtual std::string fileUrlWithPath(const std::string& path) const = 0;
  // Removes a regular file or a symbolic link at the URL (the link, not what
  // it points at). Any other kind of item (directory, device, socket, FIFO)
  // is refused with a notRegularFileError() and left alone; other errors
  // mean the removal failed or nothing was there.
  virtual std::optional<Error> removeItemAtUrl(const std::string& url) = 0;
  // The item's attributes, or nothing with `error` set.
  virtual std::optional<FileAttributes> attributesOfItemAtPath(const std::string& path,
                                                               std::optional<Error>& error) = 0;
};

}  // namespace kestrano
