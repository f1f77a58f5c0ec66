// The sender's start: message, signal and PCM of one pass from the credentials of that moment.
// Playback itself (chunks, loop, stop) is tested in tests/playback.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "playAudio.h"

namespace {

// No device and no volume change: these tests look at the signal, not the sound.
std::unique_ptr<playAudio> silentSender() {
  return std::make_unique<playAudio>(sonicsend::SoundOutput{});
}

SharedText shared(std::u16string text) {
  return std::make_shared<const std::u16string>(std::move(text));
}

std::vector<std::uint8_t> pcmOf(const playAudio& sender) {
  return {sender.pcm(), sender.pcm() + sender.pcmLength()};
}

std::vector<std::uint8_t> framedPcm(std::u16string_view ssid, std::u16string_view key) {
  return sonicsend::encodePass(sonicsend::Layout::framed, ssid, key).value().pcm;
}

TEST(Start, WithoutCredentialsSendsTheEmptyPair) {
  auto fresh = silentSender();
  fresh->startConnect();
  EXPECT_EQ(pcmOf(*fresh), framedPcm(u"", u""));

  fresh->setSsid(nullptr, nullptr);  // null reads as empty
  fresh->startConnect();
  EXPECT_EQ(pcmOf(*fresh), framedPcm(u"", u""));
}

TEST(Start, OfABareSenderAgainSendsTheEmptyPairNotTheBareCredentials) {
  const auto bare =
      playAudio::initWithSendSsid(shared(u"ab"), shared(u"xy"), sonicsend::SoundOutput{});
  EXPECT_EQ(pcmOf(*bare), sonicsend::encodePass(sonicsend::Layout::bare, u"ab", u"xy")->pcm);
  bare->stopConnect();
  bare->startConnect();
  EXPECT_EQ(pcmOf(*bare), framedPcm(u"", u""));
}

TEST(Start, RefusesOverLimitCredentialsWithOneErrorLineThroughTheLogSink) {
  auto sender = silentSender();
  sender->setSsid(shared(std::u16string(32, u's')), shared(std::u16string(62, u'k')));
  std::vector<std::pair<sonicsend::LogLevel, std::string>> lines;
  sonicsend::setLogSink(
      [&](auto level, std::string_view line) { lines.emplace_back(level, line); });
  sender->startConnect();
  sonicsend::setLogSink({});
  EXPECT_EQ(sender->pcmLength(), 0u);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].first, sonicsend::LogLevel::error);
  EXPECT_NE(lines[0].second.find("94 UTF-16 code units"), std::string::npos) << lines[0].second;
}

}  // namespace
