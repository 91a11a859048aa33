#include "platform/linux/wayland/restore_token_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/linux/wayland/portal_errors.h"
#include "platform/scope_guard.h"
#include "platform/unique_fd.h"

namespace kestrano::wayland {

namespace {

constexpr std::size_t kMaxToken = 512;

Error storeError(const std::string& what, const std::filesystem::path& path) {
  return portalError(PortalErrorCode::failed, "cannot " + what + " the restore token " +
                                                  path.string() + ": " + std::strerror(errno));
}

bool writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    data.remove_prefix(std::size_t(n));
  }
  return true;
}

}  // namespace

std::filesystem::path RestoreTokenStore::defaultFile(const char* stateHome, const char* home) {
  std::filesystem::path base;
  if (stateHome != nullptr && stateHome[0] == '/') {
    base = stateHome;
  } else if (home != nullptr && home[0] == '/') {
    base = std::filesystem::path(home) / ".local" / "state";
  } else {
    return {};
  }
  return base / "kestrano-recorder" / "portal-restore-token";
}

RestoreTokenStore RestoreTokenStore::forEnvironment() {
  return RestoreTokenStore(defaultFile(std::getenv("XDG_STATE_HOME"), std::getenv("HOME")));
}

std::string RestoreTokenStore::load() const {
  if (file_.empty()) {
    return {};
  }
  UniqueFd fd(::open(file_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  struct stat st {};
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return {};
  }
  char buffer[kMaxToken + 1];
  ssize_t n;
  do {
    n = ::read(fd.get(), buffer, sizeof buffer);
  } while (n < 0 && errno == EINTR);
  if (n <= 0 || std::size_t(n) > kMaxToken) {
    return {};
  }
  std::string token(buffer, std::size_t(n));
  if (token.back() == '\n') {
    token.pop_back();
  }
  for (char c : token) {
    if (c <= ' ' || c > '~') {
      return {};
    }
  }
  return token;
}

std::optional<Error> RestoreTokenStore::save(std::string_view token) const {
  if (file_.empty()) {
    return portalError(PortalErrorCode::failed,
                       "nowhere to keep the restore token: neither XDG_STATE_HOME nor HOME is set");
  }
  if (token.empty()) {
    if (::unlink(file_.c_str()) != 0 && errno != ENOENT) {
      return storeError("remove", file_);
    }
    return std::nullopt;
  }
  const auto folder = file_.parent_path();
  std::error_code ignored;
  std::filesystem::create_directories(folder.parent_path(), ignored);
  // Our own folder is private, as the token lets us share the screen unasked.
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    return storeError("make the folder for", file_);
  }
  std::string temporary = (folder / ".portal-restore-token.XXXXXX").string();
  // mkostemp makes the file 0600.
  UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
  if (fd.get() < 0) {
    return storeError("write", file_);
  }
  ScopeGuard removeTemporary([&temporary] { ::unlink(temporary.c_str()); });
  // A crash leaves the old token or the new one, never a torn file.
  if (!writeAll(fd.get(), std::string(token) + "\n") || ::fsync(fd.get()) != 0) {
    return storeError("write", file_);
  }
  fd.reset();
  if (::rename(temporary.c_str(), file_.c_str()) != 0) {
    return storeError("replace", file_);
  }
  removeTemporary.dismiss();
  return std::nullopt;
}

}  // namespace kestrano::wayland
