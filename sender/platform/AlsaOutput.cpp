// The ALSA backend of AudioDevice: the "default" PCM, 16-bit interleaved, about 100 ms of latency.
#include "AlsaOutput.h"

#include <alsa/asoundlib.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

#include "AlsaLog.h"

namespace sonicsend::platform {
namespace {

constexpr const char* kPcmName = "default";
constexpr unsigned kLatencyMicroseconds = 100'000;
// Frames handed to ALSA per write: a stop is honoured within this much sound (about 23 ms).
constexpr snd_pcm_uframes_t kSliceFrames = 1024;
constexpr auto kReopenInterval = std::chrono::milliseconds(500);

struct PcmSettings {
  unsigned channels;
  unsigned rate;
  unsigned frameBytes;
};

bool isPlayableFormat(const AudioStreamBasicDescription& format) {
  constexpr UInt32 kBigEndian = 2;
  constexpr UInt32 kNonInterleaved = 32;
  return format.mFormatID == kAudioFormatLinearPCM && format.mBitsPerChannel == 16 &&
         (format.mFormatFlags & kLinearPCMFormatFlagIsSignedInteger) != 0 &&
         (format.mFormatFlags & (kBigEndian | kNonInterleaved)) == 0 &&
         format.mChannelsPerFrame > 0 && format.mBytesPerFrame == 2 * format.mChannelsPerFrame &&
         format.mSampleRate >= 1.0;
}

// Opens and configures the PCM; the ALSA error code on failure.
int openPcm(const PcmSettings& settings, snd_pcm_t*& pcm) {
  int err = snd_pcm_open(&pcm, kPcmName, SND_PCM_STREAM_PLAYBACK, 0);
  if (err < 0) return err;
  err = snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED,
                           settings.channels, settings.rate, 1, kLatencyMicroseconds);
  if (err < 0) {
    snd_pcm_close(pcm);
    pcm = nullptr;
  }
  return err;
}

class AlsaDevice final : public AudioDevice {
 public:
  AlsaDevice(PcmSettings settings, snd_pcm_t* pcm) : settings_(settings), pcm_(pcm) {}
  ~AlsaDevice() override { close(); }
  AlsaDevice(const AlsaDevice&) = delete;
  AlsaDevice& operator=(const AlsaDevice&) = delete;

  void play(std::span<const std::uint8_t> frames, std::stop_token stop) override {
    const std::uint8_t* data = frames.data();
    auto left = static_cast<snd_pcm_uframes_t>(frames.size() / settings_.frameBytes);
    while (left > 0 && !stop.stop_requested()) {
      if (pcm_ == nullptr && !reopen(stop)) return;
      const snd_pcm_sframes_t written = snd_pcm_writei(pcm_, data, std::min(left, kSliceFrames));
      if (written >= 0) {
        const auto taken = static_cast<snd_pcm_uframes_t>(written);
        data += taken * settings_.frameBytes;
        left -= taken;
      } else {
        handleWriteError(static_cast<int>(written));
      }
    }
  }

  void drop() override {
    if (pcm_ == nullptr) return;
    snd_pcm_drop(pcm_);
    snd_pcm_prepare(pcm_);
  }

 private:
  // Underruns and suspends are recovered in place; anything else means the device went away
  // (e.g. the sound server restarted), so it is closed and opened again.
  void handleWriteError(int err) {
    if (err == -EAGAIN) return;
    if (err == -EPIPE || err == -ESTRPIPE || err == -EINTR) {
      if (snd_pcm_recover(pcm_, err, 1) >= 0) return;
    }
    std::fprintf(stderr, "sonicsend: lost the audio device (%s); reopening it\n",
                 snd_strerror(err));
    close();
  }

  bool reopen(std::stop_token stop) {
    std::mutex mutex;
    std::condition_variable_any wait;
    std::unique_lock lock(mutex);
    while (!stop.stop_requested()) {
      if (openPcm(settings_, pcm_) >= 0) {
        std::fprintf(stderr, "sonicsend: the audio device is back\n");
        return true;
      }
      wait.wait_for(lock, stop, kReopenInterval, [] { return false; });
    }
    return false;
  }

  void close() {
    if (pcm_ != nullptr) snd_pcm_close(pcm_);
    pcm_ = nullptr;
  }

  const PcmSettings settings_;
  snd_pcm_t* pcm_;
};

}  // namespace

std::unique_ptr<AudioDevice> openAlsaDevice(const AudioStreamBasicDescription& format) {
  if (!isPlayableFormat(format)) {
    std::fprintf(stderr, "sonicsend: ALSA output plays 16-bit signed little-endian PCM only\n");
    return nullptr;
  }
  const PcmSettings settings{format.mChannelsPerFrame,
                             static_cast<unsigned>(format.mSampleRate + 0.5),
                             format.mBytesPerFrame};
  quietAlsaLibrary();
  snd_pcm_t* pcm = nullptr;
  if (const int err = openPcm(settings, pcm); err < 0) {
    std::fprintf(stderr, "sonicsend: cannot open the ALSA PCM \"%s\" (%s); nothing is played\n",
                 kPcmName, snd_strerror(err));
    return nullptr;
  }
  return std::make_unique<AlsaDevice>(settings, pcm);
}

}  // namespace sonicsend::platform
