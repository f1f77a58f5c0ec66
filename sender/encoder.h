// The signal without playback: credentials -> message -> tone signal -> 16-bit stereo PCM.
// The sender plays what these functions produce; tools and tests use them directly.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "tones.h"

namespace sonicsend {

using MessageBuffer = std::array<std::uint8_t, kMessageBufferBytes>;
using Frame = std::array<std::uint8_t, kFrameBytes>;

enum class Layout {
  framed,  // header, SSID, 0x1F, key, checksum: what the sender's start plays
  bare,    // SSID, 0x0D, key
};

// The most UTF-16 code units SSID and key may hold together in one message of `layout`.
constexpr int maxCredentialUnits(Layout layout) {
  return layout == Layout::framed ? kMaxFramedCredentialUnits : kMaxBareCredentialUnits;
}

// The signal carries one byte per UTF-16 code unit, its low 8 bits, so only units up to 0xFF
// (ASCII and Latin-1) arrive as they were typed. Returns the index of the first unit above 0xFF,
// or nullopt when every unit of `text` arrives intact. Callers that send what a person typed
// refuse such a text; buildMessage itself still encodes it, byte for byte.
std::optional<std::size_t> firstUnitNotCarried(std::u16string_view text);

// A receiver splits a message of `layout` at its separator (framed 0x1F, bare 0x0D) and reads
// it up to a zero byte, and it sees each unit's low byte only: a unit whose low byte is the
// separator (U+001F, but also U+011F, U+4E1F ...) or zero cannot be split back as it was sent.
// Returns the index of the first such unit of `text`, or nullopt. Callers that send what a
// person typed refuse such a text; buildMessage itself still encodes it, byte for byte.
std::optional<std::size_t> firstUnitNotSplitBack(Layout layout, std::u16string_view text);

// The index of the first control character of `text` (U+0000 to U+001F, U+007F), or nullopt.
// A Wi-Fi key is 8 to 63 printable ASCII characters or 64 hexadecimal digits, so no real key
// holds one; the separators are among them.
std::optional<std::size_t> firstControlCharacter(std::u16string_view text);

// Every UTF-16 code unit becomes one byte, its low 8 bits. Credentials longer than the
// layout allows (framed: 93 units, bare: 95) are refused with nullopt.
std::optional<MessageBuffer> buildMessage(Layout layout, std::u16string_view ssid,
                                          std::u16string_view key);

// Bytes before the first zero byte (the whole buffer when there is none).
int messageLength(const MessageBuffer& message);

// Frames the synthesiser sends for this message: one per started group of 8 bytes.
int frameCount(const MessageBuffer& message);

// Frame `frame_pos` (0-based): number, 8 message bytes, check byte. frame_pos must lie
// within the buffer's 12 whole groups.
void buildFrame(const MessageBuffer& message, int frame_pos, Frame& frame);

// Writes frameCount(message) x 25 600 samples to the front of `signal` and returns that count.
// nullopt, with nothing written, when the message is longer than 96 bytes or `signal` is
// too short.
std::optional<int> synthesize(const MessageBuffer& message, std::span<float> signal);

// Renders samples as 16-bit stereo little-endian PCM: 4 bytes per sample, both channels equal.
// `pcm` must hold 4 x samples.size() bytes.
void render(std::span<const float> samples, std::span<std::uint8_t> pcm);

// One whole pass of the looped stream, the way the sender plays it.
struct Pass {
  std::vector<float> samples;
  std::vector<std::uint8_t> pcm;
};

// Message, signal and PCM of one pass in one call; nullopt for over-limit credentials.
std::optional<Pass> encodePass(Layout layout, std::u16string_view ssid, std::u16string_view key);

}  // namespace sonicsend
