#include "platform/linux/pulse/pulse_default_device_capture.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <utility>

namespace kestrano {
namespace {

// Reconnecting, and looking again for a missing device: soon after the loss
// (a restarted server is usually back within a second), then less often,
// but at least every two seconds, so a returning server is used within that.
constexpr std::chrono::milliseconds kFirstRetry{100};
constexpr std::chrono::milliseconds kLongestRetry{2000};

// A stream can stay up and still get nothing: when its link to the device
// is taken away (PipeWire's session manager relinking, a user's patchbay),
// it neither fails nor delivers, and its track would stay silent to the end.
// Looked at once a second; opened again after three quiet looks in a row. A
// process held still (a busy machine) sees one quiet look at most: what the
// server kept for it meanwhile arrives before the next.
constexpr std::chrono::milliseconds kQuietLook{1000};
constexpr int kQuietLooks = 3;

// PipeWire's pulse server keeps the defaults per connection, and now and then
// (about one switch in 150 on 0.3.65) one connection keeps an old default and
// hears of no change, while a fresh one names the new default. So every
// second look asks a fresh connection: a missed switch is followed within
// about two seconds. Nor does a connection always hear of a device that comes:
// one still named a monitor as the default source 2.5 s after a microphone
// was plugged in, with no event, while a fresh one named the microphone. So
// for a while after a device appears, a retry that finds none asks a fresh
// one too. Not always: each new connection costs the server work, and a
// recording without a microphone would ask every 2 s from start to end.
constexpr int kFreshLookEvery = 2;
constexpr std::chrono::seconds kFreshAfterAppearing{5};

// A device that has just appeared, or a server that has just come back, is
// still being set up by PipeWire's session manager, which links a stream to
// the ports the device has at that moment: a stream opened at once on a
// restarted server's stereo monitor got only its right channel, for good,
// in 7 of 30 takes on PipeWire 0.3.65 (a reader opened later got both).
// So a device is used this long after it appeared; what it plays meanwhile
// is not recorded, as while it was not there.
constexpr std::chrono::milliseconds kDeviceSetUp{500};

// How much audio the server hands over at a time (without asking, about 2 s).
// PipeWire runs a device at the shortest latency any of its streams asks for,
// rounded down to a power of two: 10 ms drove it in 256-frame cycles, which a
// machine without spare time does not keep, and now and then a cycle came out
// as zeros or went missing (a microphone's tone broke in about one take in
// ten; system audio after a default switch every few hundred ms). 25 ms
// leaves a device at its default 1024 frames, on both kinds of stream.
constexpr std::chrono::milliseconds kFragment{25};

}  // namespace

std::unique_ptr<PulseDefaultDeviceCapture> PulseDefaultDeviceCapture::start(
    const Options& options, std::shared_ptr<HostClock> clock, DataHandler onData,
    NoticeHandler notice, std::chrono::milliseconds firstData, std::optional<Error>& error) {
  std::unique_ptr<PulseDefaultDeviceCapture> self(new PulseDefaultDeviceCapture(
      options, std::move(clock), std::move(onData), std::move(notice)));
  if ((error = self->connect())) {
    return nullptr;
  }
  self->follow();
  if (self->stream_ && firstData.count() > 0) {
    self->stream_->waitForFirstData(firstData);
  }
  self->worker_ = std::thread([s = self.get()] { s->run(); });
  return self;
}

PulseDefaultDeviceCapture::PulseDefaultDeviceCapture(const Options& options,
                                                     std::shared_ptr<HostClock> clock,
                                                     DataHandler onData, NoticeHandler notice)
    : options_(options),
      clock_(std::move(clock)),
      onData_(std::move(onData)),
      notice_(std::move(notice)) {}

PulseDefaultDeviceCapture::~PulseDefaultDeviceCapture() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (worker_.joinable()) {
    worker_.join();
  }
  disconnect();
}

