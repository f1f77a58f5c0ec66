// Mono capture from an ALSA device, in float samples.
#pragma once

#include <span>
#include <string>

struct _snd_pcm;

namespace sonicsend::receiver {

class AlsaCapture {
 public:
  // Opens `device` ("default": the user's capture device) for mono float capture at
  // `sampleRate`; throws std::runtime_error when the device cannot be opened or set up.
  AlsaCapture(const std::string& device, unsigned sampleRate);
  ~AlsaCapture();
  AlsaCapture(const AlsaCapture&) = delete;
  AlsaCapture& operator=(const AlsaCapture&) = delete;

  // Blocks until `out` is full; recovers from overruns. Throws on an unrecoverable error.
  void read(std::span<float> out);

 private:
  _snd_pcm* pcm_ = nullptr;
};

}  // namespace sonicsend::receiver
