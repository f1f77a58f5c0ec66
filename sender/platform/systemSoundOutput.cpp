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
  bool read = false;  // the level was read, or could not be
  std::optional<platform::AlsaMasterVolume::Levels> found;
};

OutputLevel::OutputLevel(const std::string& device) : mixer_(std::make_unique<Mixer>(device)) {}

OutputLevel::~OutputLevel() {
  restore();
}

void OutputLevel::set(float volume) {
  const std::scoped_lock lock(mixer_->mutex);
  if (!mixer_->read) mixer_->found = mixer_->master.levels();
  mixer_->read = true;
  mixer_->master.set(volume);
}

void OutputLevel::restore() {
  const std::scoped_lock lock(mixer_->mutex);
  if (mixer_->found) mixer_->master.setLevels(*mixer_->found);
  mixer_->found.reset();
  mixer_->read = false;
}

}  // namespace sonicsend
