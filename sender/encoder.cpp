#include "encoder.h"

#include <algorithm>
#include <cmath>

#include "synthesis.h"

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

// The index of the first unit of `text` for which `matches` holds, or nullopt.
template <typename Predicate>
std::optional<std::size_t> firstUnitWhere(std::u16string_view text, Predicate matches) {
  const auto unit = std::find_if(text.begin(), text.end(), matches);
  if (unit == text.end()) return std::nullopt;
  return static_cast<std::size_t>(unit - text.begin());
}

}  // namespace

std::optional<std::size_t> firstUnitNotCarried(std::u16string_view text) {
  return firstUnitWhere(text, [](char16_t unit) { return unit > 0xFF; });
}

std::optional<std::size_t> firstUnitNotSplitBack(Layout layout, std::u16string_view text) {
  const std::uint8_t separator = layout == Layout::framed ? kFramedSeparator : kBareSeparator;
  return firstUnitWhere(text, [separator](char16_t unit) {
    const auto low = static_cast<std::uint8_t>(unit & 0xFF);
    return low == separator || low == 0;
  });
}

std::optional<std::size_t> firstControlCharacter(std::u16string_view text) {
  return firstUnitWhere(text, [](char16_t unit) { return unit < 0x20 || unit == 0x7F; });
}

std::optional<MessageBuffer> buildMessage(Layout layout, std::u16string_view ssid,
                                          std::u16string_view key) {
  if (ssid.size() + key.size() > static_cast<std::size_t>(maxCredentialUnits(layout))) {
    return std::nullopt;
  }
  return layout == Layout::framed ? buildFramed(ssid, key) : buildBare(ssid, key);
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
  const auto outcome = synthesis::synthesizeFast(message, signal);
  if (!outcome) return std::nullopt;
  return outcome->samples;
}

void render(std::span<const float> samples, std::span<std::uint8_t> pcm) {
  for (std::size_t n = 0; n < samples.size(); ++n) {
    // Single-precision product, truncated toward zero. Synthesised samples stay within
    // +-0.85; the NaN test and the clamp only keep foreign input from overflowing the cast.
    // No branches, so that the loop vectorises.
    float product = samples[n] * kPcmScale;
    product = std::isnan(product) ? 0.0f : product;
    product = product < -32768.0f ? -32768.0f : product;
    product = product > 32767.0f ? 32767.0f : product;
    const auto ws = static_cast<std::uint16_t>(static_cast<std::int16_t>(product));
    std::uint8_t* frame = pcm.data() + n * static_cast<std::size_t>(kPcmBytesPerFrame);
    for (int channel = 0; channel < kPcmChannels; ++channel) {
      frame[2 * channel] = static_cast<std::uint8_t>(ws & 0xFF);
      frame[2 * channel + 1] = static_cast<std::uint8_t>(ws >> 8);
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
