#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "platform/file_system.h"
#include "platform/host_clock.h"
#include "platform/standard_error.h"
#include "tests/fake/call_log.h"

namespace kestrano::fake {

// A host clock that reads what the test set (nanoseconds).
class FakeHostClock final : public HostClock {
 public:
  explicit FakeHostClock(std::shared_ptr<CallLog> log) : log_(std::move(log)) {}
  MediaTime now() const override {
    log_->add("clock.now");
    return MediaTime::make(nanos_.load(), kNanosecondTimescale);
  }
  void set(std::int64_t nanoseconds) { nanos_.store(nanoseconds); }

 private:
  const std::shared_ptr<CallLog> log_;
  std::atomic<std::int64_t> nanos_{1'000'000'000};
};

// Files are names in a set; relative paths live under /cwd. Attributes are
// scripted: by default a size of 4242 for any path.
class FakeFileSystem final : public FileSystem {
 public:
  explicit FakeFileSystem(std::shared_ptr<CallLog> log) : log_(std::move(log)) {}

  std::string fileUrlWithPath(const std::string& path) const override {
    return !path.empty() && path.front() == '/' ? path : "/cwd/" + path;
  }
  std::optional<Error> removeItemAtUrl(const std::string& url) override {
    log_->add("fs.remove " + url);
    std::lock_guard lock(mutex_);
    if (files_.erase(url) == 0) {
      return Error{"fake.fs", 4, "no such file"};
    }
    return std::nullopt;
  }
  std::optional<FileAttributes> attributesOfItemAtPath(const std::string& path,
                                                       std::optional<Error>& error) override {
    log_->add("fs.attributes " + path);
    std::lock_guard lock(mutex_);
    if (!attributes_) {
      error = Error{"fake.fs", 2, "no such file"};
      return std::nullopt;
    }
    return attributes_;
  }

  void addFile(const std::string& url) {
    std::lock_guard lock(mutex_);
    files_.insert(url);
  }
  bool hasFile(const std::string& url) const {
    std::lock_guard lock(mutex_);
    return files_.count(url) != 0;
  }
  // Nothing: the file is missing.
  void setAttributes(std::optional<FileAttributes> attributes) {
    std::lock_guard lock(mutex_);
    attributes_ = std::move(attributes);
  }

 private:
  const std::shared_ptr<CallLog> log_;
  mutable std::mutex mutex_;  // guards files_ and attributes_
  std::set<std::string> files_;
  std::optional<FileAttributes> attributes_ =
      FileAttributes{{kFileSizeKey, PropertyValue{std::int64_t{4242}}}};
};

// Collects what is written, one string per write.
class FakeStandardError final : public StandardError {
 public:
  void writeData(std::string_view bytes) override {
    std::lock_guard lock(mutex_);
    writes_.emplace_back(bytes);
  }
  std::vector<std::string> writes() const {
    std::lock_guard lock(mutex_);
    return writes_;
  }

 private:
  mutable std::mutex mutex_;  // guards writes_
  std::vector<std::string> writes_;
};

}  // namespace kestrano::fake
