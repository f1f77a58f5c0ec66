// The ALSA backend of AudioDevice: a PCM ("default" unless named), 16-bit interleaved, about
// 100 ms of latency.
#include "AlsaOutput.h"

#include <alsa/asoundlib.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "logSink.h"
#include "quietAlsa.h"

namespace sonicsend::platform {
namespace {

constexpr unsigned kLatencyMicroseconds = 100'000;
// Frames handed to ALSA per write: a stop is honoured within this much sound (about 23 ms).
constexpr snd_pcm_uframes_t kSliceFrames = 1024;

// Set while the PCM cannot be opened, so that a queue trying again every second logs the failure
// once and the recovery once.
std::atomic<bool> openFailing = false;

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
int openPcm(const std::string& name, const PcmSettings& settings, snd_pcm_t*& pcm) {
  int err = snd_pcm_open(&pcm, name.c_str(), SND_PCM_STREAM_PLAYBACK, 0);
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

  std::size_t play(std::span<const std::uint8_t> frames, std::stop_token stop) override {
    const std::uint8_t* data = frames.data();
    auto left = static_cast<snd_pcm_uframes_t>(frames.size() / settings_.frameBytes);
    while (left > 0 && !stop.stop_requested() && pcm_ != nullptr) {
      const snd_pcm_sframes_t written = snd_pcm_writei(pcm_, data, std::min(left, kSliceFrames));
      if (written >= 0) {
        const auto taken = static_cast<snd_pcm_uframes_t>(written);
        data += taken * settings_.frameBytes;
        left -= taken;
      } else {
        handleWriteError(static_cast<int>(written));
      }
    }
    return static_cast<std::size_t>(data - frames.data());
  }

  void drop() override {
    if (pcm_ == nullptr) return;
    snd_pcm_drop(pcm_);
    snd_pcm_prepare(pcm_);
  }

 private:
  // Underruns and suspends are recovered in place; anything else means the device went away
  // (e.g. the sound server restarted): it is closed, and play() returns what it has taken.
  void handleWriteError(int err) {
    if (err == -EAGAIN) return;
    if (err == -EPIPE || err == -ESTRPIPE || err == -EINTR) {
      if (snd_pcm_recover(pcm_, err, 1) >= 0) return;
    }
    logLine(LogLevel::warning,
            std::string("sonicsend: lost the audio device (") + snd_strerror(err) + ")");
    close();
  }

  void close() {
    if (pcm_ != nullptr) snd_pcm_close(pcm_);
    pcm_ = nullptr;
  }

  const PcmSettings settings_;
  snd_pcm_t* pcm_;
};

}  // namespace

std::unique_ptr<AudioDevice> openAlsaDevice(const std::string& name,
                                            const AudioStreamBasicDescription& format) {
  if (!isPlayableFormat(format)) {
    logLine(LogLevel::error, "sonicsend: ALSA output plays 16-bit signed little-endian PCM only");
    return nullptr;
  }
  const PcmSettings settings{format.mChannelsPerFrame,
                             static_cast<unsigned>(format.mSampleRate + 0.5),
                             format.mBytesPerFrame};
  quietAlsaLibrary();
  snd_pcm_t* pcm = nullptr;
  if (const int err = openPcm(name, settings, pcm); err < 0) {
    if (!openFailing.exchange(true)) {
      logLine(LogLevel::warning,
              "sonicsend: cannot open the ALSA PCM \"" + name + "\" (" + snd_strerror(err) + ")");
    }
    return nullptr;
  }
  if (openFailing.exchange(false)) {
    logLine(LogLevel::info, "sonicsend: the ALSA PCM \"" + name + "\" is open");
  }
  return std::make_unique<AlsaDevice>(settings, pcm);
}

std::unique_ptr<AudioDevice> openAlsaDevice(const AudioStreamBasicDescription& format) {
  return openAlsaDevice("default", format);
}

}  // namespace sonicsend::platform
