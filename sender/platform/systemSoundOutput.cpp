// The machine's sound output: an ALSA PCM ("default" unless named), with the level set through
// the application's music player or the mixer of the named device. Another backend is chosen
// here and nowhere else.
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "AlsaOutput.h"
#include "MusicPlayer.h"
#include "SoundOutput.h"

namespace sonicsend {

SoundOutput systemSoundOutput() {
  return SoundOutput{
      .openDevice =
          [](const platform::AudioStreamBasicDescription& format) {
            return platform::openAlsaDevice(format);
          },
      .setVolume =
          [](float volume) {
            platform::MPMusicPlayerController::applicationMusicPlayer().setVolume(volume);
          },
  };
}

SoundOutput systemSoundOutput(const std::string& device) {
  auto master = std::make_shared<platform::AlsaMasterVolume>(platform::controlForPcm(device));
  return SoundOutput{
      .openDevice =
          [device](const platform::AudioStreamBasicDescription& format) {
            return platform::openAlsaDevice(device, format);
          },
      .setVolume = [master](float volume) { master->set(volume); },
  };
}

class OutputLevel::Mixer {
 public:
  explicit Mixer(const std::string& device) : master(platform::controlForPcm(device)) {}
  platform::AlsaMasterVolume master;
  std::mutex mutex;
  std::optional<platform::AlsaMasterVolume::Levels> found;  // none until the mixer answered
};

OutputLevel::OutputLevel(const std::string& device) : mixer_(std::make_unique<Mixer>(device)) {}

OutputLevel::~OutputLevel() {
  restore();
}

void OutputLevel::set(float volume) {
  const std::scoped_lock lock(mixer_->mutex);
  // Nothing is changed before the level to put back is known: while the mixer cannot be opened
  // (a sound server not yet running) each call tries to read it again.
  if (!mixer_->found) mixer_->found = mixer_->master.levels();
  if (mixer_->found) mixer_->master.set(volume);
}

void OutputLevel::restore() {
  const std::scoped_lock lock(mixer_->mutex);
  if (mixer_->found) mixer_->master.setLevels(*mixer_->found);
  mixer_->found.reset();
}

}  // namespace sonicsend
