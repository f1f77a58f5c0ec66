#include "MusicPlayer.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "logSink.h"
#include "quietAlsa.h"

namespace sonicsend::platform {
namespace {

constexpr const char* kElementName = "Master";

struct MixerCloser {
  void operator()(snd_mixer_t* mixer) const { snd_mixer_close(mixer); }
};
using Mixer = std::unique_ptr<snd_mixer_t, MixerCloser>;

// A fresh mixer handle each time: a handle caches the element's values and skips a write that
// matches its cache, so a level changed elsewhere since then would not be set again.
Mixer openMixer(const std::string& control, int& err) {
  snd_mixer_t* raw = nullptr;
  if ((err = snd_mixer_open(&raw, 0)) < 0) return nullptr;
  Mixer mixer(raw);
  if ((err = snd_mixer_attach(raw, control.c_str())) < 0) return nullptr;
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

// The "Master" element of a freshly opened mixer, with its range; null element when there is
// none (`err` then holds ALSA's reason, if it gave one).
struct Master {
  Mixer mixer;
  snd_mixer_elem_t* elem = nullptr;
  long min = 0;
  long max = 0;
};

Master openMaster(const std::string& control, int& err) {
  quietAlsaLibrary();
  Master master{openMixer(control, err)};
  master.elem = master.mixer ? masterElement(master.mixer.get()) : nullptr;
  if (master.elem != nullptr &&
      snd_mixer_selem_get_playback_volume_range(master.elem, &master.min, &master.max) < 0) {
    master.elem = nullptr;
  }
  return master;
}

// The playback channels of `elem`, in ALSA's order.
std::vector<snd_mixer_selem_channel_id_t> channelsOf(snd_mixer_elem_t* elem) {
  std::vector<snd_mixer_selem_channel_id_t> channels;
  for (int c = SND_MIXER_SCHN_FRONT_LEFT; c <= SND_MIXER_SCHN_LAST; ++c) {
    const auto channel = static_cast<snd_mixer_selem_channel_id_t>(c);
    if (snd_mixer_selem_has_playback_channel(elem, channel)) channels.push_back(channel);
  }
  return channels;
}

}  // namespace

void AlsaMasterVolume::reportNoMixer(int err) {
  if (reportedNoMixer_.exchange(true)) return;
  logLine(LogLevel::warning, std::string("sonicsend: no \"") + kElementName +
                                 "\" playback volume on the ALSA control \"" + control_ + "\" (" +
                                 (err < 0 ? snd_strerror(err) : "no such element") +
                                 "); the output level is left as it is");
}

void AlsaMasterVolume::set(float volume) {
  int err = 0;
  const Master master = openMaster(control_, err);
  if (master.elem == nullptr) return reportNoMixer(err);
  const double fraction = std::clamp(static_cast<double>(volume), 0.0, 1.0);
  const long value =
      master.min + std::lround(fraction * static_cast<double>(master.max - master.min));
  snd_mixer_selem_set_playback_volume_all(master.elem, value);
}

std::optional<AlsaMasterVolume::Levels> AlsaMasterVolume::levels() {
  int err = 0;
  const Master master = openMaster(control_, err);
  if (master.elem == nullptr) {
    reportNoMixer(err);
    return std::nullopt;
  }
  Levels levels;
  for (const auto channel : channelsOf(master.elem)) {
    long value = 0;
    if (snd_mixer_selem_get_playback_volume(master.elem, channel, &value) < 0) return std::nullopt;
    levels.push_back(value);
  }
  return levels;
}

void AlsaMasterVolume::setLevels(const Levels& levels) {
  int err = 0;
  const Master master = openMaster(control_, err);
  if (master.elem == nullptr) return reportNoMixer(err);
  const auto channels = channelsOf(master.elem);
  for (std::size_t i = 0; i < channels.size() && i < levels.size(); ++i) {
    snd_mixer_selem_set_playback_volume(master.elem, channels[i], levels[i]);
  }
}

std::string controlForPcm(const std::string& device) {
  for (const std::string prefix : {"hw:", "plughw:"}) {
    if (device.starts_with(prefix)) {
      const std::string card = device.substr(prefix.size());
      return "hw:" + card.substr(0, card.find(','));
    }
  }
  return device;
}

MPMusicPlayerController& MPMusicPlayerController::applicationMusicPlayer() {
  static MPMusicPlayerController player;
  return player;
}

}  // namespace sonicsend::platform