std::optional<Error> PulseDefaultDeviceCapture::connect() {
  std::optional<Error> error;
  client_ = PulseClient::create(
      options_.name, [this](const Error&) { wake(true, false); }, error);
  if (!client_) {
    return error;
  }
  // Default changes come as server events, devices that come and go as sink
  // and source events. The reply tells nothing we need.
  PulseClient::Lock lock(*client_);
  pa_context_set_subscribe_callback(client_->context(), &PulseDefaultDeviceCapture::onEvent, this);
  const auto mask = static_cast<pa_subscription_mask_t>(
      PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE);
  if (pa_operation* op = pa_context_subscribe(client_->context(), mask, nullptr, nullptr)) {
    pa_operation_unref(op);
  }
  return std::nullopt;
}

void PulseDefaultDeviceCapture::disconnect() {
  if (!client_) {
    return;
  }
  client_->stop();  // joins the mainloop thread: no handler runs after this
  stream_.reset();
  client_.reset();
  device_.clear();
}

void PulseDefaultDeviceCapture::follow() {
  std::optional<Error> error;
  std::optional<PulseDevice> device = queryDefaultDevice(*client_, options_.device, error);
  const bool noDevice = meansNoDevice(error);
  namedMissing_ = error && error->code == static_cast<std::int64_t>(PulseErrorCode::defaultMissing);
  noneFound_ = error && error->code == static_cast<std::int64_t>(PulseErrorCode::noSource);
  // Unchanged, or no clear answer (a busy or vanishing server): keep what runs.
  if ((device && stream_ && device->name == device_) || (!device && !noDevice)) {
    return;
  }
  // The old stream ends before the new one begins: nothing is recorded twice.
  stream_.reset();
  device_.clear();
  if (device) {
    PulseRecordStream::Options stream{device->name, options_.rate, options_.channels, kFragment};
    stream_ = PulseRecordStream::create(
        *client_, stream, clock_, onData_, [this](const Error&) { wake(false, true); }, error);
  }
  if (stream_) {
    device_ = device->name;
    askedAfresh_ = false;
    chunksSeen_ = 0;
    quietLooks_ = 0;
    nextLook_ = std::chrono::steady_clock::now() + kQuietLook;
    if (deviceMissing_) {
      deviceMissing_ = false;
      say(options_.name + ": recording from \"" + device_ + "\"");
    }
  } else if (!deviceMissing_ && alive()) {
    deviceMissing_ = true;
    say(options_.name + ": none found (" + (error ? error->description : "no device") +
        "); its track stays silent until one appears");
  }
}

