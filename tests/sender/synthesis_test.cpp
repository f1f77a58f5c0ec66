// Tone synthesis: frames, counts and samples of the documented example, and the edges.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "encoder.h"

using sonicsend::Frame;
using sonicsend::MessageBuffer;

namespace {

MessageBuffer framed(std::u16string_view ssid, std::u16string_view key) {
  return *sonicsend::buildMessage(sonicsend::Layout::framed, ssid, key);
}

std::vector<float> synthesizeAll(const MessageBuffer& message) {
  std::vector<float> signal(sonicsend::kSignalCapacity);
  signal.resize(static_cast<std::size_t>(sonicsend::synthesize(message, signal).value_or(0)));
  return signal;
}

TEST(Synthesis, WorkedExampleOfEightLettersAndEmptyKey) {
  const MessageBuffer message = framed(u"abcdefgh", u"");
  EXPECT_EQ(sonicsend::messageLength(message), 11);
  Frame frame{};
  sonicsend::buildFrame(message, 0, frame);
  EXPECT_EQ(frame, (Frame{0x01, 0x89, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0xC6}));
  sonicsend::buildFrame(message, 1, frame);
  EXPECT_EQ(frame, (Frame{0x02, 0x68, 0x1F, 0x63, 0x00, 0x00, 0x00, 0x00, 0x00, 0xEC}));

  const auto signal = synthesizeAll(message);
  ASSERT_EQ(signal.size(), 51200u);
  EXPECT_EQ(signal[0], 0.25f);
  EXPECT_NEAR(signal[1], 0.237008, 5e-7);
  EXPECT_NEAR(signal[2560], 0.449999, 5e-7);
  // Symbols 14 to 18 carry the zero bytes behind the message: their carrier alone.
  for (std::size_t i = 35840; i < 48640; ++i) ASSERT_LE(std::fabs(signal[i]), 0.05f) << i;
}

TEST(Synthesis, OneFramePerStartedGroupOfEightBytes) {
  std::vector<float> signal(409600, 3.0f);
  for (int length : {0, 1, 8, 9, 17, 96}) {
    MessageBuffer message{};
    std::fill_n(message.begin(), length, 0x41);
    EXPECT_EQ(sonicsend::synthesize(message, signal), (length + 7) / 8 * 25600) << length;
  }
}

TEST(Synthesis, RefusesWhatWouldReachPastEitherBuffer) {
  std::vector<float> signal(409600, 3.0f);
  MessageBuffer message{};
  std::fill_n(message.begin(), 97, 0x41);
  EXPECT_FALSE(sonicsend::synthesize(message, signal));
  message.fill(0x41);  // no terminating zero at all
  EXPECT_FALSE(sonicsend::synthesize(message, signal));
  std::vector<float> small(25599, 3.0f);
  EXPECT_FALSE(sonicsend::synthesize(framed(u"a", u""), small));
  EXPECT_EQ(signal[0], 3.0f);
  EXPECT_EQ(small[0], 3.0f);
}

TEST(Synthesis, LoudestSymbolsStayWithinBounds) {
  // 0xFF sounds eight tones, 0x7F seven plus parity: both peak at 0.85 at most.
  MessageBuffer message{};
  std::fill_n(message.begin(), 8, 0xFF);
  std::fill_n(message.begin() + 8, 8, 0x7F);
  for (float sample : synthesizeAll(message)) ASSERT_LE(std::fabs(sample), 0.85f);
}

TEST(Synthesis, EmbeddedZeroEndsTheMessageButNotTheLastFrame) {
  // U+0100 puts a zero at byte 3; the single frame still carries bytes 4 to 7 as they are.
  MessageBuffer message = framed(u"ab\u0100cd", u"");
  ASSERT_EQ(sonicsend::frameCount(message), 1);
  MessageBuffer cut = message;
  std::fill(cut.begin() + 4, cut.end(), 0);
  EXPECT_NE(synthesizeAll(message), synthesizeAll(cut));
}

TEST(Synthesis, LaterShorterSignalLeavesTheTailAlone) {
  std::vector<float> signal(409600, 0.0f);
  ASSERT_EQ(sonicsend::synthesize(framed(u"0123456789", u""), signal), 51200);
  const std::vector<float> tail(signal.begin() + 25600, signal.begin() + 51200);
  ASSERT_EQ(sonicsend::synthesize(framed(u"x", u""), signal), 25600);
  EXPECT_EQ(std::vector<float>(signal.begin() + 25600, signal.begin() + 51200), tail);
}

TEST(Synthesis, EachOmegaIsWithinOneBitOfItsFrequency) {
  const auto expect = [](double omega, int k) {
    const double nominal = 2.0 * std::numbers::pi * k * 172.266;
    EXPECT_LE(std::fabs(omega - nominal), std::nextafter(nominal, 1e9) - nominal) << "k " << k;
  };
  expect(sonicsend::kOmegaCarrierEven, sonicsend::kCarrierEvenK);
  expect(sonicsend::kOmegaCarrierOdd, sonicsend::kCarrierOddK);
  expect(sonicsend::kOmegaParity, sonicsend::kParityK);
  for (std::size_t bit = 0; bit < 8; ++bit)
    expect(sonicsend::kOmegaBit[bit], sonicsend::kBitToneK[bit]);
}

}  // namespace
