// Where a sender's sound goes: the PCM device its output queues play on and the output level
// it sets for a send. This is the seam between the sender and the machine's sound: each
// backend (AlsaOutput.cpp) provides an AudioDevice, and tests put an in-process sink in its
// place.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <stop_token>
#include <string>

#include "CoreAudioTypes.h"

namespace sonicsend {

// A PCM output device, used by one thread at a time (the queue's own thread once it plays).
class AudioDevice {
 public:
  virtual ~AudioDevice() = default;
  // Plays interleaved frames right after what it was given before, with no gap. Returns the
  // bytes the device has taken: all of them, or fewer once `stop` is requested or when the
  // device has gone away (then the queue closes it and opens another).
  virtual std::size_t play(std::span<const std::uint8_t> frames, std::stop_token stop) = 0;
  // Throws away what the device holds but has not played yet; play() may follow.
  virtual void drop() = 0;
};

// Opens a device for the stream format; null when there is none at the moment.
using AudioDeviceFactory =
    std::function<std::unique_ptr<AudioDevice>(const platform::AudioStreamBasicDescription&)>;

struct SoundOutput {
  AudioDeviceFactory openDevice;         // the device each new output queue plays on
  std::function<void(float)> setVolume;  // the output level a start sets, 0 to 1
};

// The machine's own sound output: the system's default device and its master volume.
SoundOutput systemSoundOutput();

// The machine's sound output on the PCM named `device` (ALSA: "default", "hw:1,0", "pulse",
// ...), its level set on that device's mixer.
SoundOutput systemSoundOutput(const std::string& device);

// The output level of the machine's mixer for `device`, for a caller that puts back what it
// found: set() reads the level before its first change, restore() (and the destructor) puts
// that level back. While the mixer cannot be opened set() changes nothing, and a later call,
// once a device has come, reads the level then. A queue's thread may call set() while its
// owner restores.
class OutputLevel {
 public:
  explicit OutputLevel(const std::string& device);
  ~OutputLevel();
  OutputLevel(const OutputLevel&) = delete;
  OutputLevel& operator=(const OutputLevel&) = delete;

  void set(float volume);
  void restore();

 private:
  class Mixer;
  std::unique_ptr<Mixer> mixer_;
};

}  // namespace sonicsend
