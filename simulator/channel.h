// A seeded, deterministic acoustic channel for receiver measurements and tests: rooms, noise,
// clock errors, clipping, dropouts, band limits, capture rates and lossy codecs. Every effect
// takes and returns mono samples; all but `capture` and `codec` stay at 44 100 Hz.
#pragma once

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <random>
#include <vector>

#include "fft.h"
#include "recordings.h"

namespace sonicsend::simulator {

namespace detail {

inline double powerOf(const std::vector<float>& samples) {
  double power = 0.0;
  for (float s : samples) power += static_cast<double>(s) * s;
  return samples.empty() ? 0.0 : power / static_cast<double>(samples.size());
}

}  // namespace detail

// A room: how long its reverberation takes to fall by 60 dB, and how much louder the direct
// sound is than all of the reverberation together.
struct Room {
  double rt60Seconds;
  double directToReverberantDb;
};

// The room's impulse response at 44 100 Hz: a direct path, six early reflections within the
// first 30 ms, and a diffuse tail of Gaussian noise decaying by 60 dB per RT60, scaled so that
// reflections and tail together hold the energy the direct-to-reverberant ratio leaves them.
inline std::vector<float> roomImpulse(const Room& room, std::mt19937& random) {
  const auto length = static_cast<std::size_t>(1.2 * room.rt60Seconds * kSampleRate) + 1;
  std::vector<double> reverb(length, 0.0);
  std::uniform_real_distribution<double> delay(0.002, 0.030);
  std::uniform_real_distribution<double> gain(0.3, 0.8);
  for (int r = 0; r < 6; ++r) {
    const auto at = static_cast<std::size_t>(delay(random) * kSampleRate);
    reverb[std::min(at, length - 1)] += (r % 2 == 0 ? 1.0 : -1.0) * gain(random);
  }
  std::normal_distribution<double> gauss(0.0, 1.0);
  const double decayPerSample = std::log(1000.0) / (room.rt60Seconds * kSampleRate);
  const auto onset = static_cast<std::size_t>(0.005 * kSampleRate);
  for (std::size_t i = onset; i < length; ++i) {
    // The tail fades in over its first 10 ms, as the reflections thicken.
    const double fadeIn = std::min(1.0, static_cast<double>(i - onset) / (0.010 * kSampleRate));
    reverb[i] += 0.2 * fadeIn * gauss(random) * std::exp(-decayPerSample * static_cast<double>(i));
  }
  double energy = 0.0;
  for (double r : reverb) energy += r * r;
  const double scale = std::sqrt(std::pow(10.0, -room.directToReverberantDb / 10.0) / energy);
  std::vector<float> impulse(length);
  for (std::size_t i = 0; i < length; ++i) impulse[i] = static_cast<float>(scale * reverb[i]);
  impulse[0] += 1.0f;
  return impulse;
}

// The recording convolved with `impulse`, cut to its own length.
inline std::vector<float> convolve(const std::vector<float>& samples,
                                   const std::vector<float>& impulse) {
  const std::size_t size = powerOfTwoAbove(samples.size() + impulse.size());
  Spectrum x(size), h(size);
  std::copy(samples.begin(), samples.end(), x.begin());
  std::copy(impulse.begin(), impulse.end(), h.begin());
  fft(x, false);
  fft(h, false);
  for (std::size_t i = 0; i < size; ++i) x[i] *= h[i];
  fft(x, true);
  std::vector<float> out(samples.size());
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<float>(x[i].real() / static_cast<double>(size));
  }
  return out;
}

inline std::vector<float> inRoom(const std::vector<float>& samples, const Room& room,
                                 std::mt19937& random) {
  return convolve(samples, roomImpulse(room, random));
}

// Keeps only what lies between `lowHz` and `highHz`.
inline void bandLimit(std::vector<float>& samples, double lowHz, double highHz) {
  const std::size_t size = powerOfTwoAbove(samples.size());
  Spectrum x(size);
  std::copy(samples.begin(), samples.end(), x.begin());
  fft(x, false);
  for (std::size_t i = 0; i < size; ++i) {
    const double hz =
        static_cast<double>(std::min(i, size - i)) * kSampleRate / static_cast<double>(size);
    if (hz < lowHz || hz > highHz) x[i] = 0.0;
  }
  fft(x, true);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<float>(x[i].real() / static_cast<double>(size));
  }
}

