// The sender's start: message, signal and PCM of one pass from the credentials of that moment.
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

std::vector<std::uint8_t> expectedPcm(sonicsend::Layout layout, std::u16string_view ssid,
                                      std::u16string_view key) {
  return sonicsend::encodePass(layout, ssid, key).value().pcm;
}

TEST(Start, RendersTheFramedMessageOfTheCredentials) {
  auto sender = silentSender();
  sender->setSsid(shared(u"HomeNet"), shared(u"secret"));
  sender->startConnect();
  EXPECT_FALSE(sender->stopped());
  EXPECT_EQ(sender->signalLength(), 25600 * 2);
  EXPECT_EQ(sender->pcmLength(), 4u * 25600 * 2);
  EXPECT_EQ(sender->readPosition(), 0u);
  EXPECT_EQ(pcmOf(*sender), expectedPcm(sonicsend::Layout::framed, u"HomeNet", u"secret"));

  const AudioStreamBasicDescription& format = sender->streamFormat();
  EXPECT_EQ(format.mSampleRate, 44100.0);
  EXPECT_EQ(format.mFormatID, 1819304813u);
  EXPECT_EQ(format.mFormatFlags, 12u);
  EXPECT_EQ(format.mBytesPerFrame, 4u);
  EXPECT_EQ(format.mChannelsPerFrame, 2u);
  EXPECT_EQ(format.mBitsPerChannel, 16u);
}

TEST(Start, WithoutCredentialsSendsTheEmptyPair) {
  auto sender = silentSender();
  sender->startConnect();
  EXPECT_EQ(pcmOf(*sender), expectedPcm(sonicsend::Layout::framed, u"", u""));
  sender->setSsid(nullptr, nullptr);  // null reads as empty
  sender->startConnect();
  EXPECT_EQ(pcmOf(*sender), expectedPcm(sonicsend::Layout::framed, u"", u""));
}

TEST(Start, RestartUsesTheCredentialsOfThatMoment) {
  auto sender = silentSender();
  sender->setSsid(shared(u"a much longer network name"), shared(u"and a longer key"));
  sender->startConnect();
  sender->stopConnect();
  EXPECT_TRUE(sender->stopped());
  sender->setSsid(shared(u"short"), shared(u""));
  sender->startConnect();
  EXPECT_FALSE(sender->stopped());
  EXPECT_EQ(pcmOf(*sender), expectedPcm(sonicsend::Layout::framed, u"short", u""));
}

TEST(Start, BareSenderSendsAtOnce) {
  const auto sender =
      playAudio::initWithSendSsid(shared(u"ab"), shared(u"xy"), sonicsend::SoundOutput{});
  EXPECT_EQ(pcmOf(*sender), expectedPcm(sonicsend::Layout::bare, u"ab", u"xy"));
  // Stopped and started again without credentials: the framed empty pair.
  sender->stopConnect();
  sender->startConnect();
  EXPECT_EQ(pcmOf(*sender), expectedPcm(sonicsend::Layout::framed, u"", u""));
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

  const auto bare = playAudio::initWithSendSsid(shared(std::u16string(5000, u's')), nullptr,
                                                sonicsend::SoundOutput{});
  EXPECT_EQ(bare->pcmLength(), 0u);
}

TEST(Frames, MemberFrameMatchesTheDocumentedExample) {
  auto sender = silentSender();
  const auto message = sonicsend::buildMessage(sonicsend::Layout::framed, u"abcdefgh", u"").value();
  sonicsend::Frame frame{};
  sender->getAframe(message, 1, frame);
  EXPECT_EQ(frame, (sonicsend::Frame{0x02, 0x68, 0x1F, 0x63, 0, 0, 0, 0, 0, 0xEC}));
  sender->signal_gen_withkey(message);
  EXPECT_EQ(sender->signalLength(), 51200);
  EXPECT_EQ(sender->signal()[0], 0.25f);
}

}  // namespace
