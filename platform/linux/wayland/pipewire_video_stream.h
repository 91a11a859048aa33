#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>

#include "platform/error.h"
#include "platform/host_clock.h"
#include "platform/linux/capture/frame_scaler.h"
#include "platform/linux/wayland/buffer_damage.h"
#include "platform/linux/wayland/listener_hook.h"
#include "platform/linux/wayland/pipewire_handles.h"
#include "platform/linux/wayland/pipewire_loop.h"
#include "platform/media_time.h"
#include "platform/unique_fd.h"

namespace kestrano::wayland {

// One picture as PipeWire handed it over; the pointers are valid only during
// the call that receives it.
struct PipeWireFrame {
  const std::uint8_t* pixels = nullptr;  // height rows of width 4-byte pixels
  int stride = 0;
  int width = 0;
  int height = 0;
  SourcePixels layout = SourcePixels::bgrx;
  MediaTime time;  // on the host clock, when it arrived
  // What changed since the previous picture; nothing when the compositor
  // did not say, so all of it may have.
  std::optional<std::span<const DamageRect>> damage;
};

// Receives the video of one PipeWire node over a remote the portal opened:
// raw BGRx/BGRA/RGBx/RGBA in memory buffers, at most a given rate. Frames
// and the loss go to handlers on the stream's own thread (a pw_thread_loop),
// one call at a time; neither may destroy the stream.
class PipeWireVideoStream {
 public:
  using FrameHandler = std::function<void(const PipeWireFrame&)>;
  // Told once when the stream ends by itself: the compositor or PipeWire
  // went away, or negotiation failed.
  using LossHandler = std::function<void(Error)>;

  // Connects over `remote` to `nodeId`. Nothing, with `error` set, when
  // PipeWire refuses at once; a node that never delivers shows as a loss.
  static std::unique_ptr<PipeWireVideoStream> connect(UniqueFd remote, std::uint32_t nodeId,
                                                      int maxFramesPerSecond,
                                                      std::shared_ptr<HostClock> clock,
                                                      FrameHandler onFrame, LossHandler onLoss,
                                                      std::optional<Error>& error);
  // Stops the thread first: no handler runs once this has begun returning.
  ~PipeWireVideoStream();
  PipeWireVideoStream(const PipeWireVideoStream&) = delete;
  PipeWireVideoStream& operator=(const PipeWireVideoStream&) = delete;

 private:
  PipeWireVideoStream(std::shared_ptr<HostClock> clock, FrameHandler onFrame, LossHandler onLoss,
                      int maxFramesPerSecond)
      : clock_(std::move(clock)),
        onFrame_(std::move(onFrame)),
        onLoss_(std::move(onLoss)),
        maxFramesPerSecond_(maxFramesPerSecond) {}
  std::optional<Error> open(UniqueFd remote, std::uint32_t nodeId);

  // On the loop's thread.
  void formatChanged(const struct spa_pod* format);
  void process();
  void lost(const char* why);
  static void onStateChanged(void* data, enum pw_stream_state old, enum pw_stream_state state,
                             const char* message);
  static void onParamChanged(void* data, std::uint32_t id, const struct spa_pod* param);
  static void onProcess(void* data);
  static void onGlobalRemoved(void* data, std::uint32_t id);
  static void onCoreError(void* data, std::uint32_t id, int seq, int res, const char* message);

  const std::shared_ptr<HostClock> clock_;
  const FrameHandler onFrame_;
  const LossHandler onLoss_;
  const int maxFramesPerSecond_;

  std::uint32_t nodeId_ = 0;  // set before the thread starts

  // Destroyed in reverse: hooks, stream, registry, core, context, then the loop
  // (whose thread the destructor has already stopped).
  std::unique_ptr<PipeWireLoop> loop_;
  ContextPtr context_;
  CorePtr core_;
  RegistryPtr registry_;
  PwStreamPtr stream_;
  ListenerHook coreHook_;
  ListenerHook registryHook_;
  ListenerHook streamHook_;

  // Only on the loop's thread (or before it starts).
  int width_ = 0;
  int height_ = 0;
  SourcePixels layout_ = SourcePixels::bgrx;
  BufferDamage damage_;  // since the last picture handed on
  bool lostReported_ = false;
};

}  // namespace kestrano::wayland
