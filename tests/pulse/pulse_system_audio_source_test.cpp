#include "platform/linux/pulse/pulse_system_audio_source.h"

#include <gtest/gtest.h>

int dummy;
