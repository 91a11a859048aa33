#pragma once

#include <functional>
#include <optional>

#include "platform/error.h"
#include "platform/linux/av/av_resources.h"

namespace kestrano::ffmpeg {

// Where an encoder puts its packets (time stamps in the given time base): the
// muxer's stream of that track. An error means the file took no more.
using PacketSink = std::function<std::optional<Error>(AVPacket& packet, AVRational timeBase)>;

// Sends `frame` (nothing: end of stream) to the encoder and hands every packet
// it then has ready to `sink`. The encoder's own failures become errors that
// name it.
std::optional<Error> encodeAndDrain(AVCodecContext& encoder, const AVFrame* frame, AVPacket& packet,
                                    const PacketSink& sink);

}  // namespace kestrano::ffmpeg
