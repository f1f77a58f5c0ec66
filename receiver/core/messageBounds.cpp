#include "messageBounds.h"

#include <algorithm>

#include "tones.h"

namespace sonicsend::receiver {
namespace {

// The message must need exactly the frames heard, and the rest of its last frame holds the
// sender's zero padding.
bool fillsFrames(Span<const std::uint8_t> payload, std::size_t length) {
  const std::size_t frames = (length + kFramePayloadBytes - 1) / kFramePayloadBytes;
  return length > 0 && frames * kFramePayloadBytes == payload.size() &&
         std::all_of(payload.begin() + static_cast<std::ptrdiff_t>(length), payload.end(),
                     [](std::uint8_t byte) { return byte == 0; });
}

// Splits the body at `begin`, `length` bytes long, at its separator, marking it ambiguous when
// it holds more than one; false when it holds none.
bool split(Span<const std::uint8_t> payload, std::size_t begin, std::size_t length,
           std::uint8_t separator, MessageBounds& bounds) {
  const auto body = payload.subspan(begin, length);
  const auto first = std::find(body.begin(), body.end(), separator);
  if (first == body.end()) return false;
  const auto at = begin + static_cast<std::size_t>(first - body.begin());
  bounds.ssidBegin = begin;
  bounds.ssidLength = at - begin;
  bounds.keyBegin = at + 1;
  bounds.keyLength = begin + length - bounds.keyBegin;
  bounds.ambiguous = std::find(first + 1, body.end(), separator) != body.end();
  return true;
}

std::optional<MessageBounds> locateFramed(Span<const std::uint8_t> payload) {
  if (payload.empty() || (payload[0] & kHeaderFlag) == 0) return std::nullopt;
  const std::size_t bodyLength = payload[0] & ~kHeaderFlag & 0xFF;
  const std::size_t length = bodyLength + 2;
  if (bodyLength == 0 || length > payload.size() || !fillsFrames(payload, length)) {
    return std::nullopt;
  }
  // The sender adds the body bytes as signed values; only the low 7 bits are kept.
  int sum = 0;
  for (std::uint8_t byte : payload.subspan(1, bodyLength)) sum += static_cast<std::int8_t>(byte);
  if (payload[length - 1] != ((sum | 0x20) & 0x7F)) return std::nullopt;
  MessageBounds bounds;
  bounds.layout = MessageLayout::framed;
  bounds.length = length;
  if (!split(payload, 1, bodyLength, kFramedSeparator, bounds)) return std::nullopt;
  return bounds;
}

std::optional<MessageBounds> locateBare(Span<const std::uint8_t> payload) {
  // The bare message ends at the first zero byte.
  const auto end = std::find(payload.begin(), payload.end(), 0);
  const auto length = static_cast<std::size_t>(end - payload.begin());
  if (!fillsFrames(payload, length)) return std::nullopt;
  MessageBounds bounds;
  bounds.layout = MessageLayout::bare;
  bounds.length = length;
  if (!split(payload, 0, length, kBareSeparator, bounds)) return std::nullopt;
  return bounds;
}

}  // namespace

std::optional<MessageBounds> locateMessage(Span<const std::uint8_t> payload) {
  if (auto framed = locateFramed(payload)) return framed;
  return locateBare(payload);
}

bool announcesMoreFrames(Span<const std::uint8_t> payload) {
  if (payload.empty() || (payload[0] & kHeaderFlag) == 0) return false;
  const std::size_t length = (payload[0] & ~kHeaderFlag & 0xFF) + 2u;
  return length > payload.size() && length <= kMaxMessageBytes;
}

bool trusted(const MessageBounds& bounds, std::size_t payloadBytes, bool everyFrameAlone,
             bool wrapHeard) {
  if (bounds.ambiguous) return false;
  if (bounds.layout == MessageLayout::framed) return true;
  return everyFrameAlone && (bounds.length < payloadBytes || wrapHeard);
}

}  // namespace sonicsend::receiver
