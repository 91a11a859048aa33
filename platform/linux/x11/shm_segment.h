#pragma once

#include <xcb/shm.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace kestrano::x11 {

// A System V shared-memory segment attached both to this process and to the
// X server (MIT-SHM), so images arrive without passing through the socket.
// The segment is marked for removal once both sides hold it, so it cannot
// outlive the process.
class ShmSegment {
 public:
  // Nothing when the server or the system does not offer shared memory.
  static std::unique_ptr<ShmSegment> attach(xcb_connection_t* connection, std::size_t size);
  ~ShmSegment();
  ShmSegment(const ShmSegment&) = delete;
  ShmSegment& operator=(const ShmSegment&) = delete;

  xcb_shm_seg_t id() const { return id_; }
  std::uint8_t* data() const { return data_; }

 private:
  ShmSegment(xcb_connection_t* connection, xcb_shm_seg_t id, std::uint8_t* data)
      : connection_(connection), id_(id), data_(data) {}

  xcb_connection_t* connection_;
  xcb_shm_seg_t id_;
  std::uint8_t* data_;
};

}  // namespace kestrano::x11
