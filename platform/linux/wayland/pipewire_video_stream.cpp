#include "platform/linux/wayland/pipewire_video_stream.h"

#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <spa/utils/result.h>

#include <algorithm>
#include <exception>
#include <string>

#include "platform/linux/wayland/wayland_errors.h"

namespace kestrano::wayland {
namespace {

// Regions a compositor may report redrawn in one buffer; more than this it
// reports as the whole picture.
constexpr std::uint32_t kMaxDamageRegions = 16;

// Raw formats only: a consumer that accepts any format never finishes
// negotiating with mutter.
const spa_pod* enumFormat(spa_pod_builder* b, int maxFramesPerSecond) {
  const spa_rectangle defaultSize{1280, 720};
  const spa_rectangle minSize{1, 1};
  const spa_rectangle maxSize{16384, 16384};
  const spa_fraction anyRate{0, 1};
  const spa_fraction maxRate{static_cast<std::uint32_t>(maxFramesPerSecond), 1};
  return static_cast<const spa_pod*>(spa_pod_builder_add_object(
      b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
      SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
      SPA_FORMAT_VIDEO_format,
      SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
                             SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA),
      SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defaultSize, &minSize, &maxSize),
      SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&anyRate), SPA_FORMAT_VIDEO_maxFramerate,
      SPA_POD_CHOICE_RANGE_Fraction(&maxRate, &anyRate, &maxRate)));
}

}  // namespace

std::unique_ptr<PipeWireVideoStream> PipeWireVideoStream::connect(
    UniqueFd remote, std::uint32_t nodeId, int maxFramesPerSecond, std::shared_ptr<HostClock> clock,
    FrameHandler onFrame, LossHandler onLoss, std::optional<Error>& error) {
  std::unique_ptr<PipeWireVideoStream> stream(new PipeWireVideoStream(
      std::move(clock), std::move(onFrame), std::move(onLoss), maxFramesPerSecond));
  if ((error = stream->open(std::move(remote), nodeId))) {
    return nullptr;
  }
  return stream;
}

std::optional<Error> PipeWireVideoStream::open(UniqueFd remote, std::uint32_t nodeId) {
  nodeId_ = nodeId;
  std::optional<Error> error;
  loop_ = PipeWireLoop::create(error);
  if (!loop_) {
    return error;
  }
  context_.reset(pw_context_new(loop_->loop(), nullptr, 0));
  if (!context_) {
    return waylandError(CaptureErrorCode::outOfResources, "the PipeWire context cannot be made");
  }
  // Connected before the thread runs, so nothing here needs the lock. The
  // remote is PipeWire's from here: it closes it on disconnect or error.
  core_.reset(pw_context_connect_fd(context_.get(), remote.release(), nullptr, 0));
  if (!core_) {
    return waylandError(CaptureErrorCode::cannotConnect,
                        "PipeWire cannot be reached over the portal's remote");
  }
  static const pw_core_events coreEvents = [] {
    pw_core_events e{};
    e.version = PW_VERSION_CORE_EVENTS;
    e.error = &PipeWireVideoStream::onCoreError;
    return e;
  }();
  pw_core_add_listener(core_.get(), coreHook_.get(), &coreEvents, this);
  // A compositor that dies takes its node away but leaves this stream
  // connected (paused): the node's removal is what tells.
  registry_.reset(pw_core_get_registry(core_.get(), PW_VERSION_REGISTRY, 0));
  if (!registry_) {
    return waylandError(CaptureErrorCode::outOfResources, "the PipeWire registry cannot be read");
  }
  static const pw_registry_events registryEvents = [] {
    pw_registry_events e{};
    e.version = PW_VERSION_REGISTRY_EVENTS;
    e.global_remove = &PipeWireVideoStream::onGlobalRemoved;
    return e;
  }();
  pw_registry_add_listener(registry_.get(), registryHook_.get(), &registryEvents, this);

  stream_.reset(pw_stream_new(core_.get(), "kestrano-screen",
                              pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                                "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr)));
  if (!stream_) {
    return waylandError(CaptureErrorCode::outOfResources, "the PipeWire stream cannot be made");
  }
  static const pw_stream_events streamEvents = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = &PipeWireVideoStream::onStateChanged;
    e.param_changed = &PipeWireVideoStream::onParamChanged;
    e.process = &PipeWireVideoStream::onProcess;
    return e;
  }();
  pw_stream_add_listener(stream_.get(), streamHook_.get(), &streamEvents, this);

  std::uint8_t buffer[1024];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  const spa_pod* params[1] = {enumFormat(&b, maxFramesPerSecond_)};
  // MAP_BUFFERS: PipeWire maps each MemFd (at its offset) for the buffer's
  // life and unmaps it, so no mapping of ours can outlive its buffer.
  const int r = pw_stream_connect(
      stream_.get(), PW_DIRECTION_INPUT, nodeId,
      static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS), params,
      1);
  if (r < 0) {
    return waylandError(CaptureErrorCode::cannotConnect,
                        "the screen-cast node " + std::to_string(nodeId) +
                            " cannot be connected to: " + spa_strerror(r));
  }
  if (!loop_->start()) {
    return waylandError(CaptureErrorCode::threadStartFailed, "the PipeWire thread cannot start");
  }
  return std::nullopt;
}