void PulseDefaultDeviceCapture::run() {
  std::chrono::milliseconds retry = kFirstRetry;
  bool missed = false;  // a fresh connection named a device the last answer lacked
  std::chrono::steady_clock::time_point askAfreshUntil;  // after a device appeared
  for (;;) {
    bool lost = false, reopen = false, news = true;
    // Recording as asked: wait for news, and look now and then that data
    // still comes. Otherwise try again after a while.
    const bool whole = client_ && stream_;
    {
      MutexLock lock(mutex_);
      const auto now = std::chrono::steady_clock::now();
      auto deadline = whole ? nextLook_ : now + retry;
      // Only while it lies ahead: a connection lost meanwhile goes on
      // backing off, not trying again at once.
      if (held_ && setUpAt_ > now) {
        deadline = std::min(deadline, setUpAt_);
      }
      while (!stopping_ && !lost_ && !recheck_ && !reopen_) {
        if (!lock.waitUntil(changed_, deadline)) {
          news = false;
          break;
        }
      }
      if (stopping_) {
        return;
      }
      lost = std::exchange(lost_, false);
      reopen = std::exchange(reopen_, false);
      recheck_ = false;
      if (std::exchange(appeared_, false)) {
        setUpAt_ = std::chrono::steady_clock::now() + kDeviceSetUp;
        retry = kFirstRetry;  // soon again if the connection does not know it yet
        askAfreshUntil = setUpAt_ + kFreshAfterAppearing;
      }
    }
    // By the clock, so that a stream of server events cannot put it off.
    bool stale = false;
    if (whole && std::chrono::steady_clock::now() >= nextLook_) {
      nextLook_ = std::chrono::steady_clock::now() + kQuietLook;
      reopen = reopen || quiet();
      stale = !reopen && ++looks_ % kFreshLookEvery == 0 && staleDefault();
    }
    if (whole && !news && !reopen && !stale && !held_) {
      continue;
    }
    if (lost) {
      disconnect();
      if (!serverMissing_) {
        serverMissing_ = true;
        say(options_.name + ": lost the sound server; the track stays silent until it is back");
      }
    }
    // A default still named but missing at a retry, when an event would long
    // have brought the new one: once seen to last a whole recording on
    // PipeWire while the server had a microphone. Its pulse server keeps the
    // defaults per connection, so a fresh one is asked, once; and said, as
    // it is rare.
    if (client_ && !whole && !news && namedMissing_ && !askedAfresh_) {
      askedAfresh_ = true;
      say(options_.name + ": the server names a default it does not have; connecting afresh");
      disconnect();
    }
    if (stale || std::exchange(missed, false)) {
      say(options_.name + ": a fresh connection names a default this one missed; reconnecting");
      disconnect();
    }
    if (!client_) {
      if (connect()) {
        retry = std::min(retry * 2, kLongestRetry);
        continue;
      }
      if (serverMissing_) {
        serverMissing_ = false;
        setUpAt_ = std::chrono::steady_clock::now() + kDeviceSetUp;
        say(options_.name + ": the sound server is back");
      }
    }
    if (reopen) {
      stream_.reset();
      device_.clear();
    }
    held_ = std::chrono::steady_clock::now() < setUpAt_;
    if (held_) {
      continue;
    }
    follow();
    retry = stream_ ? kFirstRetry : std::min(retry * 2, kLongestRetry);
    missed = noneFound_ && std::chrono::steady_clock::now() < askAfreshUntil && staleDefault();
  }
}

bool PulseDefaultDeviceCapture::quiet() {
  const std::uint64_t chunks = stream_->chunksTaken();
  if (chunks != chunksSeen_) {
    chunksSeen_ = chunks;
    quietLooks_ = 0;
    if (std::exchange(quietSaid_, false)) {
      say(options_.name + ": recording from \"" + device_ + "\" again");
    }
    return false;
  }
  if (++quietLooks_ < kQuietLooks) {
    return false;
  }
  if (!std::exchange(quietSaid_, true)) {
    say(options_.name + ": nothing came from \"" + device_ + "\" for " +
        std::to_string(kQuietLooks * kQuietLook.count() / 1000) + " s; opening it again");
  }
  return true;
}

bool PulseDefaultDeviceCapture::staleDefault() {
  std::optional<Error> error;
  const std::unique_ptr<PulseClient> fresh = PulseClient::create(options_.name, nullptr, error);
  if (!fresh) {
    return false;  // the server is busy or going: the next look asks again
  }
  const std::optional<PulseDevice> device = queryDefaultDevice(*fresh, options_.device, error);
  return device && device->name != device_;
}

bool PulseDefaultDeviceCapture::alive() {
  PulseClient::Lock lock(*client_);
  return client_->alive();
}

void PulseDefaultDeviceCapture::say(const std::string& line) const {
  if (notice_) {
    notice_(line);
  }
}

void PulseDefaultDeviceCapture::wake(bool lost, bool reopen, bool appeared) {
  {
    MutexLock lock(mutex_);
    lost_ = lost_ || lost;
    reopen_ = reopen_ || reopen;
    appeared_ = appeared_ || appeared;
    recheck_ = true;
  }
  changed_.notify_all();
}

void PulseDefaultDeviceCapture::onEvent(pa_context*, pa_subscription_event_type_t type,
                                        std::uint32_t, void* self) {
  const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  const bool appeared =
      (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_NEW &&
      (facility == PA_SUBSCRIPTION_EVENT_SINK || facility == PA_SUBSCRIPTION_EVENT_SOURCE);
  static_cast<PulseDefaultDeviceCapture*>(self)->wake(false, false, appeared);
}

}  // namespace kestrano
