// The sender's loop as a device hears it: chunks, wrap, stop, restart and teardown.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "Sink.h"
#include "platform/AudioQueue.h"
#include "playAudio.h"

namespace sonicsend::testing {
namespace {

using namespace sonicsend::platform;

SharedText shared(std::u16string text) {
  return std::make_shared<const std::u16string>(std::move(text));
}

Bytes framedPass(std::u16string_view ssid, std::u16string_view key) {
  return encodePass(Layout::framed, ssid, key).value().pcm;
}

// The first `size` bytes of `pass` played in a loop from its byte 0.
Bytes looped(const Bytes& pass, std::size_t size) {
  Bytes all(size);
  for (std::size_t i = 0; i < size; ++i) all[i] = pass[i % pass.size()];
  return all;
}

// An idle sender on a sink of its own.
struct Sending {
  explicit Sending(SinkOptions options = {})
      : sink(std::make_shared<Sink>(options)),
        sender(std::make_unique<playAudio>(sink->output())) {}
  void start(std::u16string ssid, std::u16string key) {
    sender->setSsid(shared(std::move(ssid)), shared(std::move(key)));
    sender->startConnect();
  }
  std::shared_ptr<Sink> sink;
  std::unique_ptr<playAudio> sender;
};

constexpr std::size_t kChunk = 32768;

// 30 + 28 units make a 61-byte message: 8 frames, 204 800 samples.
const std::u16string kLongSsid(30, u'S');
const std::u16string kLongKey(28, u'k');

TEST(Loop, ChunksNeverCrossThePassEndAndWrapToByteZero) {
  const struct {
    std::u16string ssid, key;
    std::size_t passBytes;
    std::vector<std::size_t> sizes;
  } cases[] = {
      // One frame, 25 600 samples: three full chunks and a rest, then byte 0 again.
      {u"ab", u"cd", 102400, {kChunk, kChunk, kChunk, 4096, kChunk, kChunk, kChunk, 4096, kChunk}},
      // Eight frames, 204 800 samples: 25 whole chunks, never a short one.
      {kLongSsid, kLongKey, 819200, std::vector<std::size_t>(27, kChunk)},
  };
  for (const auto& c : cases) {
    Sending s({.capacity = c.sizes.size()});
    s.start(c.ssid, c.key);
    ASSERT_TRUE(s.sink->waitForBuffers(c.sizes.size()));
    s.sender->stopConnect();

    const Bytes pass = framedPass(c.ssid, c.key);
    ASSERT_EQ(pass.size(), c.passBytes);
    const auto state = s.sink->state();
    EXPECT_EQ(state.sizes, c.sizes);
    EXPECT_EQ(state.stream, looped(pass, state.stream.size()));
  }
}

TEST(Stop, OnAnIdleSenderThenWhileSendingNothingIsRefilledAfterIt) {
  Sending s({.keepBytes = false});
  s.sender->stopConnect();  // idle: only raises the flag
  EXPECT_TRUE(s.sender->stopped());
  EXPECT_EQ(s.sender->getQueue(), nullptr);
  EXPECT_EQ(s.sink->state().opened, 0);

  s.start(u"ab", u"cd");
  EXPECT_FALSE(s.sender->stopped());
  ASSERT_TRUE(s.sink->waitForBuffers(6));
  s.sender->stopConnect();
  const std::size_t played = s.sink->state().taken;
  const UInt32 position = s.sender->readPosition();

  // A buffer that reaches the refill step after the stop is left as it is.
  AudioQueueBufferRef late = nullptr;
  ASSERT_EQ(AudioQueueAllocateBuffer(s.sender->getQueue(), gBufferSizeBytes, &late), noErr);
  EXPECT_EQ(s.sender->sdQueueOutputWithQueue(s.sender->getQueue(), late), 1);
  EXPECT_EQ(late->mAudioDataByteSize, 0u);

  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  s.sender->stopConnect();  // a second stop changes nothing
  EXPECT_TRUE(s.sender->stopped());
  EXPECT_EQ(s.sink->state().taken, played);
  EXPECT_EQ(s.sender->readPosition(), position);
}

TEST(Restart, PlaysTheNewPassFromByteZeroAfterAStopOrWhileSending) {
  Sending s({.capacity = 5});  // each queue holds after five buffers until the sink is cleared
  s.start(kLongSsid, kLongKey);
  ASSERT_TRUE(s.sink->waitForBuffers(5));
  s.sender->stopConnect();
  s.sink->clear();

  s.start(u"ab", u"cd");  // shorter: the old tail must never follow
  ASSERT_TRUE(s.sink->waitForBuffers(5));
  EXPECT_EQ(s.sink->state().stream, looped(framedPass(u"ab", u"cd"), 102400 + kChunk));

  s.start(kLongSsid, kLongKey);  // still sending: the running queue is stopped first
  EXPECT_FALSE(s.sender->stopped());
  EXPECT_EQ(s.sink->state().open, 1);
  s.sink->clear();
  ASSERT_TRUE(s.sink->waitForBuffers(5));
  s.sender->stopConnect();
  const auto state = s.sink->state();
  EXPECT_EQ(state.stream, looped(framedPass(kLongSsid, kLongKey), 5 * kChunk));
  EXPECT_EQ(state.maxOpen, 1) << "the old queue must be gone before the new one";
  EXPECT_EQ(state.volumes, (std::vector<float>(3, 0.65f)));
}

TEST(Start, BareSenderIsSendingAtOnceAtItsOwnLevel) {
  auto sink = std::make_shared<Sink>(SinkOptions{.capacity = 4});
  auto sender = playAudio::initWithSendSsid(shared(u"HomeNet"), shared(u"pw"), sink->output());
  ASSERT_TRUE(sink->waitForBuffers(4));
  sender->stopConnect();
  EXPECT_EQ(sink->state().volumes, std::vector<float>{0.8f});
  const Bytes pass = encodePass(Layout::bare, u"HomeNet", u"pw").value().pcm;
  EXPECT_EQ(sink->state().stream, looped(pass, 4 * kChunk));
}

TEST(Start, WithNothingToSendStaysIdle) {
  Sending tooLong;
  tooLong.start(std::u16string(94, u'x'), u"");  // beyond the limit: no signal
  EXPECT_EQ(tooLong.sender->sendState(), SendState::idle);
  EXPECT_EQ(tooLong.sink->state().opened, 0);
}

TEST(Start, WithoutADeviceWaitsAndPlaysFromThePassStartOnceOneOpens) {
  auto sink = std::make_shared<Sink>(SinkOptions{.capacity = 5});
  auto attempts = std::make_shared<std::atomic<int>>(0);
  playAudio sender(SoundOutput{.openDevice =
                                   [sink, attempts](const auto& format) {
                                     return ++*attempts > 1 ? sink->output().openDevice(format)
                                                            : nullptr;
                                   },
                               .setVolume = {}});
  std::vector<SendState> states;
  sender.setStateHandler([&](SendState state) { states.push_back(state); });
  sender.setSsid(shared(u"ab"), shared(u"cd"));
  sender.startConnect();
  EXPECT_EQ(sender.sendState(), SendState::waitingForDevice);
  ASSERT_TRUE(sink->waitForBuffers(5));
  sender.stopConnect();
  EXPECT_EQ(sink->state().stream, looped(framedPass(u"ab", u"cd"), 4 * kChunk + 4096));
  EXPECT_EQ(states,
            (std::vector{SendState::waitingForDevice, SendState::sending, SendState::idle}));
}

TEST(Start, WithoutAnyWayToADeviceSendsNothing) {
  playAudio sender{SoundOutput{}};
  sender.startConnect();
  EXPECT_EQ(sender.sendState(), SendState::noDevice);
  EXPECT_EQ(sender.getQueue(), nullptr);
}

// Start, stop and teardown from this thread while the queue's thread refills as fast as it can.
TEST(Lifetime, ThousandStartStopCyclesLeaveOneQueueAtATime) {
  Sending s({.keepBytes = false});
  s.sender->setSsid(shared(u"ab"), shared(u"cd"));
  for (int cycle = 0; cycle < 1000; ++cycle) {
    s.sender->startConnect();
    if (cycle % 10 == 0) s.sender->startConnect();  // a start while sending, now and then
    s.sender->stopConnect();
    ASSERT_TRUE(s.sender->stopped());
  }
  EXPECT_EQ(s.sink->state().opened, 1100);
  EXPECT_EQ(s.sink->state().maxOpen, 1);
  s.sender.reset();
  EXPECT_EQ(s.sink->state().open, 0) << "teardown must dispose of the last queue";
}

TEST(Lifetime, SenderDestroyedWhileSendingStopsItsQueueFirst) {
  auto sink = std::make_shared<Sink>(SinkOptions{.keepBytes = false});
  for (int round = 0; round < 200; ++round) {
    sink->clear();
    auto sender = playAudio::initWithSendSsid(shared(u"ab"), shared(u"cd"), sink->output());
    ASSERT_TRUE(sink->waitForBuffers(4));
    sender.reset();
    EXPECT_EQ(sink->state().open, 0);
  }
}

}  // namespace
}  // namespace sonicsend::testing
