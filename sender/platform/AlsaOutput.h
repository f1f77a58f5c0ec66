// The ALSA backend of AudioDevice.
#pragma once

#include <memory>
#include <string>

#include "SoundOutput.h"

namespace sonicsend::platform {

// ALSA's "default" PCM with about 100 ms of latency. Recovers from underruns; when the device
// goes away, play() says so by taking less than it was given. When it cannot be opened, returns
// null, and logs one line for a run of such failures.
std::unique_ptr<AudioDevice> openAlsaDevice(const AudioStreamBasicDescription& format);
// The same on the PCM `name` ("hw:1,0", "pulse", ...).
std::unique_ptr<AudioDevice> openAlsaDevice(const std::string& name,
                                            const AudioStreamBasicDescription& format);

}  // namespace sonicsend::platform
