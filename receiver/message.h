// Reads the credentials out of the bytes of one pass, in either message layout.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "messageBounds.h"

namespace sonicsend::receiver {

struct Message {
  MessageLayout layout = MessageLayout::framed;
  std::vector<std::uint8_t> bytes;  // the message as sent, without the zero padding
  // One byte per UTF-16 code unit of the sender's text: its low 8 bits.
  std::string ssid;
  std::string key;
};

// A message heard, and how.
struct Decoded {
  Message message;
  int frames = 0;  // frames per pass
  int passes = 0;  // passes heard: the most any one frame was read from (FrameRead::passes)
};

// The message `bounds` locate in `payload`, copied out.
Message messageAt(std::span<const std::uint8_t> payload, const MessageBounds& bounds);

}  // namespace sonicsend::receiver
