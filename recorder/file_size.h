#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/file_system.h"

namespace kestrano {

// The file's size from its attributes; 0 when missing or not an integer.
inline std::int64_t fileSize(FileSystem& fileSystem, const std::string& path) {
  std::optional<Error> error;
  std::optional<FileAttributes> attributes = fileSystem.attributesOfItemAtPath(path, error);
  if (!attributes) {
    return 0;
  }
  auto entry = attributes->find(kFileSizeKey);
  if (entry == attributes->end()) {
    return 0;
  }
  return readInt64(entry->second).value_or(0);
}

}  // namespace kestrano
