// Inputs on which a receiver could be tempted into a wrong answer: recordings that hold no
// message, hold something shaped like one, or hold a real message too damaged to read.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <numbers>
#include <random>

#include "channel.h"

namespace sonicsend::simulator {

enum class WrongInput {
  noise,          // white noise at a random level
  music,          // notes with harmonics, some on the signal's own tones
  randomSymbols,  // the signal's carriers and tones, sounding random bytes, looped
  brokenMessage,  // frames that all check, carrying a message whose checksum does not hold
  twoMessages,    // a pass of one message, then passes of another of the same length
  drowned,        // a real message at -16 dB SNR, one or two passes
  echoChamber,    // a real message in a room of RT60 2 s, DRR -6 dB
};

inline constexpr std::array kWrongInputs = {WrongInput::noise,         WrongInput::music,
                                            WrongInput::randomSymbols, WrongInput::brokenMessage,
                                            WrongInput::twoMessages,   WrongInput::drowned,
                                            WrongInput::echoChamber};

inline const char* nameOf(WrongInput kind) {
  static constexpr const char* kNames[] = {"noise",          "music",        "random_symbols",
                                           "broken_message", "two_messages", "drowned",
                                           "echo_chamber"};
  return kNames[static_cast<int>(kind)];
}

namespace detail {

// The tones of `bytes` as symbols, without the sender's exact rounding.
inline std::vector<float> symbolsOf(const std::vector<std::uint8_t>& bytes) {
  std::vector<float> out(bytes.size() * kSymbolSamples);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const std::size_t symbol = i / kSymbolSamples;
    const auto t = static_cast<double>(i) / kSampleRate;
    const auto tone = [t](int k) { return std::cos(2.0 * std::numbers::pi * k * 172.266 * t); };
    double sample = kCarrierAmplitude * tone(symbol % 2 == 0 ? kCarrierEvenK : kCarrierOddK);
    for (std::size_t bit = 0; bit < 8; ++bit) {
      if ((bytes[symbol] >> bit) & 1) sample += kToneAmplitude * tone(kBitToneK[bit]);
    }
    if (std::popcount(bytes[symbol]) % 2 != 0) sample += kToneAmplitude * tone(kParityK);
    out[i] = static_cast<float>(sample);
  }
  return out;
}

inline std::vector<float> music(std::mt19937& random) {
  std::vector<float> out(static_cast<std::size_t>(
      std::uniform_real_distribution<double>(3, 12)(random) * kSampleRate));
  std::uniform_int_distribution<int> note(-24, 24);  // semitones around 1 kHz
  std::uniform_real_distribution<double> length(0.05, 0.6);
  std::uniform_int_distribution<int> onTone(kCarrierEvenK, kParityK);
  std::bernoulli_distribution fromSignal(0.3);
  for (int voice = 0; voice < 3; ++voice) {
    for (std::size_t start = 0; start < out.size();) {
      const double hz = fromSignal(random) ? onTone(random) * 172.266
                                           : 1000.0 * std::pow(2.0, note(random) / 12.0);
      const auto duration = static_cast<std::size_t>(length(random) * kSampleRate);
      for (std::size_t i = 0; i < duration && start + i < out.size(); ++i) {
        const double t = static_cast<double>(i) / kSampleRate;
        double sample = 0.0;
        for (int harmonic = 1; harmonic <= 4; ++harmonic) {
          sample += std::sin(2.0 * std::numbers::pi * hz * harmonic * t) / harmonic;
        }
        out[start + i] += static_cast<float>(0.1 * sample * std::exp(-3.0 * t));
      }
      start += duration;
    }
  }
  return out;
}

inline std::vector<float> repeated(const std::vector<float>& pass, std::mt19937& random,
                                   int passes) {
  const auto offset = std::uniform_int_distribution<std::size_t>(0, pass.size() - 1)(random);
  return loop(pass, offset, static_cast<std::size_t>(passes) * pass.size());
}

// A framed message with its checksum off by one: every frame is sent with a check byte that
// holds, but no message with this length and these bytes passes the checksum.
inline std::vector<float> brokenMessage(std::mt19937& random) {
  const int units = std::uniform_int_distribution<int>(1, kMaxFramedCredentialUnits)(random);
  std::u16string ssid(static_cast<std::size_t>(units), u'a');
  std::uniform_int_distribution<int> printable(0x21, 0x7E);
  for (auto& unit : ssid) unit = static_cast<char16_t>(printable(random));
  auto message = buildMessage(Layout::framed, ssid, u"").value();
  const std::size_t checksum = static_cast<std::size_t>(units) + 2;
  message[checksum] = static_cast<std::uint8_t>(((message[checksum] + 1) & 0x7F) | 0x20);
  if (message[checksum] == 0) message[checksum] = 0x21;
  std::vector<float> pass(kSignalCapacity);
  pass.resize(static_cast<std::size_t>(synthesize(message, pass).value()));
  return pass;
}

}  // namespace detail

// An input of one kind: its samples at 44 100 Hz, and the messages it holds whole, if any.
struct WrongInputRecording {
  std::vector<float> samples;
  std::vector<Sent> sent;
};

inline WrongInputRecording makeWrongInput(WrongInput kind, std::mt19937& random) {
  std::vector<float> recording;
  std::vector<Sent> sent;
  std::uniform_int_distribution<int> passes(1, 3);
  switch (kind) {
    case WrongInput::noise: {
      recording.resize(static_cast<std::size_t>(
          std::uniform_real_distribution<double>(1, 15)(random) * kSampleRate));
      std::normal_distribution<float> gauss(
          0.0f, std::uniform_real_distribution<float>(0.001f, 0.5f)(random));
      for (float& s : recording) s = gauss(random);
      break;
    }
    case WrongInput::music:
      recording = detail::music(random);
      addNoise(recording, 30.0, random);
      break;
    case WrongInput::randomSymbols: {
      std::vector<std::uint8_t> bytes(10 *
                                      std::uniform_int_distribution<std::size_t>(1, 12)(random));
      std::uniform_int_distribution<int> byte(0, 255);
      for (auto& b : bytes) b = static_cast<std::uint8_t>(byte(random));
      recording = detail::repeated(detail::symbolsOf(bytes), random, passes(random));
      addNoise(recording, std::uniform_real_distribution<double>(-5, 20)(random), random);
      break;
    }
    case WrongInput::brokenMessage:
      recording = detail::repeated(detail::brokenMessage(random), random, passes(random));
      addNoise(recording, std::uniform_real_distribution<double>(-8, 15)(random), random);
      break;
    case WrongInput::twoMessages: {
      const int units = std::uniform_int_distribution<int>(0, kMaxFramedCredentialUnits)(random);
      sent = {messageOf(random, units, 0x21), messageOf(random, units, 0x21)};
      recording = sent[0].pass;
      const auto second = loop(sent[1].pass, 0, 2 * sent[1].pass.size());
      recording.insert(recording.end(), second.begin(), second.end());
      addNoise(recording, std::uniform_real_distribution<double>(-8, 15)(random), random);
      break;
    }
    case WrongInput::drowned:
      sent = {randomMessage(random)};
      recording = detail::repeated(sent[0].pass, random, passes(random) % 2 + 1);
      addNoise(recording, -16.0, random);
      break;
    case WrongInput::echoChamber:
      sent = {randomMessage(random)};
      recording =
          inRoom(detail::repeated(sent[0].pass, random, passes(random)), {2.0, -6.0}, random);
      addNoise(recording, 10.0, random);
      break;
  }
  return {std::move(recording), std::move(sent)};
}

}  // namespace sonicsend::simulator
