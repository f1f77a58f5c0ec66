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

TEST(Start, RendersTheFramedMessageOfTheCredentials) {
  auto sender = silentSender();
  sender->setSsid(shared(u"HomeNet"), shared(u"secret"));
  sender->startConnect();
  EXPECT_EQ(sender->signalLength(), 2 * 25600);
  EXPECT_EQ(pcmOf(*sender), framedPcm(u"HomeNet", u"secret"));
}

TEST(Start, WithoutCredentialsSendsTheEmptyPair) {
  auto fresh = silentSender();
  fresh->startConnect();
  EXPECT_EQ(pcmOf(*fresh), framedPcm(u"", u""));

  // A bare sender, stopped and started again without credentials, sends the framed empty pair.
  const auto bare =
      playAudio::initWithSendSsid(shared(u"ab"), shared(u"xy"), sonicsend::SoundOutput{});
  EXPECT_EQ(pcmOf(*bare), sonicsend::encodePass(sonicsend::Layout::bare, u"ab", u"xy")->pcm);
  bare->stopConnect();
  bare->setSsid(nullptr, nullptr);  // null reads as empty
  bare->startConnect();
  EXPECT_EQ(pcmOf(*bare), framedPcm(u"", u""));
}

TEST(Start, RefusesOverLimitCredentialsWithOneLogLine) {
  auto sender = silentSender();
  sender->setSsid(shared(std::u16string(32, u's')), shared(std::u16string(62, u'k')));
  testing::internal::CaptureStderr();
  sender->startConnect();
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(sender->signalLength(), 0);
  EXPECT_EQ(sender->pcmLength(), 0u);
  EXPECT_NE(log.find("94 UTF-16 code units"), std::string::npos) << log;
  EXPECT_EQ(log.find('\n'), log.size() - 1) << log;
}

}  // namespace
