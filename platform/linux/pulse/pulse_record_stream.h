#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/host_clock.h"
#include "platform/linux/pulse/pulse_client.h"
#include "platform/linux/pulse/record_timeline.h"
#include "platform/media_time.h"

struct pa_stream;

namespace kestrano {

// One record stream of interleaved 32-bit float on a PulseClient, delivering
// each chunk the server hands over (a fragment of audio) with the
// host-clock time of its first frame. Handlers run on the client's mainloop
// thread with its lock held.
class PulseRecordStream {
 public:
  using DataHandler =
      std::function<void(const float* interleaved, std::uint32_t frames, MediaTime firstFrame)>;
  // Called at most once, when the stream fails after it was ready.
  using FailureHandler = std::function<void(const Error&)>;

  struct Options {
    std::string device;  // a source's name
    std::uint32_t rate = 0;
    std::uint32_t channels = 0;
    // How much audio the server hands over at a time; without asking it
    // hands over about 2 s at once.
    std::chrono::milliseconds fragment{10};
  };

  // Call without the client's lock. Waits (bounded) until the stream runs;
  // nothing and `error` when it does not.
  static std::unique_ptr<PulseRecordStream> create(PulseClient& client, const Options& options,
                                                   std::shared_ptr<HostClock> clock,
                                                   DataHandler onData, FailureHandler onFailure,
                                                   std::optional<Error>& error);
  // Takes the client's lock, so the client must outlive the stream; call
  // without holding it.
  ~PulseRecordStream();
  PulseRecordStream(const PulseRecordStream&) = delete;
  PulseRecordStream& operator=(const PulseRecordStream&) = delete;

  // Call without the client's lock. Waits until the first data has been
  // handed to the data handler (once the fresh stream's timing has settled),
  // the stream fails or `timeout` passes.
  void waitForFirstData(std::chrono::milliseconds timeout);

  // How many chunks have come so far; from any thread.
  std::uint64_t chunksTaken() const { return chunks_.load(std::memory_order_relaxed); }

 private:
  PulseRecordStream(PulseClient& client, const Options& options, std::shared_ptr<HostClock> clock,
                    DataHandler onData, FailureHandler onFailure);
  static void onStateChange(pa_stream* s, void* self);
  static void onReadable(pa_stream* s, std::size_t bytes, void* self);
  void take(const void* data, std::uint32_t frames);
  void place(std::uint32_t frames);

  PulseClient& client_;
  const Options options_;
  const std::shared_ptr<HostClock> clock_;
  const DataHandler onData_;
  const FailureHandler onFailure_;
  pa_stream* stream_ = nullptr;  // owned; used under the client's lock
  // Touched on the mainloop thread or under the client's lock only.
  bool ready_ = false;
  bool failed_ = false;
  bool delivered_ = false;  // data has reached the handler
  // Only ever compared with an earlier reading of itself: relaxed is enough.
  std::atomic<std::uint64_t> chunks_{0};
  // What came since the last handover: one chunk, or a fresh stream's
  // chunks while its timing settles (dropped if it ends before).
  std::vector<float> pending_;
  RecordTimeline timeline_;
};

}  // namespace kestrano
