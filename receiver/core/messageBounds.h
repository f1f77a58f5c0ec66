// Where the parts of a message lie in the bytes of one pass, in either layout, found without
// copying them: what the desktop parser and the listening core for devices both check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "portable.h"

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
  // The body holds its separator more than once. The sender escapes none, so an SSID or key
  // byte equal to it (U+001F, U+011F, U+010D ...) leaves no safe split: SSID and key cannot be
  // told apart, and such a message is never trusted.
  bool ambiguous = false;
};

// The message in `payload`, the 8-byte payloads of a pass's frames in order, when it is a
// whole, valid message that fills exactly those frames: framed when its header, length and
// checksum hold, else bare. A framed message that is ambiguous is still located as framed, so
// that the bare layout, which might split the same bytes at a 0x0D, is never tried on it.
std::optional<MessageBounds> locateMessage(Span<const std::uint8_t> payload);

// Whether the message `bounds` locate may be reported. Never when it is ambiguous. The bare
// layout has no checksum: it is taken only from frames that each checked on their own, and,
// when it fills its last frame to the end, only once frame 1 was heard following the last
// frame, which shows where the pass ends.
bool trusted(const MessageBounds& bounds, std::size_t payloadBytes, bool everyFrameAlone,
             bool wrapHeard);

// Whether `payload` starts like a framed message that needs more frames than it holds: the
// rest of the message was not heard (or never sent, after a zero byte in the credentials).
bool announcesMoreFrames(Span<const std::uint8_t> payload);

}  // namespace sonicsend::receiver
