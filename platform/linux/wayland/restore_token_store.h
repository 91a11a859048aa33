#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/error.h"

namespace kestrano::wayland {

// Keeps the portal's restore token between recordings, so that the user
// chooses the screen once rather than at every start. One small file, mode
// 0600, replaced atomically; a token that cannot be read is no token, and
// the portal then asks the user again.
class RestoreTokenStore {
 public:
  explicit RestoreTokenStore(std::filesystem::path file) : file_(std::move(file)) {}

  // $XDG_STATE_HOME/kestrano-recorder/portal-restore-token, or under
  // $HOME/.local/state when XDG_STATE_HOME is unset, empty or relative (the
  // XDG rules ignore relative paths). Empty when there is no home either.
  static std::filesystem::path defaultFile(const char* stateHome, const char* home);
  // The store at defaultFile() for this process's environment.
  static RestoreTokenStore forEnvironment();

  const std::filesystem::path& file() const { return file_; }

  // The kept token; empty when there is none, it cannot be read, or it is
  // not a plausible token (the portal's are short printable ASCII).
  std::string load() const;
  // Replaces the kept token; an empty one removes the file.
  std::optional<Error> save(std::string_view token) const;

 private:
  std::filesystem::path file_;
};

}  // namespace kestrano::wayland
