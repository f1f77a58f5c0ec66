// Where the parts of a message lie in the bytes of one pass, in either layout, found without
// copying them: what the desktop parser and the listening core for devices both check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace sonicsend::receiver {

enum class MessageLayout {
  framed,  // header (length | 0x80), SSID, 0x1F, key, checksum
  bare,    // SSID, 0x0D, key
};

// Offsets into the payload the bounds were found in.
struct MessageBounds {
  MessageLayout layout = MessageLayout::framed;
  std::size_t length = 0;  // the message as sent, without the zero padding
  std::size_t ssidBegin = 0;
  std::size_t ssidLength = 0;
  std::size_t keyBegin = 0;
  std::size_t keyLength = 0;
  // Separator bytes in the body. The sender escapes none, so an SSID or key byte equal to the
  // separator (U+011F, U+010D ...) makes the split ambiguous when this is above 1; the split is
  // then taken at the last one, since Wi-Fi keys are printable ASCII.
  int separators = 0;
};

// The message in `payload`, the 8-byte payloads of a pass's frames in order, when it is a
// whole, valid message that fills exactly those frames: framed when its header, length and
// checksum hold, else bare.
std::optional<MessageBounds> locateMessage(std::span<const std::uint8_t> payload);

// The bare layout has no checksum: it is taken only from frames that each checked on their
// own, and, when it fills its last frame to the end, only once frame 1 was heard following
// the last frame, which shows where the pass ends.
bool trusted(const MessageBounds& bounds, std::size_t payloadBytes, bool everyFrameAlone,
             bool wrapHeard);

// Whether `payload` starts like a framed message that needs more frames than it holds: the
// rest of the message was not heard (or never sent, after a zero byte in the credentials).
bool announcesMoreFrames(std::span<const std::uint8_t> payload);

}  // namespace sonicsend::receiver
