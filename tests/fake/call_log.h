#pragma once

#include <algorithm>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace kestrano::fake {

// Every platform call the fakes receive, in order, from any thread.
class CallLog {
 public:
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  void add(std::string entry) {
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(entry));
  }
  std::vector<std::string> entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
  }
  // Position of the first entry equal to `entry`, or npos.
  std::size_t indexOf(const std::string& entry) const {
    std::lock_guard lock(mutex_);
    auto it = std::find(entries_.begin(), entries_.end(), entry);
    return it == entries_.end() ? npos : static_cast<std::size_t>(it - entries_.begin());
  }
  bool contains(const std::string& entry) const { return indexOf(entry) != npos; }
  std::size_t count(const std::string& entry) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count(entries_.begin(), entries_.end(), entry));
  }
  // The entries that start with `prefix`, in order.
  std::vector<std::string> withPrefix(const std::string& prefix) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& e : entries_) {
      if (e.rfind(prefix, 0) == 0) {
        out.push_back(e);
      }
    }
    return out;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
  }

 private:
  mutable std::mutex mutex_;  // guards entries_
  std::vector<std::string> entries_;
};

}  // namespace kestrano::fake
