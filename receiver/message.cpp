#include "message.h"

namespace sonicsend::receiver {

Message messageAt(std::span<const std::uint8_t> payload, const MessageBounds& bounds) {
  const auto part = [&payload](std::size_t begin, std::size_t length) {
    const auto bytes = payload.subspan(begin, length);
    return std::string(bytes.begin(), bytes.end());
  };
  Message message;
  message.layout = bounds.layout;
  message.bytes.assign(payload.begin(),
                       payload.begin() + static_cast<std::ptrdiff_t>(bounds.length));
  message.ssid = part(bounds.ssidBegin, bounds.ssidLength);
  message.key = part(bounds.keyBegin, bounds.keyLength);
  return message;
}

}  // namespace sonicsend::receiver
