// The sender's loop as a device hears it: chunks, wrap, stop and restart.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "Sink.h"
#include "playAudio.h"

namespace sonicsend::testing {
namespace {

SharedText shared(std::u16string text) {
  return std::make_shared<const std::u16string>(std::move(text));
}

Bytes framedPass(std::u16string_view ssid, std::u16string_view key) {
  return encodePass(Layout::framed, ssid, key).value().pcm;
}

std::vector<std::size_t> sizesOf(const std::vector<Bytes>& buffers) {
  std::vector<std::size_t> sizes;
  for (const Bytes& buffer : buffers) sizes.push_back(buffer.size());
  return sizes;
}

// A sender on a sink that takes `capacity` buffers and then holds.
struct Sending {
  explicit Sending(std::size_t capacity, SinkOptions options = {}) {
    options.capacity = capacity;
    sink = std::make_shared<Sink>(options);
    sender = std::make_unique<playAudio>(sink->output());
  }
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

TEST(Loop, ShortPassIsThreeFullChunksAndARestThenWrapsToByteZero) {
  Sending s(9);
  s.start(u"ab", u"cd");  // one frame: 25 600 samples, 102 400 bytes
  ASSERT_TRUE(s.sink->waitForBuffers(9));
  s.sender->stopConnect();

  const Bytes pass = framedPass(u"ab", u"cd");
  ASSERT_EQ(pass.size(), 102400u);
  EXPECT_EQ(sizesOf(s.sink->buffers()),
            (std::vector<std::size_t>{kChunk, kChunk, kChunk, 4096, kChunk, kChunk, kChunk, 4096,
                                      kChunk}));
  EXPECT_EQ(s.sink->stream(), repeated(pass, 2, kChunk));
}

TEST(Loop, PassOfWholeChunksHasNoShortChunk) {
  Sending s(27);
  s.start(kLongSsid, kLongKey);
  ASSERT_TRUE(s.sink->waitForBuffers(27));
  s.sender->stopConnect();

  const Bytes pass = framedPass(kLongSsid, kLongKey);
  ASSERT_EQ(pass.size(), 819200u);
  EXPECT_EQ(sizesOf(s.sink->buffers()), std::vector<std::size_t>(27, kChunk));
  EXPECT_EQ(s.sink->stream(), repeated(pass, 1, 2 * kChunk));
}

TEST(Stop, NothingIsRefilledAfterItAndTheReadPositionStays) {
  Sending s(SIZE_MAX, {.pace = std::chrono::milliseconds(1)});
  s.start(u"ab", u"cd");
  ASSERT_TRUE(s.sink->waitForBuffers(6));
  s.sender->stopConnect();
  EXPECT_TRUE(s.sender->stopped());
  const std::size_t played = s.sink->bufferCount();
  const UInt32 position = s.sender->readPosition();

  // A buffer that reaches the refill step after the stop is left as it is.
  AudioQueueBufferRef late = nullptr;
  ASSERT_EQ(AudioQueueAllocateBuffer(s.sender->getQueue(), gBufferSizeBytes, &late), noErr);
  EXPECT_EQ(s.sender->sdQueueOutputWithQueue(s.sender->getQueue(), late), 1);
  EXPECT_EQ(late->mAudioDataByteSize, 0u);

  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(s.sink->bufferCount(), played);
  EXPECT_EQ(s.sender->readPosition(), position);
  s.sender->stopConnect();  // a second stop changes nothing
  EXPECT_TRUE(s.sender->stopped());
  EXPECT_EQ(s.sink->bufferCount(), played);
}

TEST(Stop, OnAnIdleSenderOnlyRaisesTheFlagAndAStartFollowsNormally) {
  Sending s(4);
  s.sender->stopConnect();
  EXPECT_TRUE(s.sender->stopped());
  EXPECT_EQ(s.sender->getQueue(), nullptr);
  EXPECT_EQ(s.sink->devices().opened, 0);

  s.start(u"ab", u"cd");
  EXPECT_FALSE(s.sender->stopped());
  ASSERT_TRUE(s.sink->waitForBuffers(4));
  EXPECT_EQ(s.sink->stream(), framedPass(u"ab", u"cd"));
}

TEST(Restart, ShorterCredentialsPlayFromByteZeroAndNeverTheOldTail) {
  Sending s(5);
  s.start(kLongSsid, kLongKey);
  ASSERT_TRUE(s.sink->waitForBuffers(5));
  s.sender->stopConnect();
  s.sink->clear();

  s.start(u"ab", u"cd");
  ASSERT_TRUE(s.sink->waitForBuffers(5));
  s.sender->stopConnect();
  EXPECT_EQ(s.sink->stream(), repeated(framedPass(u"ab", u"cd"), 1, kChunk));
  EXPECT_EQ(s.sink->devices().maxOpen, 1) << "the old queue must be gone before the new one";
}

TEST(Restart, StartWhileSendingStopsTheRunningQueueFirst) {
  Sending s(3);  // both queues hold after three buffers until the sink is cleared
  s.start(kLongSsid, kLongKey);
  ASSERT_TRUE(s.sink->waitForBuffers(3));
  s.sender->setSsid(shared(u"ab"), shared(u"cd"));
  s.sender->startConnect();
  EXPECT_FALSE(s.sender->stopped());
  EXPECT_EQ(s.sink->devices().open, 1);
  s.sink->clear();
  ASSERT_TRUE(s.sink->waitForBuffers(3));
  s.sender->stopConnect();
  EXPECT_EQ(s.sink->stream(), repeated(framedPass(u"ab", u"cd"), 0, 3 * kChunk));
  EXPECT_EQ(s.sink->devices().maxOpen, 1);
}

TEST(Start, SetsTheOutputLevelOnEveryStart) {
  Sending s(1);
  s.start(u"a", u"b");
  s.sender->stopConnect();
  s.start(u"a", u"b");
  s.sender->stopConnect();
  EXPECT_EQ(s.sink->volumes(), (std::vector<float>{0.65f, 0.65f}));
}

TEST(Start, BareSenderIsSendingAtOnceAtItsOwnLevel) {
  auto sink = std::make_shared<Sink>(SinkOptions{.capacity = 4});
  auto sender = playAudio::initWithSendSsid(shared(u"HomeNet"), shared(u"pw"), sink->output());
  ASSERT_TRUE(sink->waitForBuffers(4));
  sender->stopConnect();
  EXPECT_EQ(sink->volumes(), std::vector<float>{0.8f});
  const Bytes pass = encodePass(Layout::bare, u"HomeNet", u"pw").value().pcm;
  EXPECT_EQ(sink->stream(), repeated(pass, 0, 4 * kChunk));
}

TEST(Start, NothingToPlayQueuesNothing) {
  Sending s(SIZE_MAX);
  s.start(std::u16string(94, u'x'), u"");  // beyond the limit: no signal
  EXPECT_EQ(s.sender->pcmLength(), 0u);
  s.sender->stopConnect();
  EXPECT_EQ(s.sink->bufferCount(), 0u);
}

TEST(Start, WithoutADeviceTheSendStaysSilentAndStopsNormally) {
  Sending s(SIZE_MAX, {.noDevice = true});
  s.start(u"ab", u"cd");
  EXPECT_EQ(s.sender->getQueue(), nullptr);
  EXPECT_EQ(s.sender->pcmLength(), 102400u);
  s.sender->stopConnect();
  s.start(u"ab", u"cd");
  EXPECT_TRUE(!s.sender->stopped());
}

}  // namespace
}  // namespace sonicsend::testing
