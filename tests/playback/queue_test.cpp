// The output queue on its own: order, hand-back, gain, refusals and the stop guarantee.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

#include "Sink.h"
#include "platform/AudioQueue.h"

namespace sonicsend::testing {
namespace {

const AudioStreamBasicDescription kFormat{44100.0, kAudioFormatLinearPCM, 12, 4, 1, 4, 2, 16, 0};

// Counts hand-backs and queues each buffer again with its first byte raised by one.
struct Requeue {
  std::atomic<int> calls = 0;
  std::atomic<std::thread::id> thread;
  static void callback(void* user, AudioQueueRef queue, AudioQueueBufferRef buffer) {
    auto* self = static_cast<Requeue*>(user);
    self->thread = std::this_thread::get_id();
    ++self->calls;
    ++*static_cast<std::uint8_t*>(buffer->mAudioData);
    AudioQueueEnqueueBuffer(queue, buffer, 0, nullptr);
  }
};

struct QueueOnSink {
  explicit QueueOnSink(SinkOptions options = {}) : sink(std::make_shared<Sink>(options)) {
    EXPECT_EQ(AudioQueueNewOutput(&kFormat, Requeue::callback, &requeue, nullptr, nullptr, 0,
                                  &queue, sink->output().openDevice),
              noErr);
  }
  ~QueueOnSink() { AudioQueueDispose(queue, true); }
  AudioQueueBufferRef buffer(std::uint8_t first, UInt32 size) {
    AudioQueueBufferRef b = nullptr;
    EXPECT_EQ(AudioQueueAllocateBuffer(queue, 64, &b), noErr);
    std::fill_n(static_cast<std::uint8_t*>(b->mAudioData), size, first);
    b->mAudioDataByteSize = size;
    return b;
  }
  Requeue requeue;
  std::shared_ptr<Sink> sink;
  AudioQueueRef queue = nullptr;
};

TEST(Queue, PlaysBuffersInOrderAndHandsThemBackOnItsOwnThread) {
  QueueOnSink q({.capacity = 6});
  for (int first : {10, 20, 30}) {
    ASSERT_EQ(
        AudioQueueEnqueueBuffer(q.queue, q.buffer(static_cast<std::uint8_t>(first), 8), 0, nullptr),
        noErr);
  }
  ASSERT_EQ(AudioQueueStart(q.queue, nullptr), noErr);
  ASSERT_TRUE(q.sink->waitForBuffers(6));
  ASSERT_EQ(AudioQueueStop(q.queue, true), noErr);
  std::vector<std::uint8_t> firsts;
  for (const Bytes& played : q.sink->buffers()) firsts.push_back(played[0]);
  EXPECT_EQ(firsts, (std::vector<std::uint8_t>{10, 20, 30, 11, 21, 31}));
  EXPECT_NE(q.requeue.thread.load(), std::this_thread::get_id());
}

TEST(Queue, StopReturnsOnlyWhenNoCallbackCanFollow) {
  for (int round = 0; round < 50; ++round) {
    QueueOnSink q;  // unpaced: the callback runs back to back
    ASSERT_EQ(AudioQueueEnqueueBuffer(q.queue, q.buffer(0, 4), 0, nullptr), noErr);
    ASSERT_EQ(AudioQueueStart(q.queue, nullptr), noErr);
    ASSERT_TRUE(q.sink->waitForBuffers(3));
    ASSERT_EQ(AudioQueueStop(q.queue, true), noErr);
    const int calls = q.requeue.calls;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(q.requeue.calls, calls);
  }
}

TEST(Queue, GainScalesTheSamples) {
  QueueOnSink q({.capacity = 2});
  AudioQueueBufferRef b = q.buffer(0, 8);
  const std::int16_t samples[4] = {10000, -10000, 32767, -32768};
  std::memcpy(b->mAudioData, samples, sizeof samples);
  ASSERT_EQ(AudioQueueSetParameter(q.queue, kAudioQueueParam_Volume, 0.5f), noErr);
  EXPECT_EQ(AudioQueueSetParameter(q.queue, kAudioQueueParam_Volume, 1.5f),
            kAudioQueueErr_InvalidParameter);
  ASSERT_EQ(AudioQueueEnqueueBuffer(q.queue, b, 0, nullptr), noErr);
  ASSERT_EQ(AudioQueueStart(q.queue, nullptr), noErr);
  ASSERT_TRUE(q.sink->waitForBuffers(1));
  ASSERT_EQ(AudioQueueStop(q.queue, true), noErr);

  std::int16_t played[4];
  std::memcpy(played, q.sink->buffers()[0].data(), sizeof played);
  EXPECT_EQ(std::vector<std::int16_t>(played, played + 4),
            (std::vector<std::int16_t>{5000, -5000, 16383, -16384}));
}

TEST(Queue, RefusesBuffersItCannotPlay) {
  QueueOnSink q;
  QueueOnSink other;
  EXPECT_EQ(AudioQueueEnqueueBuffer(q.queue, other.buffer(0, 4), 0, nullptr),
            kAudioQueueErr_InvalidBuffer);
  EXPECT_EQ(AudioQueueEnqueueBuffer(q.queue, q.buffer(0, 0), 0, nullptr),
            kAudioQueueErr_BufferEmpty);
  EXPECT_EQ(AudioQueueEnqueueBuffer(q.queue, q.buffer(0, 6), 0, nullptr),
            kAudioQueueErr_InvalidParameter);  // not whole frames
  AudioQueueBufferRef b = q.buffer(0, 4);
  b->mAudioDataByteSize = 68;
  EXPECT_EQ(AudioQueueEnqueueBuffer(q.queue, b, 0, nullptr), kAudioQueueErr_InvalidParameter);
  b->mAudioDataByteSize = 4;
  EXPECT_EQ(AudioQueueEnqueueBuffer(q.queue, b, 0, nullptr), noErr);
  EXPECT_EQ(AudioQueueEnqueueBuffer(q.queue, b, 0, nullptr), kAudioQueueErr_BufferInQueue);
}

}  // namespace
}  // namespace sonicsend::testing
