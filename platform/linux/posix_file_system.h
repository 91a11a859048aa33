#pragma once

#include "platform/file_system.h"

namespace kestrano {

class PosixFileSystem final : public FileSystem {
 public:
  std::string fileUrlWithPath(const std::string& path) const override;
  std::optional<Error> removeItemAtUrl(const std::string& url) override;
  std::optional<FileAttributes> attributesOfItemAtPath(const std::string& path,
                                                       std::optional<Error>& error) override;
};

}  // namespace kestrano
