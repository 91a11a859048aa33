// The PipeWire video stream on a portal session of a private Wayland desktop:
// what arrives from moving content, and one loss when a service dies. As
// with the portal test, the consumer runs in a child process as the
// desktop's user and reports one line per outcome.
#include "platform/linux/wayland/pipewire_video_stream.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <set>
#include <string>
#include <thread>

#include "platform/linux/monotonic_clock.h"
#include "platform/linux/wayland/portal_session.h"
#include "platform/mutex.h"
#include "tests/wayland/user_process.h"
#include "tests/wayland/wayland_desktop.h"

namespace kestrano::wayland {
namespace {

using namespace std::chrono_literals;

// What the handlers saw; the stream's thread writes, the test reads.
struct Seen {
  Mutex mutex;
  std::condition_variable changed;
  int frames GUARDED_BY(mutex) = 0;
  int wrongSize GUARDED_BY(mutex) = 0;
  std::set<std::uint64_t> pictures GUARDED_BY(mutex);  // a hash of each distinct one
  std::int64_t firstAt GUARDED_BY(mutex) = 0;
  std::int64_t lastAt GUARDED_BY(mutex) = 0;
  int losses GUARDED_BY(mutex) = 0;
  std::int64_t lossCode GUARDED_BY(mutex) = 0;
};

std::uint64_t hashOf(const PipeWireFrame& f) {
  std::uint64_t h = 1469598103934665603ULL;
  for (int y = 0; y < f.height; ++y) {
    const std::uint8_t* row = f.pixels + static_cast<std::ptrdiff_t>(y) * f.stride;
    for (int x = 0; x < f.width * 4; ++x) {
      h = (h ^ row[x]) * 1099511628211ULL;
    }
  }
  return h;
}

TEST(PipeWireVideoStream, DeliversTheMonitorAndReportsItsLossOnce) {
  struct Row {
    const char* name;
    const char* kill = "";  // a service to kill once frames flow
    std::string expected;   // the child's second line
  };
  const Row rows[] = {
      {.name = "moving content, at most 15 fps at the monitor's size",
       .expected = "frames of 640x360, changing, within 15 fps"},
      {.name = "the compositor dies", .kill = "mutter", .expected = "lost once, code 2"},
      {.name = "PipeWire dies", .kill = "pipewire", .expected = "lost once, code 2"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    WaylandDesktop desktop("pick", " --client");
    ASSERT_NE(desktop.dir(), "");
    UserProcess child(desktop, [&row, &desktop](FILE* out) {
      std::optional<Error> error;
      auto session = PortalSession::start(RestoreTokenStore::forEnvironment(), -1, error);
      if (!session) {
        std::fprintf(out, "no session: %s\n", error->description.c_str());
        return;
      }
      Seen seen;
      auto clock = std::make_shared<MonotonicClock>();
      auto stream = PipeWireVideoStream::connect(
          std::move(session->stream().pipeWireRemote), session->stream().nodeId, 15, clock,
          [&seen](const PipeWireFrame& f) {
            const std::uint64_t h = hashOf(f);
            MutexLock lock(seen.mutex);
            seen.frames += 1;
            seen.wrongSize += f.width != 640 || f.height != 360 || f.stride < 640 * 4;
            seen.pictures.insert(h);
            seen.lastAt = f.time.nanoseconds();
            seen.firstAt = seen.frames == 1 ? seen.lastAt : seen.firstAt;
            seen.changed.notify_all();
          },
          [&seen](Error e) {
            MutexLock lock(seen.mutex);
            seen.losses += 1;
            seen.lossCode = e.code;
            seen.changed.notify_all();
          },
          error);
      if (!stream) {
        std::fprintf(out, "no stream: %s\n", error->description.c_str());
        return;
      }
      {
        MutexLock lock(seen.mutex);
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (seen.frames == 0 && seen.losses == 0 && lock.waitUntil(seen.changed, deadline)) {
        }
        std::fprintf(out, "%s\n", seen.frames > 0 ? "frames" : "no frame");
        std::fflush(out);
      }
      if (*row.kill != '\0') {
        desktop.kill(row.kill);
        MutexLock lock(seen.mutex);
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (seen.losses == 0 && lock.waitUntil(seen.changed, deadline)) {
        }
      }
      std::this_thread::sleep_for(4s);
      stream.reset();  // must return, whatever became of the services
      MutexLock lock(seen.mutex);
      if (*row.kill != '\0') {
        std::fprintf(out, "lost %s, code %lld\n", seen.losses == 1 ? "once" : "not once",
                     static_cast<long long>(seen.lossCode));
        return;
      }
      // At most 15 in any second: count against the span they came in, with
      // one frame of slack for where the span starts.
      const double seconds = (seen.lastAt - seen.firstAt) / 1e9;
      std::fprintf(out, "frames of %s, %s, %s\n", seen.wrongSize == 0 ? "640x360" : "other sizes",
                   seen.pictures.size() >= 3 ? "changing" : "still",
                   seen.frames - 1 <= 15 * seconds + 1 ? "within 15 fps" : "too many");
    });
    EXPECT_EQ(child.readLine(), "frames");
    EXPECT_EQ(child.readLine(), row.expected);
  }
}

}  // namespace
}  // namespace kestrano::wayland
