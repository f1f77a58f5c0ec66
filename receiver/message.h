// Reads the credentials out of the bytes of one pass, in either message layout.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sonicsend::receiver {

enum class MessageLayout {
  framed,  // header (length | 0x80), SSID, 0x1F, key, checksum
  bare,    // SSID, 0x0D, key
};

struct Message {
  MessageLayout layout = MessageLayout::framed;
  std::vector<std::uint8_t> bytes;  // the message as sent, without the zero padding
  // One byte per UTF-16 code unit of the sender's text: its low 8 bits.
  std::string ssid;
  std::string key;
  // Separator bytes in the message. The sender escapes none, so an SSID or key byte equal to
  // the separator (U+011F, U+010D ...) makes the split ambiguous when this is above 1; the
  // split is then taken at the last one, since Wi-Fi keys are printable ASCII.
  int separators = 0;
};

// The message in `payload`, the 8-byte payloads of a pass's frames in order, when it is a
// whole, valid message that fills exactly those frames: framed when its header, length and
// checksum hold, else bare.
std::optional<Message> parseMessage(std::span<const std::uint8_t> payload);

// Whether `payload` starts like a framed message that needs more frames than it holds: the
// rest of the message was not heard (or never sent, after a zero byte in the credentials).
bool announcesMoreFrames(std::span<const std::uint8_t> payload);

}  // namespace sonicsend::receiver
