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

// Bit 7 of a payload byte and the parity tone both read the other way give a byte that
// passes every check; a single reading that comes close to that is not believed.
TEST(FrameReading, DoubtfulBit7NeedsASecondCopy) {
  const auto frames = framesOf(u"abcde");  // one frame; 0x61 ...: bit 7 clear, parity odd
  const auto clean = levelsOf(frames);
  auto doubtful = clean;
  ToneLevels& symbol = doubtful[2];  // message byte 1, 'a'
  symbol[tone(kBitToneK[7])] = 0.95f * kCarrier;
  symbol[tone(kParityK)] = 1.05f * kCarrier;

  receiver::FrameSearch search{};
  const auto expected = std::vector<std::uint8_t>(frames[0].begin() + 1, frames[0].end() - 1);
  EXPECT_EQ(firstPass(clean, search), expected);
  EXPECT_FALSE(firstPass(doubtful, search));
  EXPECT_EQ(search, receiver::FrameSearch::incomplete);

  auto twoPasses = doubtful;
  twoPasses.insert(twoPasses.end(), clean.begin(), clean.end());
  EXPECT_EQ(firstPass(twoPasses, search), expected);
}

}  // namespace
}  // namespace sonicsend::testing
