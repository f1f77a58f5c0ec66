#include "MusicPlayer.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>

#include "AlsaLog.h"
#include "logSink.h"

namespace sonicsend::platform {
namespace {

constexpr const char* kControlName = "default";
constexpr const char* kElementName = "Master";

struct MixerCloser {
  void operator()(snd_mixer_t* mixer) const { snd_mixer_close(mixer); }
};
using Mixer = std::unique_ptr<snd_mixer_t, MixerCloser>;

// A fresh mixer handle each time: a handle caches the element's values and skips a write that
// matches its cache, so a level changed elsewhere since then would not be set again.
Mixer openMixer(int& err) {
  snd_mixer_t* raw = nullptr;
  if ((err = snd_mixer_open(&raw, 0)) < 0) return nullptr;
  Mixer mixer(raw);
  if ((err = snd_mixer_attach(raw, kControlName)) < 0) return nullptr;
  if ((err = snd_mixer_selem_register(raw, nullptr, nullptr)) < 0) return nullptr;
  if ((err = snd_mixer_load(raw)) < 0) return nullptr;
  return mixer;
}

snd_mixer_elem_t* masterElement(snd_mixer_t* mixer) {
  snd_mixer_selem_id_t* id = nullptr;
  snd_mixer_selem_id_alloca(&id);
  snd_mixer_selem_id_set_index(id, 0);
  snd_mixer_selem_id_set_name(id, kElementName);
  snd_mixer_elem_t* elem = snd_mixer_find_selem(mixer, id);
  return elem != nullptr && snd_mixer_selem_has_playback_volume(elem) ? elem : nullptr;
}

}  // namespace

MPMusicPlayerController& MPMusicPlayerController::applicationMusicPlayer() {
  static MPMusicPlayerController player;
  return player;
}

void MPMusicPlayerController::setVolume(float volume) {
  quietAlsaLibrary();
  int err = 0;
  const Mixer mixer = openMixer(err);
  snd_mixer_elem_t* elem = mixer ? masterElement(mixer.get()) : nullptr;
  long min = 0;
  long max = 0;
  if (elem == nullptr || snd_mixer_selem_get_playback_volume_range(elem, &min, &max) < 0) {
    if (!reportedNoMixer_.exchange(true)) {
      logLine(LogLevel::warning, std::string("sonicsend: no \"") + kElementName +
                                     "\" playback volume on the ALSA control \"" + kControlName +
                                     "\" (" + (err < 0 ? snd_strerror(err) : "no such element") +
                                     "); the output level is left as it is");
    }
    return;
  }
  const double fraction = std::clamp(static_cast<double>(volume), 0.0, 1.0);
  const long value = min + std::lround(fraction * static_cast<double>(max - min));
  snd_mixer_selem_set_playback_volume_all(elem, value);
}

}  // namespace sonicsend::platform