// The recorder's clock runs `ppm` fast (negative: slow) and its speed wobbles by
// `flutterFraction` (0.002 for 0.2 %) at `flutterHz`: the sound is read back at those times,
// through cubic interpolation.
inline std::vector<float> warpClock(const std::vector<float>& samples, double ppm,
                                    double flutterFraction = 0.0, double flutterHz = 4.0) {
  std::vector<float> out;
  out.reserve(samples.size());
  const double omega = 2.0 * std::numbers::pi * flutterHz / kSampleRate;
  for (std::size_t n = 0;; ++n) {
    const double t = static_cast<double>(n) / (1.0 + ppm * 1e-6) +
                     flutterFraction / omega * (1.0 - std::cos(omega * static_cast<double>(n)));
    const auto i = static_cast<std::ptrdiff_t>(std::floor(t));
    if (i + 2 >= std::ssize(samples)) break;
    const double f = t - static_cast<double>(i);
    const auto at = [&](std::ptrdiff_t k) {
      return static_cast<double>(samples[static_cast<std::size_t>(std::max<std::ptrdiff_t>(k, 0))]);
    };
    const double p0 = at(i - 1), p1 = at(i), p2 = at(i + 1), p3 = at(i + 2);
    const double value =
        p1 +
        0.5 * f *
            (p2 - p0 + f * (2.0 * p0 - 5.0 * p1 + 4.0 * p2 - p3 + f * (3.0 * (p1 - p2) + p3 - p0)));
    out.push_back(static_cast<float>(value));
  }
  return out;
}

// Scales the recording so that its peak is at `peak` of full scale, then cuts everything above
// `clipAt` of full scale.
inline void clip(std::vector<float>& samples, float peak, float clipAt) {
  float highest = 0.0f;
  for (float s : samples) highest = std::max(highest, std::abs(s));
  if (highest == 0.0f) return;
  for (float& s : samples) s = std::clamp(s * peak / highest, -clipAt, clipAt);
}

// Silences `lengthSeconds` every `everySeconds`.
inline void dropOut(std::vector<float>& samples, double lengthSeconds, double everySeconds) {
  const auto every = static_cast<std::size_t>(everySeconds * kSampleRate);
  const auto length = static_cast<std::size_t>(lengthSeconds * kSampleRate);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (i % every < length) samples[i] = 0.0f;
  }
}

// Silences `lengthSeconds` about every `everySeconds`, each gap drawn between half and one and
// a half times that, as a radio link or a busy audio path drops out: unlike `dropOut`, never
// in step with the loop for long.
inline void dropOutAtRandom(std::vector<float>& samples, double lengthSeconds, double everySeconds,
                            std::mt19937& random) {
  const auto length = static_cast<std::size_t>(lengthSeconds * kSampleRate);
  std::uniform_real_distribution<double> gap(0.5 * everySeconds, 1.5 * everySeconds);
  for (auto start = static_cast<std::size_t>(gap(random) * kSampleRate); start < samples.size();
       start += static_cast<std::size_t>(gap(random) * kSampleRate)) {
    const std::size_t end = std::min(samples.size(), start + length);
    std::fill(samples.begin() + static_cast<std::ptrdiff_t>(start),
              samples.begin() + static_cast<std::ptrdiff_t>(end), 0.0f);
  }
}

// A steady whistle at `hz`, `aboveDb` louder than the recording.
inline void addWhistle(std::vector<float>& samples, double hz, double aboveDb) {
  const double amplitude =
      std::sqrt(2.0 * detail::powerOf(samples) * std::pow(10.0, aboveDb / 10.0));
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] += static_cast<float>(
        amplitude * std::sin(2.0 * std::numbers::pi * hz * static_cast<double>(i) / kSampleRate));
  }
}

// Babble-like noise at `snrDb`: voice-band noise (200-4000 Hz) whose loudness swells and fades
// at syllable rate, a few overlapping talkers.
inline void addBabble(std::vector<float>& samples, double snrDb, std::mt19937& random) {
  std::vector<float> babble(samples.size(), 0.0f);
  std::normal_distribution<float> gauss(0.0f, 1.0f);
  std::uniform_real_distribution<double> rate(3.0, 6.0);
  std::uniform_real_distribution<double> phase(0.0, 2.0 * std::numbers::pi);
  for (int talker = 0; talker < 4; ++talker) {
    const double hz = rate(random);
    const double start = phase(random);
    for (std::size_t i = 0; i < babble.size(); ++i) {
      const double envelope = std::max(
          0.0,
          std::sin(start + 2.0 * std::numbers::pi * hz * static_cast<double>(i) / kSampleRate));
      babble[i] += static_cast<float>(envelope) * gauss(random);
    }
  }
  bandLimit(babble, 200.0, 4000.0);
  const double scale =
      std::sqrt(detail::powerOf(samples) / std::pow(10.0, snrDb / 10.0) / detail::powerOf(babble));
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] += static_cast<float>(scale * babble[i]);
  }
}

