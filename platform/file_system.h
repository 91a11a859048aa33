#pragma once

#include <optional>
#include <string>

#include "platform/error.h"
#include "platform/property_value.h"

namespace kestrano {

// Key of the size entry in a file's attributes.
inline constexpr const char* kFileSizeKey = "NSFileSize";

using FileAttributes = PropertyDictionary;

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // The absolute file URL (path) for a path; a relative path is taken
  // relative to the working directory.
  virtual std::string fileUrlWithPath(const std::string& path) const = 0;
  // Removes a file or a symbolic link at the URL, never a directory.
  virtual std::optional<Error> removeItemAtUrl(const std::string& url) = 0;
  // The item's attributes, or nothing with `error` set.
  virtual std::optional<FileAttributes> attributesOfItemAtPath(const std::string& path,
                                                               std::optional<Error>& error) = 0;
};

}  // namespace kestrano
