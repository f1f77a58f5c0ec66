#include "platform/alsaDevices.h"

#include <alsa/asoundlib.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "quietAlsa.h"

namespace sonicsend::platform {
namespace {

// One hint's field; ALSA hands out a copy the caller frees.
std::string hintField(const void* hint, const char* field) {
  const std::unique_ptr<char, decltype(&std::free)> value(snd_device_name_get_hint(hint, field),
                                                          &std::free);
  return value ? value.get() : "";
}

std::string oneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n') c = ',';
  }
  return text;
}

}  // namespace

std::vector<AlsaDeviceName> alsaDevices(Direction direction) {
  std::vector<AlsaDeviceName> devices;
  void** hints = nullptr;
  if (snd_device_name_hint(-1, "pcm", &hints) < 0) return devices;
  // No IOID: the device plays and captures.
  const char* const other = direction == Direction::playback ? "Input" : "Output";
  for (void** hint = hints; *hint != nullptr; ++hint) {
    if (hintField(*hint, "IOID") == other) continue;
    std::string name = hintField(*hint, "NAME");
    if (!name.empty()) devices.push_back({std::move(name), oneLine(hintField(*hint, "DESC"))});
  }
  snd_device_name_free_hint(hints);
  return devices;
}

bool alsaKnowsDevice(const std::string& name, Direction direction) {
  quietAlsaLibrary();  // an unknown name is ours to report, in one line
  snd_pcm_t* pcm = nullptr;
  const int err = snd_pcm_open(
      &pcm, name.c_str(),
      direction == Direction::playback ? SND_PCM_STREAM_PLAYBACK : SND_PCM_STREAM_CAPTURE,
      SND_PCM_NONBLOCK);
  if (err == 0) snd_pcm_close(pcm);
  return err != -ENOENT;
}

}  // namespace sonicsend::platform
