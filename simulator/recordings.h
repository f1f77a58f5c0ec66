// The sender's own pass as a receiver may record it: looped, cut, buried in noise, resampled;
// and random framed credentials with their pass.
#pragma once

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "encoder.h"

namespace sonicsend::simulator {

inline std::vector<float> passOf(Layout layout, std::u16string_view ssid, std::u16string_view key) {
  return encodePass(layout, ssid, key).value().samples;
}

// `length` samples of the endlessly looped pass, from `offset` into it.
inline std::vector<float> loop(const std::vector<float>& pass, std::size_t offset,
                               std::size_t length) {
  std::vector<float> out(length);
  for (std::size_t i = 0; i < length; ++i) out[i] = pass[(offset + i) % pass.size()];
  return out;
}

// Adds white Gaussian noise over the whole band at `snrDb` below the recording's own power.
inline void addNoise(std::vector<float>& samples, double snrDb, std::mt19937& random) {
  double power = 0.0;
  for (float s : samples) power += static_cast<double>(s) * s / static_cast<double>(samples.size());
  std::normal_distribution<double> noise(0.0, std::sqrt(power / std::pow(10.0, snrDb / 10.0)));
  for (float& s : samples) s = static_cast<float>(s + noise(random));
}

// The recording as a device sampling at `rate` would hear it.
inline std::vector<float> resampleTo(const std::vector<float>& samples, int rate) {
  std::vector<float> out(samples.size() * static_cast<std::size_t>(rate) / kSampleRate + 64);
  std::size_t written = 0;
  soxr_oneshot(kSampleRate, rate, 1, samples.data(), samples.size(), nullptr, out.data(),
               out.size(), &written, nullptr, nullptr, nullptr);
  out.resize(written);
  return out;
}

// The bytes the receiver reports for `text`: the low byte of each code unit.
inline std::string bytesOf(std::u16string_view text) {
  std::string bytes;
  for (char16_t unit : text) bytes.push_back(static_cast<char>(unit & 0xFF));
  return bytes;
}

// Framed credentials and their pass.
struct Sent {
  std::string ssid;  // bytes, as the receiver returns them
  std::string key;
  std::vector<float> pass;
};

// Random framed credentials of `units` code units in all, from `lowest` to '~'.
inline Sent messageOf(std::mt19937& random, int units, int lowest = 0x20) {
  std::uniform_int_distribution<int> printable(lowest, 0x7E);
  const int ssidUnits = std::uniform_int_distribution<int>(0, std::min(units, 32))(random);
  std::u16string ssid;
  std::u16string key;
  for (int i = 0; i < units; ++i)
    (i < ssidUnits ? ssid : key).push_back(static_cast<char16_t>(printable(random)));
  return {bytesOf(ssid), bytesOf(key), passOf(Layout::framed, ssid, key)};
}

// Random framed credentials of printable ASCII, up to the longest message.
inline Sent randomMessage(std::mt19937& random) {
  return messageOf(random,
                   std::uniform_int_distribution<int>(0, kMaxFramedCredentialUnits)(random));
}

}  // namespace sonicsend::simulator
