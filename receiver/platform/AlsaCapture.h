// Mono capture from an ALSA device, in float samples. Nothing here throws: a failure is a value,
// error(), that names the device.
#pragma once

#include <span>
#include <string>

struct _snd_pcm;

namespace sonicsend::receiver {

class AlsaCapture {
 public:
  // Opens `device` ("default": the user's capture device) for mono float capture at
  // `sampleRate`. When it cannot be opened or set up, ok() is false and error() says why.
  AlsaCapture(const std::string& device, unsigned sampleRate);
  ~AlsaCapture();
  AlsaCapture(const AlsaCapture&) = delete;
  AlsaCapture& operator=(const AlsaCapture&) = delete;

  bool ok() const { return pcm_ != nullptr; }
  // One line naming the device and what failed; empty while nothing has.
  const std::string& error() const { return error_; }

  // Blocks until `out` is full; recovers from overruns. False (and the device closed) on an
  // error it cannot recover from, or when the device never opened.
  bool read(std::span<float> out);

 private:
  void failed(const char* what, int status);

  std::string device_;
  std::string error_;
  _snd_pcm* pcm_ = nullptr;
};

}  // namespace sonicsend::receiver
