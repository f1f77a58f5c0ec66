// The application's music player, reduced to what a send needs: the output level. It sets the
// playback volume of the "Master" element of ALSA's "default" control.
#pragma once

#include <atomic>

namespace sonicsend::platform {

class MPMusicPlayerController {
 public:
  // The one player of this application.
  static MPMusicPlayerController& applicationMusicPlayer();

  // Sets "Master" to `volume` (0 to 1) of its range on all channels. Without such a mixer it
  // has no effect and logs one line, once per process.
  void setVolume(float volume);

 private:
  MPMusicPlayerController() = default;
  std::atomic<bool> reportedNoMixer_ = false;
};

}  // namespace sonicsend::platform
