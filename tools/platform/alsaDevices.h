// The ALSA PCM devices a user can name with --device.
#pragma once

#include <string>
#include <vector>

namespace sonicsend::platform {

struct AlsaDeviceName {
  std::string name;         // what --device takes
  std::string description;  // ALSA's description, on one line
};

enum class Direction { playback, capture };

// The devices ALSA's configuration and the sound cards offer in `direction`, as ALSA lists
// them ("default" first where it is configured).
std::vector<AlsaDeviceName> alsaDevices(Direction direction);

// Whether ALSA knows a PCM named `name` in `direction`: false only when it names no device at
// all; a device that is busy or away for now (a sound server not running) counts as known.
bool alsaKnowsDevice(const std::string& name, Direction direction);

}  // namespace sonicsend::platform
