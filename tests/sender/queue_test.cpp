// The output queue on its own: order, hand-back, gain, refusals and the stop guarantee.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "Sink.h"
#include "platform/AudioQueue.h"
#include "tones.h"

namespace sonicsend::testing {
namespace {

using namespace sonicsend::platform;

// A queue on a sink whose callback counts hand-backs and queues each buffer again with its
// first byte raised by one.
struct QueueOnSink {
  explicit QueueOnSink(SinkOptions options = {}) : sink(std::make_shared<Sink>(options)) {
    const AudioStreamBasicDescription format{
        kSampleRate, kAudioFormatLinearPCM, 12, 4, 1, 4, 2, 16, 0};
    EXPECT_EQ(AudioQueueNewOutput(&format, callback, this, nullptr, nullptr, 0, &queue,
                                  sink->output().openDevice),
              noErr);
  }
  ~QueueOnSink() { AudioQueueDispose(queue, true); }
  static void callback(void* user, AudioQueueRef queue, AudioQueueBufferRef buffer) {
    auto* self = static_cast<QueueOnSink*>(user);
    self->thread = std::this_thread::get_id();
    ++self->calls;
    ++*static_cast<std::uint8_t*>(buffer->mAudioData);
    AudioQueueEnqueueBuffer(queue, buffer, 0, nullptr);
  }
  // A buffer of 64 bytes, the first `size` of them `first`.
  AudioQueueBufferRef buffer(std::uint8_t first, UInt32 size) {
    AudioQueueBufferRef b = nullptr;
    EXPECT_EQ(AudioQueueAllocateBuffer(queue, 64, &b), noErr);
    std::fill_n(static_cast<std::uint8_t*>(b->mAudioData), size, first);
    b->mAudioDataByteSize = size;
    return b;
  }
  OSStatus enqueue(AudioQueueBufferRef b) { return AudioQueueEnqueueBuffer(queue, b, 0, nullptr); }
  // Starts, waits for `count` buffers to be played and stops.
  void play(std::size_t count) {
    ASSERT_EQ(AudioQueueStart(queue, nullptr), noErr);
    ASSERT_TRUE(sink->waitForBuffers(count));
    ASSERT_EQ(AudioQueueStop(queue, true), noErr);
  }
  std::atomic<int> calls = 0;
  std::atomic<std::thread::id> thread;
  std::shared_ptr<Sink> sink;
  AudioQueueRef queue = nullptr;
};

TEST(Queue, PlaysInOrderHandsBackOnItsOwnThreadAndNoCallbackFollowsAStop) {
  for (int round = 0; round < 50; ++round) {
    QueueOnSink q;  // unpaced: the callback runs back to back
    for (int first : {10, 20, 30}) ASSERT_EQ(q.enqueue(q.buffer(std::uint8_t(first), 8)), noErr);
    q.play(6);
    const int calls = q.calls;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(q.calls, calls);

    const Bytes played = q.sink->state().stream;
    std::vector<int> firsts;
    for (std::size_t i = 0; i < 6; ++i) firsts.push_back(played[8 * i]);
    ASSERT_EQ(firsts, (std::vector{10, 20, 30, 11, 21, 31}));
    ASSERT_NE(q.thread.load(), std::this_thread::get_id());
  }
}

TEST(Queue, GainScalesTheSamplesAndIsAtMostOne) {
  QueueOnSink q({.capacity = 1});
  const std::int16_t samples[4] = {10000, -10000, 32767, -32768};
  AudioQueueBufferRef b = q.buffer(0, 8);
  std::memcpy(b->mAudioData, samples, sizeof samples);
  ASSERT_EQ(q.enqueue(b), noErr);
  ASSERT_EQ(AudioQueueSetParameter(q.queue, kAudioQueueParam_Volume, 0.5f), noErr);
  EXPECT_EQ(AudioQueueSetParameter(q.queue, kAudioQueueParam_Volume, 1.5f),
            kAudioQueueErr_InvalidParameter);
  q.play(1);
  std::int16_t played[4];
  std::memcpy(played, q.sink->state().stream.data(), sizeof played);
  EXPECT_EQ(std::vector(played, played + 4),
            (std::vector<std::int16_t>{5000, -5000, 16383, -16384}));
}

TEST(Queue, RefusesBuffersItCannotPlay) {
  QueueOnSink q, other;
  EXPECT_EQ(q.enqueue(other.buffer(0, 4)), kAudioQueueErr_InvalidBuffer);
  EXPECT_EQ(q.enqueue(q.buffer(0, 0)), kAudioQueueErr_BufferEmpty);
  EXPECT_EQ(q.enqueue(q.buffer(0, 6)), kAudioQueueErr_InvalidParameter);  // not whole frames
  AudioQueueBufferRef b = q.buffer(0, 4);
  b->mAudioDataByteSize = 68;  // more than it holds
  EXPECT_EQ(q.enqueue(b), kAudioQueueErr_InvalidParameter);
  b->mAudioDataByteSize = 4;
  EXPECT_EQ(q.enqueue(b), noErr);
  EXPECT_EQ(q.enqueue(b), kAudioQueueErr_BufferInQueue);
}

}  // namespace
}  // namespace sonicsend::testing
