#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include <pulse/pulseaudio.h>

#include "platform/error.h"
#include "platform/host_clock.h"
#include "platform/linux/pulse/pulse_client.h"
#include "platform/linux/pulse/pulse_default_device.h"
#include "platform/linux/pulse/pulse_record_stream.h"
#include "platform/mutex.h"

namespace kestrano {

// Records from whatever the server's default device of one kind is, for as
// long as it runs, always in one format (the server converts from each
// device's own):
// - when the default changes, or its device goes away, the stream is
//   reopened on the new default: neither server moves a stream reliably by
//   itself (PulseAudio leaves one on the old device, PipeWire moves one
//   against the user's choice), so ours are pinned and moved by us;
// - when the server goes away, it reconnects with a bounded back-off;
// - a stream that stays up but gets nothing for seconds is opened again;
// - a default change its connection missed is followed a little later;
// - a device that has just appeared, or a server just back, is used only
//   once its session manager has had a moment to set it up;
// - without any such device it waits for one.
// Meanwhile nothing is delivered: the writer places buffers by their time
// stamps, so a gap becomes silence and what follows keeps its place.
class PulseDefaultDeviceCapture {
 public:
  struct Options {
    DefaultDevice device = DefaultDevice::input;
    std::uint32_t rate = 0;
    std::uint32_t channels = 0;
    std::string name;  // the connection's name, and what the notices say is missing
  };
  // Runs on the connection's mainloop thread.
  using DataHandler = PulseRecordStream::DataHandler;
  // One line for the process's diagnostics (a device or the server missing,
  // then back), from any of our threads.
  using NoticeHandler = std::function<void(std::string_view line)>;

  // The server must answer at start: nothing and `error` when it does not.
  // Waits up to `firstData` for the device's first data, so a caller that
  // says "recording" right after loses nothing.
  static std::unique_ptr<PulseDefaultDeviceCapture> start(const Options& options,
                                                          std::shared_ptr<HostClock> clock,
                                                          DataHandler onData, NoticeHandler notice,
                                                          std::chrono::milliseconds firstData,
                                                          std::optional<Error>& error);
  // Stops: no handler runs after this returns.
  ~PulseDefaultDeviceCapture();
  PulseDefaultDeviceCapture(const PulseDefaultDeviceCapture&) = delete;
  PulseDefaultDeviceCapture& operator=(const PulseDefaultDeviceCapture&) = delete;

 private:
  PulseDefaultDeviceCapture(const Options& options, std::shared_ptr<HostClock> clock,
                            DataHandler onData, NoticeHandler notice);
  // The worker's own: called on the constructing thread before the worker
  // starts, then on the worker only.
  std::optional<Error> connect();
  void disconnect();
  void follow();
  void run();
  // Whether the stream has delivered nothing for long enough to open it
  // again; called once per look.
  bool quiet();
  // Whether a fresh connection names another default than the one recorded;
  // called every few looks, and after a retry soon after a device appeared.
  bool staleDefault();
  void say(const std::string& line) const;
  bool alive();  // the connection is up
  // From the mainloop thread: something for the worker to look at.
  void wake(bool lost, bool reopen, bool appeared = false);
  static void onEvent(pa_context* c, pa_subscription_event_type_t type, std::uint32_t index,
                      void* self);

  const Options options_;
  const std::shared_ptr<HostClock> clock_;
  const DataHandler onData_;
  const NoticeHandler notice_;

  // The worker's state (see connect()).
  std::unique_ptr<PulseClient> client_;
  std::unique_ptr<PulseRecordStream> stream_;  // the client outlives it
  std::string device_;                         // stream_'s source
  bool deviceMissing_ = false;                 // said so already
  bool namedMissing_ = false;  // the last answer named a default the server does not have
  bool askedAfresh_ = false;   // reconnected for that since the last stream began
  bool noneFound_ = false;     // the last answer: the server has no such device
  bool serverMissing_ = false;
  std::uint64_t chunksSeen_ = 0;  // stream_'s count at the last look
  int quietLooks_ = 0;            // looks in a row that saw no new chunk
  std::uint64_t looks_ = 0;       // looks while recording, for the fresh ones
  std::chrono::steady_clock::time_point nextLook_;
  bool quietSaid_ = false;  // said so already
  // Devices are used from then on (see kDeviceSetUp); held_: following the
  // default waits for it.
  std::chrono::steady_clock::time_point setUpAt_;
  bool held_ = false;

  Mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ GUARDED_BY(mutex_) = false;
  bool lost_ GUARDED_BY(mutex_) = false;      // the connection broke
  bool recheck_ GUARDED_BY(mutex_) = false;   // the defaults or the devices changed
  bool reopen_ GUARDED_BY(mutex_) = false;    // the stream broke (its device went away)
  bool appeared_ GUARDED_BY(mutex_) = false;  // a device came

  std::thread worker_;  // last: it starts once the rest is built and is joined first
};

}  // namespace kestrano
