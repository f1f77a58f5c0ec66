// Reading frames from tone levels: what a single reading must show before it is believed.
#include <gtest/gtest.h>

#include <bit>

#include "encoder.h"
#include "frames.h"

namespace sonicsend::testing {
namespace {

using receiver::ToneLevels;

constexpr auto kCarrier = static_cast<float>(kCarrierAmplitude);
constexpr auto kTone = static_cast<float>(kToneAmplitude);

std::size_t tone(int k) {
  return static_cast<std::size_t>(k - kCarrierEvenK);
}

// The levels a clean recording of `frames` gives, one window per symbol.
std::vector<ToneLevels> levelsOf(const std::vector<Frame>& frames) {
  std::vector<ToneLevels> levels;
  for (const Frame& frame : frames) {
    for (std::uint8_t byte : frame) {
      ToneLevels symbol{};
      symbol[tone(levels.size() % 2 == 0 ? kCarrierEvenK : kCarrierOddK)] = kCarrier;
      for (std::size_t bit = 0; bit < 8; ++bit) {
        if ((byte >> bit) & 1) symbol[tone(kBitToneK[bit])] = kTone;
      }
      if (std::popcount(byte) % 2 != 0) symbol[tone(kParityK)] = kTone;
      levels.push_back(symbol);
    }
  }
  return levels;
}

std::vector<Frame> framesOf(std::u16string_view ssid) {
  const auto message = buildMessage(Layout::framed, ssid, u"").value();
  std::vector<Frame> frames(static_cast<std::size_t>(frameCount(message)));
  for (std::size_t p = 0; p < frames.size(); ++p)
    buildFrame(message, static_cast<int>(p), frames[p]);
  return frames;
}

std::optional<std::vector<std::uint8_t>> firstPass(const std::vector<ToneLevels>& levels,
                                                   receiver::FrameSearch& search) {
  std::optional<std::vector<std::uint8_t>> payload;
  search = receiver::findPass({0, levels}, [&](const receiver::PassCandidate& pass) {
    payload = pass.payload;
    return true;
  });
  return payload;
}

// A reading that another one, nearly as likely, would pass the frame check as well is not
// believed from one copy: bit 7 of a payload byte with its parity tone (no check sees bit 7),
// or one bit of a payload byte with the same bit of the check byte (the sum stays the same).
TEST(FrameReading, DoubtfulReadingNeedsASecondCopy) {
  const auto frames = framesOf(u"abcde");  // one frame: 01 86 61 62 63 64 65 1F 2E C3
  const auto expected = std::vector<std::uint8_t>(frames[0].begin() + 1, frames[0].end() - 1);
  const auto clean = levelsOf(frames);
  struct Tone {
    std::size_t symbol;
    int k;
    float level;
  };
  const std::vector<std::vector<Tone>> doubts = {
      {{2, kBitToneK[7], 0.95f * kCarrier}, {2, kParityK, 1.05f * kCarrier}},
      {{2, kBitToneK[0], 1.1f * kCarrier},
       {2, kParityK, 1.1f * kCarrier},
       {9, kBitToneK[0], 1.1f * kCarrier},
       {9, kParityK, 0.9f * kCarrier}},
  };
  receiver::FrameSearch search{};
  EXPECT_EQ(firstPass(clean, search), expected);
  for (const auto& doubt : doubts) {
    SCOPED_TRACE(doubt.size() == 2 ? "bit 7" : "bit 0 of payload and check byte");
    auto doubtful = clean;
    for (const Tone& t : doubt) doubtful[t.symbol][tone(t.k)] = t.level;
    EXPECT_FALSE(firstPass(doubtful, search));
    EXPECT_EQ(search, receiver::FrameSearch::incomplete);
    doubtful.insert(doubtful.end(), clean.begin(), clean.end());
    EXPECT_EQ(firstPass(doubtful, search), expected);
  }
}

}  // namespace
}  // namespace sonicsend::testing
