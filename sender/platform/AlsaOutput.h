// The ALSA backend of AudioDevice.
#pragma once

#include <memory>

#include "SoundOutput.h"

namespace sonicsend::platform {

// ALSA's "default" PCM with about 100 ms of latency. Recovers from underruns and reopens the
// device when it goes away. When it cannot be opened, logs one line and returns null.
std::unique_ptr<AudioDevice> openAlsaDevice(const AudioStreamBasicDescription& format);

}  // namespace sonicsend::platform
