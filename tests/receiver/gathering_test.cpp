// How the receiver gathers a message: across passes, from a live stream, and what it refuses.
#include <gtest/gtest.h>

#include <random>

#include "decoder.h"
#include "recordings.h"

namespace sonicsend::testing {
namespace {

constexpr std::u16string_view kSsid = u"Home network 5G";
constexpr std::u16string_view kKey = u"a long passphrase";

// Replaces frame slot `frame` of pass `pass` with loud noise.
void drown(std::vector<float>& recording, std::size_t passSamples, std::size_t pass,
           std::size_t frame, std::mt19937& random) {
  std::normal_distribution<float> noise(0.0f, 2.0f);
  const std::size_t first = pass * passSamples + frame * kFrameSamples;
  for (std::size_t i = first; i < first + kFrameSamples; ++i) recording[i] = noise(random);
}

TEST(Gathering, TakesEachFrameFromAPassThatHeardIt) {
  const auto pass = passOf(Layout::framed, kSsid, kKey);
  auto recording = loop(pass, 0, 3 * pass.size());
  std::mt19937 random(11);
  // Every frame is lost in one pass or another, none in all three.
  for (std::size_t frame = 0; frame < pass.size() / kFrameSamples; ++frame) {
    drown(recording, pass.size(), frame % 3, frame, random);
    drown(recording, pass.size(), (frame + 1) % 3, frame, random);
  }
  const auto result = receiver::decode(recording, kSampleRate);
  ASSERT_TRUE(result.decoded) << receiver::describe(result.failure);
  EXPECT_EQ(result.decoded->message.ssid, bytesOf(kSsid));
  EXPECT_EQ(result.decoded->message.key, bytesOf(kKey));
  EXPECT_EQ(result.decoded->passes, 1);
}

TEST(Gathering, ReadsTheSumOfPassesWhenNoPassAloneIsClearEnough) {
  const auto pass = passOf(Layout::framed, kSsid, kKey);
  std::mt19937 random(5);
  auto single = pass;
  addNoise(single, -14.0, random);
  EXPECT_FALSE(receiver::decode(single, kSampleRate).decoded);
  auto recording = loop(pass, 0, 8 * pass.size());
  addNoise(recording, -14.0, random);
  const auto result = receiver::decode(recording, kSampleRate);
  ASSERT_TRUE(result.decoded) << receiver::describe(result.failure);
  EXPECT_EQ(result.decoded->message.key, bytesOf(kKey));
}

TEST(Gathering, ReportsWhyNothingWasDecoded) {
  EXPECT_EQ(receiver::decode(std::vector<float>(kSampleRate, 0.0f), kSampleRate).failure,
            receiver::Failure::no_signal);
  EXPECT_EQ(receiver::decode({}, kSampleRate).failure, receiver::Failure::no_signal);
  // Half a pass: a signal, but the rest of the message is never heard.
  const auto pass = passOf(Layout::framed, kSsid, kKey);
  const auto half = loop(pass, 0, pass.size() / 2);
  EXPECT_EQ(receiver::decode(half, kSampleRate).failure, receiver::Failure::incomplete);
  EXPECT_EQ(receiver::decode(half, 0.0).failure, receiver::Failure::unreadable);
}

TEST(Gathering, BareMessageThatFillsItsFramesWaitsForThePassToComeRound) {
  // SSID, 0x0D, key: 16 bytes, no zero after them; frames 1 and 2 alone could be the start
  // of a longer message.
  const auto pass = passOf(Layout::bare, u"Lab network", u"k3y4");
  ASSERT_EQ(pass.size(), 2u * kFrameSamples);
  EXPECT_EQ(receiver::decode(pass, kSampleRate).failure, receiver::Failure::incomplete);
  const auto result = receiver::decode(loop(pass, 0, pass.size() + kFrameSamples), kSampleRate);
  ASSERT_TRUE(result.decoded) << receiver::describe(result.failure);
  EXPECT_EQ(result.decoded->message.key, "k3y4");
}

TEST(Gathering, StreamDecoderHearsTheMessageOnceItHasComeRound) {
  // Captured at 48 kHz after two seconds of noise, delivered in 100 ms pieces.
  const auto pass = passOf(Layout::bare, kSsid, kKey);
  std::mt19937 random(9);
  std::vector<float> noise(2 * kSampleRate);
  std::normal_distribution<float> gauss(0.0f, 0.05f);
  for (float& s : noise) s = gauss(random);
  auto captured = noise;
  const auto signal = loop(pass, 4321, 3 * pass.size());
  captured.insert(captured.end(), signal.begin(), signal.end());
  captured = resampleTo(captured, 48000);

  receiver::StreamDecoder decoder(48000);
  std::optional<receiver::Decoded> heard;
  std::size_t fed = 0;
  while (!heard && fed < captured.size()) {
    const std::size_t piece = std::min<std::size_t>(4800, captured.size() - fed);
    heard = decoder.push(std::span(captured).subspan(fed, piece));
    fed += piece;
  }
  ASSERT_TRUE(heard) << receiver::describe(decoder.lastFailure());
  EXPECT_EQ(heard->message.layout, receiver::MessageLayout::bare);
  EXPECT_EQ(heard->message.ssid, bytesOf(kSsid));
  // Heard before the three passes were over.
  EXPECT_LT(fed, captured.size());
}

}  // namespace
}  // namespace sonicsend::testing