PipeWireVideoStream::~PipeWireVideoStream() {
  if (loop_) {
    loop_->stop();
  }
}

void PipeWireVideoStream::formatChanged(const spa_pod* format) {
  spa_video_info_raw info{};
  if (format == nullptr || spa_format_video_raw_parse(format, &info) < 0) {
    return;
  }
  width_ = static_cast<int>(info.size.width);
  height_ = static_cast<int>(info.size.height);
  layout_ = info.format == SPA_VIDEO_FORMAT_RGBx || info.format == SPA_VIDEO_FORMAT_RGBA
                ? SourcePixels::rgbx
                : SourcePixels::bgrx;

  std::uint8_t buffer[1024];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  const spa_pod* params[2];
  params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
      SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
  params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
      SPA_POD_Id(SPA_META_VideoDamage), SPA_PARAM_META_size,
      SPA_POD_CHOICE_RANGE_Int(sizeof(spa_meta_region) * kMaxDamageRegions, sizeof(spa_meta_region),
                               sizeof(spa_meta_region) * kMaxDamageRegions)));
  pw_stream_update_params(stream_.get(), params, 2);
}

void PipeWireVideoStream::process() {
  // Only the newest picture counts; older ones waiting go straight back.
  pw_buffer* newest = damage_.takeNewest<pw_buffer>(
      [this] { return pw_stream_dequeue_buffer(stream_.get()); },
      [this](pw_buffer* older) { pw_stream_queue_buffer(stream_.get(), older); });
  if (newest == nullptr) {
    return;
  }
  spa_buffer* buffer = newest->buffer;
  const spa_data* data = buffer->n_datas > 0 ? &buffer->datas[0] : nullptr;
  if (data != nullptr && data->data != nullptr && data->chunk != nullptr && width_ > 0 &&
      height_ > 0 && (data->chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) == 0) {
    const int stride = data->chunk->stride > 0 ? data->chunk->stride : width_ * 4;
    const std::uint64_t needed = static_cast<std::uint64_t>(stride) * (height_ - 1) + width_ * 4;
    if (data->chunk->size >= needed && data->chunk->offset + needed <= data->maxsize) {
      PipeWireFrame frame;
      frame.pixels = static_cast<const std::uint8_t*>(data->data) + data->chunk->offset;
      frame.stride = stride;
      frame.width = width_;
      frame.height = height_;
      frame.layout = layout_;
      frame.time = clock_->now();
      frame.damage = damage_.rects();
      onFrame_(frame);
      damage_.clear();
    }
  }
  pw_stream_queue_buffer(stream_.get(), newest);
}

void PipeWireVideoStream::lost(const char* why) {
  if (lostReported_) {
    return;
  }
  lostReported_ = true;
  try {
    onLoss_(waylandError(CaptureErrorCode::connectionLost,
                         std::string("the screen-cast stream was lost: ") + why));
  } catch (...) {
  }
}

// The C callbacks: nothing may unwind into PipeWire; a frame handler that
// throws counts as a lost stream.
void PipeWireVideoStream::onStateChanged(void* data, pw_stream_state, pw_stream_state state,
                                         const char* message) {
  auto* self = static_cast<PipeWireVideoStream*>(data);
  try {
    // A dead compositor or PipeWire shows only as "unconnected".
    if (state == PW_STREAM_STATE_ERROR) {
      self->lost(message != nullptr ? message : "PipeWire reported an error");
    } else if (state == PW_STREAM_STATE_UNCONNECTED) {
      self->lost("the compositor or PipeWire went away");
    }
  } catch (...) {
  }
}

void PipeWireVideoStream::onParamChanged(void* data, std::uint32_t id, const spa_pod* param) {
  if (id != SPA_PARAM_Format) {
    return;
  }
  try {
    static_cast<PipeWireVideoStream*>(data)->formatChanged(param);
  } catch (...) {
  }
}

void PipeWireVideoStream::onProcess(void* data) {
  auto* self = static_cast<PipeWireVideoStream*>(data);
  try {
    self->process();
  } catch (const std::exception& e) {
    self->lost(e.what());
  } catch (...) {
    self->lost("a frame could not be taken");
  }
}

void PipeWireVideoStream::onGlobalRemoved(void* data, std::uint32_t id) {
  auto* self = static_cast<PipeWireVideoStream*>(data);
  if (id == self->nodeId_) {
    self->lost("the compositor ended the screen cast");
  }
}

void PipeWireVideoStream::onCoreError(void* data, std::uint32_t id, int, int res,
                                      const char* message) {
  if (id != PW_ID_CORE) {
    return;
  }
  try {
    static_cast<PipeWireVideoStream*>(data)->lost(message != nullptr ? message : spa_strerror(res));
  } catch (...) {
  }
}

}  // namespace kestrano::wayland
