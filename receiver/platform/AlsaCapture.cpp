#include "platform/AlsaCapture.h"

#include <alsa/asoundlib.h>

#include <mutex>
#include <stdexcept>

namespace sonicsend::receiver {
namespace {

// Half a second of buffering absorbs scheduling delays of the reading thread.
constexpr unsigned kLatencyMicroseconds = 500000;

void check(int status, const char* what) {
  if (status < 0) throw std::runtime_error(std::string(what) + ": " + snd_strerror(status));
}

void ignoreAlsaMessage(const char*, int, const char*, int, const char*, ...) {}

// ALSA's library prints its own diagnostics to stderr; the capture's failures are reported in
// one line each by whoever catches them.
void quietAlsaLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { snd_lib_error_set_handler(ignoreAlsaMessage); });
}

}  // namespace

AlsaCapture::AlsaCapture(const std::string& device, unsigned sampleRate) {
  quietAlsaLibrary();
  check(snd_pcm_open(&pcm_, device.c_str(), SND_PCM_STREAM_CAPTURE, 0),
        "cannot open capture device");
  const int status = snd_pcm_set_params(pcm_, SND_PCM_FORMAT_FLOAT, SND_PCM_ACCESS_RW_INTERLEAVED,
                                        1, sampleRate, 1, kLatencyMicroseconds);
  if (status < 0) {
    snd_pcm_close(pcm_);
    check(status, "cannot set up capture device");
  }
}

AlsaCapture::~AlsaCapture() {
  snd_pcm_close(pcm_);
}

void AlsaCapture::read(std::span<float> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    const snd_pcm_sframes_t got = snd_pcm_readi(pcm_, out.data() + done, out.size() - done);
    if (got < 0) {
      check(snd_pcm_recover(pcm_, static_cast<int>(got), 1), "capture failed");
      continue;
    }
    done += static_cast<std::size_t>(got);
  }
}

}  // namespace sonicsend::receiver
