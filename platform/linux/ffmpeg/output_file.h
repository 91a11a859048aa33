#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/error.h"
#include "platform/unique_fd.h"

namespace kestrano::ffmpeg {

// One file of the writer, held by its descriptor together with its folder's
// descriptor and its name there. Everything after creation goes through the
// descriptors: writes reach this file whatever happens to the path, the
// *at() calls work on a short name whatever the path's length, and the path
// is removed only while it still names this file (same device and inode),
// never another recording someone put there.
class OutputFile {
 public:
  enum class Disposition {
    createNew,     // a new, empty file (one already there is emptied)
    openExisting,  // the file that exists at the path, as it is
  };
  // The file at `path` (an absolute path); nothing, with `error` naming the
  // path and the reason, when it cannot be had.
  static std::unique_ptr<OutputFile> create(const std::string& path, Disposition disposition,
                                            std::optional<Error>& error);
  ~OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  int descriptor() const { return fd_.get(); }
  const std::string& path() const { return path_; }

  // Whether the path still names this file.
  bool isAtPath() const;
  // Takes the name away from this file if the path still names it.
  void removeFromPath();
  // Writes the file's data through to the disk.
  std::optional<Error> sync(bool dataOnly) const;
  // Cuts the file back to `bytes` when it is longer; a file that cannot be
  // cut stays as it is.
  void truncateTo(std::int64_t bytes) const;

 private:
  OutputFile(UniqueFd folder, std::string path, std::string name, UniqueFd fd);

  const UniqueFd folder_;
  const std::string path_;
  const std::string name_;  // within the folder
  UniqueFd fd_;
};

}  // namespace kestrano::ffmpeg
