#include "platform/linux/x11/shm_segment.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include "platform/linux/x11/x_connection.h"
#include "platform/scope_guard.h"

namespace kestrano::x11 {
namespace {

struct Detach {
  void operator()(std::uint8_t* p) const { shmdt(p); }
};

}  // namespace

std::unique_ptr<ShmSegment> ShmSegment::attach(xcb_connection_t* c, std::size_t size) {
  const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_shm_id);
  if (ext == nullptr || ext->present == 0) {
    return nullptr;
  }
  XcbPtr<xcb_shm_query_version_reply_t> version(
      xcb_shm_query_version_reply(c, xcb_shm_query_version(c), nullptr));
  if (!version) {
    return nullptr;
  }
  int shmId = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
  if (shmId < 0) {
    return nullptr;
  }
  // Removes the segment id from the system once the server's attach has been
  // confirmed or refused; the attachments keep the memory alive.
  ScopeGuard removeId([shmId] { shmctl(shmId, IPC_RMID, nullptr); });
  void* raw = shmat(shmId, nullptr, 0);
  if (raw == reinterpret_cast<void*>(-1)) {
    return nullptr;
  }
  std::unique_ptr<std::uint8_t, Detach> mapped(static_cast<std::uint8_t*>(raw));
  xcb_shm_seg_t seg = xcb_generate_id(c);
  // A remote server cannot attach our memory and answers with an error.
  XcbPtr<xcb_generic_error_t> refused(
      xcb_request_check(c, xcb_shm_attach_checked(c, seg, static_cast<std::uint32_t>(shmId), 0)));
  if (refused || xcb_connection_has_error(c) != 0) {
    return nullptr;
  }
  return std::unique_ptr<ShmSegment>(new ShmSegment(c, seg, mapped.release()));
}

ShmSegment::~ShmSegment() {
  // On a broken connection the request goes nowhere; the server has let go.
  xcb_shm_detach(connection_, id_);
  xcb_flush(connection_);
  Detach{}(data_);
}

}  // namespace kestrano::x11
