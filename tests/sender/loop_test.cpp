// The sender's loop as a device hears it: chunks, wrap, stop, restart, waiting and teardown.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Sink.h"
#include "platform/AudioQueue.h"
#include "playAudio.h"

namespace sonicsend::testing {
namespace {

using namespace sonicsend::platform;

constexpr std::size_t kChunk = 32768;
// 30 + 28 units make a 61-byte message: 8 frames, 204 800 samples.
const std::u16string kLongSsid(30, u'S'), kLongKey(28, u'k');

SharedText shared(std::u16string text) {
  return std::make_shared<const std::u16string>(std::move(text));
}

// `stream` followed by the first `size` bytes of a pass played in a loop from its byte 0.
Bytes looped(std::u16string_view ssid, std::u16string_view key, std::size_t size, Bytes stream = {},
             Layout layout = Layout::framed) {
  const Bytes pass = encodePass(layout, ssid, key).value().pcm;
  for (std::size_t i = 0; i < size; ++i) stream.push_back(pass[i % pass.size()]);
  return stream;
}

// A device that goes away after taking `buffers` buffers, as one does when the sound server
// restarts.
struct GoesAway final : AudioDevice {
  GoesAway(std::unique_ptr<AudioDevice> device, int buffers)
      : device_(std::move(device)), left_(buffers) {}
  std::size_t play(std::span<const std::uint8_t> frames, std::stop_token stop) override {
    return left_-- > 0 ? device_->play(frames, stop) : 0;
  }
  void drop() override { device_->drop(); }
  const std::unique_ptr<AudioDevice> device_;
  int left_;
};

// A sender on a sink of its own whose first `refusals` device openings fail and whose first
// device, when `lostAfter` is not negative, goes away after that many buffers; it keeps the
// states it reports.
struct Sending {
  explicit Sending(SinkOptions options = {}, int refusals = 0, int lostAfter = -1)
      : sink(std::make_shared<Sink>(options)) {
    SoundOutput output = sink->output();
    output.openDevice = [open = output.openDevice, refusals,
                         lostAfter](const auto& format) mutable -> std::unique_ptr<AudioDevice> {
      if (refusals-- > 0) return nullptr;
      if (lostAfter < 0) return open(format);
      return std::make_unique<GoesAway>(open(format), std::exchange(lostAfter, -1));
    };
    sender = std::make_unique<playAudio>(output);
    sender->setStateHandler([this](SendState state) { states.push_back(state); });
  }
  void start(std::u16string ssid, std::u16string key) {
    sender->setSsid(shared(std::move(ssid)), shared(std::move(key)));
    sender->startConnect();
  }
  std::shared_ptr<Sink> sink;
  std::unique_ptr<playAudio> sender;
  std::vector<SendState> states;
};

TEST(Loop, ChunksNeverCrossThePassEndAndWrapToByteZero) {
  const struct {
    const char* name;
    std::u16string ssid, key;
    std::vector<std::size_t> sizes;
  } rows[] = {
      {"one frame: three chunks and a rest",
       u"ab",
       u"cd",
       {kChunk, kChunk, kChunk, 4096, kChunk, kChunk, kChunk, 4096, kChunk}},
      {"eight frames: 25 whole chunks", kLongSsid, kLongKey, std::vector(27, kChunk)},
  };
  for (const auto& row : rows) {
    Sending s({.capacity = row.sizes.size()});
    s.start(row.ssid, row.key);
    ASSERT_TRUE(s.sink->waitForBuffers(row.sizes.size())) << row.name;
    s.sender->stopConnect();
    const auto state = s.sink->state();
    EXPECT_EQ(state.sizes, row.sizes) << row.name;
    EXPECT_EQ(state.stream, looped(row.ssid, row.key, state.stream.size())) << row.name;
  }
}

TEST(Stop, NothingIsRefilledAfterIt) {
  Sending s({.keepBytes = false});
  s.start(u"ab", u"cd");
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
  EXPECT_EQ(s.sink->state().taken, played);
  EXPECT_EQ(s.sender->readPosition(), position);
}

TEST(Restart, PlaysTheNewPassFromByteZeroAfterAStopOrWhileSending) {
  Sending s({.capacity = 5});  // each queue's device holds after five buffers
  s.start(kLongSsid, kLongKey);
  ASSERT_TRUE(s.sink->waitForBuffers(5));
  s.sender->stopConnect();
  s.start(u"ab", u"cd");  // shorter: the old tail must never follow
  ASSERT_TRUE(s.sink->waitForBuffers(10));
  s.start(kLongSsid, kLongKey);  // still sending: the running queue is stopped first
  ASSERT_TRUE(s.sink->waitForBuffers(15));
  s.sender->stopConnect();

  const auto state = s.sink->state();
  Bytes stream = looped(kLongSsid, kLongKey, 5 * kChunk);
  stream = looped(kLongSsid, kLongKey, 5 * kChunk, looped(u"ab", u"cd", 102400 + kChunk, stream));
  EXPECT_EQ(state.stream, stream);
  EXPECT_EQ(state.maxOpen, 1) << "the old queue must be gone before the new one";
  EXPECT_EQ(state.volumes, (std::vector<float>(3, 0.65f)));
}

TEST(Start, BareSenderIsSendingAtOnceAtItsOwnLevel) {
  auto sink = std::make_shared<Sink>(SinkOptions{.capacity = 4});
  auto sender = playAudio::initWithSendSsid(shared(u"HomeNet"), shared(u"pw"), sink->output());
  ASSERT_TRUE(sink->waitForBuffers(4));
  sender->stopConnect();
  EXPECT_EQ(sink->state().volumes, std::vector<float>{0.8f});
  EXPECT_EQ(sink->state().stream, looped(u"HomeNet", u"pw", 4 * kChunk, {}, Layout::bare));
}

TEST(Start, WithoutADeviceWaitsAndPlaysFromThePassStartOnceOneOpens) {
  Sending s({.capacity = 5}, 1);
  s.start(u"ab", u"cd");
  EXPECT_EQ(s.sender->sendState(), SendState::waitingForDevice);
  ASSERT_TRUE(s.sink->waitForBuffers(5));
  s.sender->stopConnect();
  EXPECT_EQ(s.sink->state().stream, looped(u"ab", u"cd", 4 * kChunk + 4096));
  EXPECT_EQ(s.states,
            (std::vector{SendState::waitingForDevice, SendState::sending, SendState::idle}));
}

TEST(Start, StaysIdleWithNothingToSendAndSaysWhenThereIsNoWayToADevice) {
  Sending tooLong;
  tooLong.start(std::u16string(94, u'x'), u"");  // beyond the limit: no signal
  EXPECT_EQ(tooLong.sender->sendState(), SendState::idle);
  EXPECT_EQ(tooLong.sink->state().maxOpen, 0);
  playAudio noOutput{SoundOutput{}};
  noOutput.startConnect();
  EXPECT_EQ(noOutput.sendState(), SendState::noDevice);
}

// The sender after something happened to its queue: a device that opened late or anew, a refill
// that could queue nothing, a queue put in the running one's place. Each row starts sending on
// devices that hold after three buffers and acts once they are taken.
TEST(QueueStates, TheLevelTheRefillsAnswerAndTheQueuesLeftOpen) {
  const struct {
    const char* name;
    int refusals, lostAfter;
    // Returns the refills' answers, and 1 where the refused chunk left the read position.
    std::function<std::vector<int>(playAudio&)> act;
    std::vector<int> answers;
    std::vector<float> volumes;
    int open;  // devices open after the act
    SendState state;
  } rows[] = {
      {"a device opening after the start is given the send's level",
       1,
       -1,
       nullptr,
       {},
       {0.65f, 0.65f},
       1,
       SendState::sending},
      {"a device opening after one went away is given the send's level again",
       0,
       1,
       nullptr,
       {},
       {0.65f, 0.65f},
       1,
       SendState::sending},
      {"a refill whose buffer is already queued says that it queued nothing and keeps the chunk",
       0,
       -1,
       [](playAudio& sender) {
         AudioQueueBufferRef buffer = nullptr;
         AudioQueueAllocateBuffer(sender.getQueue(), gBufferSizeBytes, &buffer);
         const int first = sender.sdQueueOutputWithQueue(sender.getQueue(), buffer);
         const UInt32 position = sender.readPosition();
         const int second = sender.sdQueueOutputWithQueue(sender.getQueue(), buffer);
         return std::vector{first, second, sender.readPosition() == position ? 1 : 0};
       },
       {0, 1, 1},
       {0.65f},
       1,
       SendState::sending},
      {"a queue put in a running one's place stops and disposes of the old one",
       0,
       -1,
       [](playAudio& sender) {
         AudioQueueRef other = nullptr;
         AudioQueueNewOutput(&sender.streamFormat(), sdCallback, &sender, nullptr, nullptr, 0,
                             &other, [](const auto&) { return std::unique_ptr<AudioDevice>(); });
         sender.setQueue(other);  // the sender disposes of it at its teardown
         return std::vector<int>();
       },
       {},
       {0.65f},
       0,
       SendState::idle},
  };
  for (const auto& row : rows) {
    Sending s({.capacity = 3}, row.refusals, row.lostAfter);
    s.start(u"ab", u"cd");
    ASSERT_TRUE(s.sink->waitForBuffers(3)) << row.name;
    EXPECT_EQ(row.act ? row.act(*s.sender) : std::vector<int>(), row.answers) << row.name;
    EXPECT_EQ(s.sink->state().volumes, row.volumes) << row.name;
    EXPECT_EQ(s.sink->state().open, row.open) << row.name;
    EXPECT_EQ(s.sender->sendState(), row.state) << row.name;
  }
}

// Starts, stops and teardowns from this thread while the queue's thread refills as fast as it
// can: one queue at a time, and none left after a teardown while sending.
TEST(Lifetime, ThousandStartStopCyclesAndTeardownsWhileSending) {
  auto sink = std::make_shared<Sink>(SinkOptions{.keepBytes = false});
  auto sender = std::make_unique<playAudio>(sink->output());
  for (int cycle = 1; cycle <= 1000; ++cycle) {
    sender->startConnect();
    if (cycle % 10 == 0) sender->startConnect();  // a start while sending
    sender->stopConnect();
    if (cycle % 5 == 0) {
      sender->startConnect();
      sender = std::make_unique<playAudio>(sink->output());
      ASSERT_EQ(sink->state().open, 0) << "teardown must dispose of the queue";
    }
  }
  EXPECT_EQ(sink->state().maxOpen, 1);
}

}  // namespace
}  // namespace sonicsend::testing
