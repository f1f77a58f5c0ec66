#include "platform/AlsaCapture.h"

#include <alsa/asoundlib.h>

#include "quietAlsa.h"

namespace sonicsend::receiver {
namespace {

// Half a second of buffering absorbs scheduling delays of the reading thread.
constexpr unsigned kLatencyMicroseconds = 500000;

}  // namespace

AlsaCapture::AlsaCapture(const std::string& device, unsigned sampleRate) : device_(device) {
  // The capture's failures are reported in one line each by whoever reads error().
  platform::quietAlsaLibrary();
  if (const int status = snd_pcm_open(&pcm_, device.c_str(), SND_PCM_STREAM_CAPTURE, 0);
      status < 0) {
    pcm_ = nullptr;
    failed("cannot open", status);
    return;
  }
  const int status = snd_pcm_set_params(pcm_, SND_PCM_FORMAT_FLOAT, SND_PCM_ACCESS_RW_INTERLEAVED,
                                        1, sampleRate, 1, kLatencyMicroseconds);
  if (status < 0) failed("cannot set up", status);
}

AlsaCapture::~AlsaCapture() {
  if (pcm_ != nullptr) snd_pcm_close(pcm_);
}

void AlsaCapture::failed(const char* what, int status) {
  error_ = std::string(what) + " capture device \"" + device_ + "\": " + snd_strerror(status);
  if (pcm_ != nullptr) snd_pcm_close(pcm_);
  pcm_ = nullptr;
}

bool AlsaCapture::read(std::span<float> out) {
  std::size_t done = 0;
  while (done < out.size() && pcm_ != nullptr) {
    const snd_pcm_sframes_t got = snd_pcm_readi(pcm_, out.data() + done, out.size() - done);
    if (got >= 0) {
      done += static_cast<std::size_t>(got);
    } else if (const int status = snd_pcm_recover(pcm_, static_cast<int>(got), 1); status < 0) {
      failed("lost", status);
    }
  }
  return pcm_ != nullptr;
}

}  // namespace sonicsend::receiver
