// The machine's sound output: ALSA's "default" PCM, with the level set through the
// application's music player. Another backend is chosen here and nowhere else.
#include "AlsaOutput.h"
#include "MusicPlayer.h"
#include "SoundOutput.h"

namespace sonicsend {

SoundOutput systemSoundOutput() {
  return SoundOutput{
      .openDevice = platform::openAlsaDevice,
      .setVolume =
          [](float volume) {
            platform::MPMusicPlayerController::applicationMusicPlayer().setVolume(volume);
          },
  };
}

}  // namespace sonicsend
