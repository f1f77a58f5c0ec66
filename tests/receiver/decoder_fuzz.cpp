// Arbitrary bytes as an audio file (libsndfile reads them from memory) through the decoder:
// whatever the header claims, it reports a result and never crashes, throws or balloons.
#include <cstddef>
#include <cstdint>
#include <span>

#include "decoder.h"

static void check(bool condition) {
  if (!condition) __builtin_trap();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using sonicsend::receiver::Failure;
  const auto result = sonicsend::receiver::decodeFileBytes(std::span(data, size));
  check(result.decoded.has_value() == (result.failure == Failure::none));
  check(result.failure != Failure::outOfMemory);
  if (result.decoded) {
    check(result.decoded->frames >= 1 && result.decoded->frames <= 12);
    check(result.decoded->message.bytes.size() <= 96);
  }
  return 0;
}
