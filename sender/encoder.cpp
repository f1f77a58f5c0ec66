#include "encoder.h"

#include <algorithm>
#include <cmath>

namespace sonicsend {
namespace {

// Writes the low byte of every UTF-16 code unit of `text` from `pos` on; returns the new position.
std::size_t putLowBytes(MessageBuffer& message, std::size_t pos, std::u16string_view text) {
  for (char16_t unit : text) message[pos++] = static_cast<std::uint8_t>(unit & 0xFF);
  return pos;
}

MessageBuffer buildFramed(std::u16string_view ssid, std::u16string_view key) {
  MessageBuffer message{};
  std::size_t pos = putLowBytes(message, 1, ssid);
  message[pos++] = kFramedSeparator;
  const std::size_t end = putLowBytes(message, pos, key);
  // The body bytes are added as signed 8-bit values; only the low 7 bits count.
  std::int32_t sum = 0;
  for (std::size_t i = 1; i < end; ++i) sum += static_cast<std::int8_t>(message[i]);
  message[end] = static_cast<std::uint8_t>((sum | 0x20) & 0x7F);
  message[0] = static_cast<std::uint8_t>((end - 1) | kHeaderFlag);
  return message;
}

MessageBuffer buildBare(std::u16string_view ssid, std::u16string_view key) {
  MessageBuffer message{};
  std::size_t pos = putLowBytes(message, 0, ssid);
  message[pos++] = kBareSeparator;
  putLowBytes(message, pos, key);
  return message;
}

// Adds one tone to the sample, rounding to single precision after the addition.
float addTone(float sample, double amplitude, double omega, double i) {
  return static_cast<float>(static_cast<double>(sample) +
                            amplitude * std::cos((omega * i) / 44100.0));
}

// Sample `i` of a symbol carrying `byte` on the even (0) or odd (1) carrier.
float symbolSample(int i, std::uint8_t byte, int carrier) {
  const double t = static_cast<double>(i);
  const double omegaCarrier = carrier == 0 ? kOmegaCarrierEven : kOmegaCarrierOdd;
  float sample = static_cast<float>(kCarrierAmplitude * std::cos((omegaCarrier * t) / 44100.0));
  int check = 0;
  for (int bit = 0; bit < 8; ++bit) {
    if ((byte >> bit) & 1) {
      sample = addTone(sample, kToneAmplitude, kOmegaBit[static_cast<std::size_t>(bit)], t);
      ++check;
    }
  }
  if (check & 1) sample = addTone(sample, kToneAmplitude, kOmegaParity, t);
  return sample;
}

}  // namespace

std::optional<MessageBuffer> buildMessage(Layout layout, std::u16string_view ssid,
                                          std::u16string_view key) {
  const std::size_t units = ssid.size() + key.size();
  if (layout == Layout::framed) {
    if (units > static_cast<std::size_t>(kMaxFramedCredentialUnits)) return std::nullopt;
    return buildFramed(ssid, key);
  }
  if (units > static_cast<std::size_t>(kMaxBareCredentialUnits)) return std::nullopt;
  return buildBare(ssid, key);
}

int messageLength(const MessageBuffer& message) {
  return static_cast<int>(std::find(message.begin(), message.end(), 0) - message.begin());
}

int frameCount(const MessageBuffer& message) {
  const int length = messageLength(message);
  return length / kFramePayloadBytes + (length % kFramePayloadBytes != 0 ? 1 : 0);
}

void buildFrame(const MessageBuffer& message, int frame_pos, Frame& frame) {
  // Positions outside the buffer read as zero; the synthesiser never reaches them.
  const auto byteAt = [&message](long index) -> std::uint8_t {
    return index >= 0 && index < static_cast<long>(message.size())
               ? message[static_cast<std::size_t>(index)]
               : 0;
  };
  const long first = static_cast<long>(frame_pos) * kFramePayloadBytes;
  std::uint8_t check = static_cast<std::uint8_t>(frame_pos + 1);
  frame[0] = check;
  for (std::size_t n = 0; n < kFramePayloadBytes; ++n) {
    frame[1 + n] = byteAt(first + static_cast<long>(n));
    check = static_cast<std::uint8_t>(check + frame[1 + n]);
  }
  frame[9] = check | kFrameCheckFlag;
}

std::optional<int> synthesize(const MessageBuffer& message, std::span<float> signal) {
  if (messageLength(message) > kMaxMessageBytes) return std::nullopt;
  const int sampleLen = frameCount(message) * kFrameSamples;
  if (signal.size() < static_cast<std::size_t>(sampleLen)) return std::nullopt;

  // Walk the symbols sample by sample: a new symbol every 2560 samples, a new frame every
  // ten symbols, the carrier alternating from symbol to symbol.
  Frame abt{};
  buildFrame(message, 0, abt);
  int frame_pos = 1;
  std::size_t idx = 0;
  std::uint8_t bt = abt[0];
  int b0b1 = 0;
  int loop = 0;
  for (int i = 0; i < sampleLen; ++i) {
    if (++loop > kSymbolSamples) {
      loop = 1;
      if (++idx > 9) {
        buildFrame(message, frame_pos++, abt);
        idx = 0;
      }
      bt = abt[idx];
      b0b1 ^= 1;
    }
    signal[static_cast<std::size_t>(i)] = symbolSample(i, bt, b0b1);
  }
  return sampleLen;
}

void render(std::span<const float> samples, std::span<std::uint8_t> pcm) {
  std::size_t out = 0;
  for (float sample : samples) {
    // Single-precision product, truncated toward zero. Synthesised samples stay within
    // +-0.85; the clamp only keeps foreign input from overflowing the cast.
    float product = sample * kPcmScale;
    product = std::isnan(product) ? 0.0f : std::clamp(product, -32768.0f, 32767.0f);
    const auto ws = static_cast<std::uint16_t>(static_cast<std::int16_t>(product));
    for (int channel = 0; channel < kPcmChannels; ++channel) {
      pcm[out++] = static_cast<std::uint8_t>(ws & 0xFF);
      pcm[out++] = static_cast<std::uint8_t>(ws >> 8);
    }
  }
}

std::optional<Pass> encodePass(Layout layout, std::u16string_view ssid, std::u16string_view key) {
  const auto message = buildMessage(layout, ssid, key);
  if (!message) return std::nullopt;
  Pass pass;
  pass.samples.resize(static_cast<std::size_t>(frameCount(*message) * kFrameSamples));
  synthesize(*message, pass.samples);
  pass.pcm.resize(pass.samples.size() * kPcmBytesPerFrame);
  render(pass.samples, pass.pcm);
  return pass;
}

}  // namespace sonicsend
