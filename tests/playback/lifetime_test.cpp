// Start, stop and teardown from the caller's thread while the queue's thread refills: nothing
// leaks, nothing races, no callback reaches a sender that is gone.
#include <gtest/gtest.h>

#include <memory>

#include "Sink.h"
#include "playAudio.h"

namespace sonicsend::testing {
namespace {

SharedText shared(std::u16string text) {
  return std::make_shared<const std::u16string>(std::move(text));
}

TEST(Lifetime, ThousandStartStopCyclesLeaveOneQueueAtATime) {
  auto sink = std::make_shared<Sink>(SinkOptions{.keepBytes = false});
  {
    playAudio sender(sink->output());
    sender.setSsid(shared(u"ab"), shared(u"cd"));
    for (int cycle = 0; cycle < 1000; ++cycle) {
      sender.startConnect();
      if (cycle % 10 == 0) sender.startConnect();  // a start while sending, now and then
      sender.stopConnect();
      ASSERT_TRUE(sender.stopped());
    }
    EXPECT_EQ(sink->devices().opened, 1100);
    EXPECT_EQ(sink->devices().maxOpen, 1);
  }
  EXPECT_EQ(sink->devices().open, 0) << "teardown must dispose of the last queue";
}

TEST(Lifetime, SenderDestroyedWhileSendingStopsItsQueueFirst) {
  auto sink = std::make_shared<Sink>(SinkOptions{.keepBytes = false});
  for (int round = 0; round < 200; ++round) {
    const std::size_t before = sink->bufferCount();
    auto sender = playAudio::initWithSendSsid(shared(u"ab"), shared(u"cd"), sink->output());
    ASSERT_TRUE(sink->waitForBuffers(before + 4));
    sender.reset();  // the queue's thread is refilling as fast as it can
    EXPECT_EQ(sink->devices().open, 0);
  }
}

}  // namespace
}  // namespace sonicsend::testing