// Lossy codecs that libsndfile writes and reads.
enum class Codec { vorbis, opus, alaw, ulaw, gsm };

namespace detail {

// A file in memory, for libsndfile's virtual I/O.
struct MemoryFile {
  std::vector<char> bytes;
  sf_count_t position = 0;

  static SF_VIRTUAL_IO io() {
    SF_VIRTUAL_IO io{};
    io.get_filelen = [](void* self) { return static_cast<sf_count_t>(of(self).bytes.size()); };
    io.seek = [](sf_count_t offset, int whence, void* self) {
      auto& file = of(self);
      const sf_count_t base = whence == SEEK_SET   ? 0
                              : whence == SEEK_CUR ? file.position
                                                   : static_cast<sf_count_t>(file.bytes.size());
      file.position = std::max<sf_count_t>(0, base + offset);
      return file.position;
    };
    io.read = [](void* out, sf_count_t count, void* self) {
      auto& file = of(self);
      const auto size = static_cast<sf_count_t>(file.bytes.size());
      const sf_count_t n = std::clamp<sf_count_t>(size - file.position, 0, count);
      std::memcpy(out, file.bytes.data() + file.position, static_cast<std::size_t>(n));
      file.position += n;
      return n;
    };
    io.write = [](const void* in, sf_count_t count, void* self) {
      auto& file = of(self);
      const auto end = static_cast<std::size_t>(file.position + count);
      if (file.bytes.size() < end) file.bytes.resize(end);
      std::memcpy(file.bytes.data() + file.position, in, static_cast<std::size_t>(count));
      file.position += count;
      return count;
    };
    io.tell = [](void* self) { return of(self).position; };
    return io;
  }
  static MemoryFile& of(void* self) { return *static_cast<MemoryFile*>(self); }
};

}  // namespace detail

// The rate each codec is used at: the phone codecs at 8 kHz, Opus at 16 kHz, Vorbis at 44.1.
inline int codecRate(Codec codec) {
  return codec == Codec::vorbis ? kSampleRate : codec == Codec::opus ? 16000 : 8000;
}

// Encodes the recording (mono, at `codecRate`, peak at half of full scale) with `codec` at
// libsndfile's `compression` level (1: the smallest file, the lowest quality) and decodes it
// again; empty when libsndfile cannot.
inline std::vector<float> codecRoundTrip(const std::vector<float>& samples, Codec codec,
                                         double compression = 1.0) {
  static constexpr int kFormats[] = {SF_FORMAT_OGG | SF_FORMAT_VORBIS,
                                     SF_FORMAT_OGG | SF_FORMAT_OPUS, SF_FORMAT_WAV | SF_FORMAT_ALAW,
                                     SF_FORMAT_WAV | SF_FORMAT_ULAW,
                                     SF_FORMAT_WAV | SF_FORMAT_GSM610};
  std::vector<float> scaled = samples;
  clip(scaled, 0.5f, 1.0f);
  detail::MemoryFile file;
  SF_VIRTUAL_IO io = detail::MemoryFile::io();
  SF_INFO info{0, codecRate(codec), 1, kFormats[static_cast<int>(codec)], 0, 0};
  SNDFILE* out = sf_open_virtual(&io, SFM_WRITE, &info, &file);
  if (out == nullptr) return {};
  sf_command(out, SFC_SET_COMPRESSION_LEVEL, &compression, sizeof compression);
  sf_write_float(out, scaled.data(), static_cast<sf_count_t>(scaled.size()));
  sf_close(out);
  file.position = 0;
  info = {};
  SNDFILE* in = sf_open_virtual(&io, SFM_READ, &info, &file);
  if (in == nullptr) return {};
  std::vector<float> decoded(static_cast<std::size_t>(info.frames));
  decoded.resize(static_cast<std::size_t>(
      sf_read_float(in, decoded.data(), static_cast<sf_count_t>(decoded.size()))));
  sf_close(in);
  return decoded;
}

}  // namespace sonicsend::simulator
