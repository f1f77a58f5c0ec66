// An independent check of the whole chain: measure the eleven tones of every symbol with
// Goertzel filters, rebuild the frames and the message bytes, and compare with what was sent.
// Golden samples miss a swapped tone or a reversed bit order; this does not.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "encoder.h"

namespace {

constexpr int kSymbol = 2560;
constexpr double kToneHz = 44100.0 / 256.0;

// Amplitude of the tone k x 172.27 Hz over one symbol.
double toneAmplitude(const float* samples, int k) {
  const double w = 2.0 * std::numbers::pi * k * kToneHz / 44100.0;
  const double coefficient = 2.0 * std::cos(w);
  double s1 = 0.0, s2 = 0.0;
  for (int n = 0; n < kSymbol; ++n) {
    const double s0 = samples[n] + coefficient * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
  return 2.0 * std::sqrt(power) / kSymbol;
}

// Reads the byte of symbol `j`, checking its carrier and parity tone on the way.
std::optional<std::uint8_t> decodeSymbol(const float* samples, int j) {
  const bool even = j % 2 == 0;
  if (toneAmplitude(samples, even ? 8 : 13) < 0.03 ||
      toneAmplitude(samples, even ? 13 : 8) > 0.02) {
    return std::nullopt;
  }
  constexpr int kBitK[8] = {9, 10, 11, 12, 14, 15, 16, 17};
  std::uint8_t byte = 0;
  for (int bit = 0; bit < 8; ++bit) {
    if (toneAmplitude(samples, kBitK[bit]) > 0.05)
      byte = static_cast<std::uint8_t>(byte | 1 << bit);
  }
  const bool parityTone = toneAmplitude(samples, 18) > 0.05;
  if (parityTone != (std::popcount(byte) % 2 == 1)) return std::nullopt;
  return byte;
}

// Frames -> message bytes, checking frame numbers and check bytes.
std::optional<std::vector<std::uint8_t>> decodeMessage(const std::vector<float>& signal) {
  std::vector<std::uint8_t> message;
  const int frames = static_cast<int>(signal.size()) / (10 * kSymbol);
  for (int p = 0; p < frames; ++p) {
    std::uint8_t frame[10];
    for (int b = 0; b < 10; ++b) {
      const int j = 10 * p + b;
      const auto byte = decodeSymbol(signal.data() + j * kSymbol, j);
      if (!byte) return std::nullopt;
      frame[b] = *byte;
    }
    unsigned sum = 0;
    for (int b = 0; b < 9; ++b) sum += frame[b];
    if (frame[0] != p + 1 || frame[9] != ((sum & 0xFF) | 0x80)) return std::nullopt;
    message.insert(message.end(), frame + 1, frame + 9);
  }
  return message;
}

std::u16string randomText(std::mt19937& rng, std::size_t length) {
  std::uniform_int_distribution<int> kind(0, 9);
  std::uniform_int_distribution<int> ascii(0x20, 0x7E), latin(0xA0, 0xFF), cjk(0x4E01, 0x9FFF);
  std::u16string text;
  while (text.size() < length) {
    const int k = kind(rng);
    int unit = k < 6 ? ascii(rng) : k < 8 ? latin(rng) : cjk(rng);
    if ((unit & 0xFF) == 0) unit = 'z';  // a zero low byte would end the message early
    text.push_back(static_cast<char16_t>(unit));
  }
  return text;
}

TEST(ToneDecode, RandomCredentialsComeBackFromTheTones) {
  std::mt19937 rng(20261206);
  for (int round = 0; round < 300; ++round) {
    const bool bare = round % 4 == 3;
    const std::size_t limit = bare ? 95 : 93;
    std::uniform_int_distribution<std::size_t> length(0, limit);
    const std::size_t total = length(rng);
    const std::size_t ssidLength = std::uniform_int_distribution<std::size_t>(0, total)(rng);
    const std::u16string ssid = randomText(rng, ssidLength);
    const std::u16string key = randomText(rng, total - ssidLength);
    const auto layout = bare ? sonicsend::Layout::bare : sonicsend::Layout::framed;
    const auto pass = sonicsend::encodePass(layout, ssid, key);
    ASSERT_TRUE(pass);
    const auto heard = decodeMessage(pass->samples);
    ASSERT_TRUE(heard) << "round " << round;
    // The layouts themselves are pinned by the message tests; here every byte of the buffer
    // up to the end of the last frame must come back from the tones.
    const auto sent = sonicsend::buildMessage(layout, ssid, key).value();
    EXPECT_EQ(*heard, std::vector<std::uint8_t>(sent.begin(),
                                                sent.begin() + static_cast<long>(heard->size())))
        << "round " << round;
    EXPECT_EQ(heard->size(), static_cast<std::size_t>(sonicsend::frameCount(sent) * 8));
  }
}

}  // namespace
