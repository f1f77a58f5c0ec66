// The application's music player, reduced to what a send needs: the output level. It sets the
// playback volume of the "Master" element of an ALSA control ("default" for the application).
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <vector>

namespace sonicsend::platform {

// The "Master" playback volume of one ALSA control.
class AlsaMasterVolume {
 public:
  // The raw value of each playback channel, in ALSA's channel order.
  using Levels = std::vector<long>;

  explicit AlsaMasterVolume(std::string control) : control_(std::move(control)) {}

  // Sets all channels to `volume` (0 to 1) of the element's range.
  void set(float volume);
  // The current levels; none without such an element.
  std::optional<Levels> levels();
  // Puts back levels that levels() read, channel by channel; a channel beyond either list is
  // left as it is.
  void setLevels(const Levels& levels);

 private:
  // Without such a mixer nothing changes, and one line is logged, once per object.
  void reportNoMixer(int err);

  const std::string control_;
  std::atomic<bool> reportedNoMixer_ = false;
};

// The ALSA control that holds the mixer of the PCM `device`: "hw:CARD" for a card's own PCMs
// ("hw:1,0", "plughw:1"), else the control of the same name ("default", "pulse").
std::string controlForPcm(const std::string& device);

class MPMusicPlayerController {
 public:
  // The one player of this application.
  static MPMusicPlayerController& applicationMusicPlayer();

  // Sets "Master" of the "default" control to `volume` (0 to 1) of its range on all channels.
  // Without such a mixer it has no effect and logs one line, once per process.
  void setVolume(float volume) { master_.set(volume); }

 private:
  MPMusicPlayerController() = default;
  AlsaMasterVolume master_{"default"};
};

}  // namespace sonicsend::platform
