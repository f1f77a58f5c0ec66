// Tone synthesis: frames, counts and samples of the documented example, and the edges.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "encoder.h"

using sonicsend::Frame;
using sonicsend::Layout;
using sonicsend::MessageBuffer;

namespace {

MessageBuffer framed(std::u16string_view ssid, std::u16string_view key) {
  return *sonicsend::buildMessage(Layout::framed, ssid, key);
}

std::vector<float> synthesizeAll(const MessageBuffer& message) {
  std::vector<float> signal(sonicsend::kSignalCapacity, -7.0f);
  const auto count = sonicsend::synthesize(message, signal);
  EXPECT_TRUE(count);
  signal.resize(static_cast<std::size_t>(count.value_or(0)));
  return signal;
}

TEST(Frames, WorkedExampleOfEightLettersAndEmptyKey) {
  const MessageBuffer message = framed(u"abcdefgh", u"");
  EXPECT_EQ(sonicsend::messageLength(message), 11);
  EXPECT_EQ(sonicsend::frameCount(message), 2);
  Frame frame{};
  sonicsend::buildFrame(message, 0, frame);
  EXPECT_EQ(frame, (Frame{0x01, 0x89, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0xC6}));
  sonicsend::buildFrame(message, 1, frame);
  EXPECT_EQ(frame, (Frame{0x02, 0x68, 0x1F, 0x63, 0x00, 0x00, 0x00, 0x00, 0x00, 0xEC}));
}

TEST(Frames, CheckByteAlwaysHasBitSevenAndNumberNever) {
  MessageBuffer message{};
  for (std::size_t i = 0; i < 96; ++i) message[i] = static_cast<std::uint8_t>(0xF1 + 37 * i);
  for (int p = 0; p < 12; ++p) {
    Frame frame{};
    sonicsend::buildFrame(message, p, frame);
    EXPECT_EQ(frame[0], p + 1);
    EXPECT_EQ(frame[9] & 0x80, 0x80);
    unsigned sum = static_cast<unsigned>(p + 1);
    for (int n = 1; n <= 8; ++n) sum += frame[static_cast<std::size_t>(n)];
    EXPECT_EQ(frame[9] & 0x7F, sum & 0x7F);
  }
}

TEST(Counts, OneFramePerStartedGroupOfEightBytes) {
  for (int length : {1, 8, 9, 16, 17, 96}) {
    MessageBuffer message{};
    std::fill_n(message.begin(), length, 0x41);
    std::vector<float> signal(409600);
    const auto count = sonicsend::synthesize(message, signal);
    EXPECT_EQ(count, (length + 7) / 8 * 25600) << "length " << length;
  }
}

TEST(Counts, EmptyMessageWritesNoSample) {
  std::vector<float> signal(16, 3.0f);
  EXPECT_EQ(sonicsend::synthesize(MessageBuffer{}, signal), 0);
  EXPECT_EQ(signal, std::vector<float>(16, 3.0f));
}

TEST(Counts, RefusesMessagesThatWouldReadPastTheBuffer) {
  MessageBuffer message{};
  std::fill_n(message.begin(), 97, 0x41);
  std::vector<float> signal(409600, 3.0f);
  EXPECT_FALSE(sonicsend::synthesize(message, signal));
  message.fill(0x41);  // no terminating zero at all
  EXPECT_FALSE(sonicsend::synthesize(message, signal));
  EXPECT_EQ(signal[0], 3.0f);
  // Too small a destination is refused as well, before anything is written.
  std::vector<float> small(25599, 3.0f);
  EXPECT_FALSE(sonicsend::synthesize(framed(u"a", u""), small));
  EXPECT_EQ(small[0], 3.0f);
}

TEST(Samples, WorkedExampleValues) {
  const auto signal = synthesizeAll(framed(u"abcdefgh", u""));
  ASSERT_EQ(signal.size(), 51200u);
  EXPECT_EQ(signal[0], 0.25f);
  EXPECT_NEAR(signal[1], 0.237008, 5e-7);
  EXPECT_NEAR(signal[2560], 0.449999, 5e-7);
}

TEST(Samples, StayWithinTheLoudestSymbol) {
  // 0xFF sounds eight tones, 0x7F seven plus parity: both peak at 0.85 at most.
  MessageBuffer message{};
  std::fill_n(message.begin(), 8, 0xFF);
  std::fill_n(message.begin() + 8, 8, 0x7F);
  for (float sample : synthesizeAll(message)) ASSERT_LE(std::fabs(sample), 0.85f);
}

TEST(Samples, ZeroByteSoundsItsCarrierAlone) {
  // Symbols 14 to 18 of the example carry the zero bytes behind the message.
  const auto signal = synthesizeAll(framed(u"abcdefgh", u""));
  for (std::size_t i = 35840; i < 48640; ++i) ASSERT_LE(std::fabs(signal[i]), 0.05f) << i;
}

TEST(Samples, EmbeddedZeroEndsTheMessageButNotTheLastFrame) {
  // U+0100 puts a zero at byte 3; the single frame still carries bytes 4 to 7 as they are.
  MessageBuffer message = framed(u"ab\u0100cd", u"");
  ASSERT_EQ(sonicsend::messageLength(message), 3);
  ASSERT_EQ(sonicsend::frameCount(message), 1);
  MessageBuffer cut = message;
  std::fill(cut.begin() + 4, cut.end(), 0);
  EXPECT_NE(synthesizeAll(message), synthesizeAll(cut));
}

TEST(Samples, LaterShorterSignalLeavesTheTailAlone) {
  std::vector<float> signal(409600, 0.0f);
  ASSERT_EQ(sonicsend::synthesize(framed(u"0123456789", u""), signal), 51200);
  const std::vector<float> tail(signal.begin() + 25600, signal.begin() + 51200);
  ASSERT_EQ(sonicsend::synthesize(framed(u"x", u""), signal), 25600);
  EXPECT_EQ(std::vector<float>(signal.begin() + 25600, signal.begin() + 51200), tail);
}

TEST(ToneTable, EachOmegaIsWithinOneBitOfItsFrequency) {
  const auto expect = [](double omega, int k) {
    const double nominal = 2.0 * std::numbers::pi * k * 172.266;
    EXPECT_LE(std::fabs(omega - nominal), std::nextafter(nominal, 1e9) - nominal) << "k " << k;
  };
  expect(sonicsend::kOmegaCarrierEven, sonicsend::kCarrierEvenK);
  expect(sonicsend::kOmegaCarrierOdd, sonicsend::kCarrierOddK);
  expect(sonicsend::kOmegaParity, sonicsend::kParityK);
  for (std::size_t bit = 0; bit < 8; ++bit) {
    expect(sonicsend::kOmegaBit[bit], sonicsend::kBitToneK[bit]);
  }
}

}  // namespace
