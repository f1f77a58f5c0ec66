// How the reference receiver fares on what the channel simulator makes: whether it heard
// exactly the credentials sent, and whether it reports a message an input does not hold.
#pragma once

#include <algorithm>
#include <random>

#include "decoder.h"
#include "recordings.h"
#include "wrongInputs.h"

namespace sonicsend::testing {

// Whether the decoder heard exactly the credentials sent.
inline bool heardRightly(const receiver::DecodeResult& result, const simulator::Sent& sent) {
  return result.decoded && result.decoded->message.ssid == sent.ssid &&
         result.decoded->message.key == sent.key;
}

// Makes one input of `kind`, decodes it and tells whether a message other than the one sent
// (if any) came back.
inline bool reportsWrongly(simulator::WrongInput kind, std::mt19937& random) {
  const simulator::WrongInputRecording input = simulator::makeWrongInput(kind, random);
  const auto result = receiver::decode(input.samples, kSampleRate);
  if (!result.decoded) return false;
  return std::ranges::none_of(
      input.sent, [&](const simulator::Sent& one) { return heardRightly(result, one); });
}

}  // namespace sonicsend::testing
