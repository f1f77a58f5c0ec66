#include "AudioQueue.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace sonicsend::platform {
namespace {

constexpr auto kDeviceRetryInterval = std::chrono::seconds(1);

// One buffer and the bytes behind it; the queue owns it until disposal.
struct BufferSlot {
  explicit BufferSlot(UInt32 capacity)
      : bytes(std::make_unique<std::uint8_t[]>(capacity)),
        buffer{capacity, bytes.get(), 0, nullptr} {}
  std::unique_ptr<std::uint8_t[]> bytes;
  AudioQueueBuffer buffer;
  bool queued = false;  // guarded by the queue's mutex
};

// Scales 16-bit little-endian samples by `gain` into `out`.
void applyGain(std::span<const std::uint8_t> in, float gain, std::vector<std::uint8_t>& out) {
  out.resize(in.size());
  for (std::size_t i = 0; i + 1 < in.size(); i += 2) {
    const auto raw = static_cast<std::uint16_t>(in[i] | in[i + 1] << 8);
    const float scaled = static_cast<float>(static_cast<std::int16_t>(raw)) * gain;
    const auto sample = static_cast<std::int16_t>(std::clamp(scaled, -32768.0f, 32767.0f));
    const auto bits = static_cast<std::uint16_t>(sample);
    out[i] = static_cast<std::uint8_t>(bits & 0xFF);
    out[i + 1] = static_cast<std::uint8_t>(bits >> 8);
  }
}

}  // namespace

struct OpaqueAudioQueue {
  OpaqueAudioQueue(const AudioStreamBasicDescription& streamFormat,
                   AudioQueueOutputCallback outputCallback, void* callbackData,
                   AudioDeviceFactory deviceFactory)
      : format(streamFormat),
        callback(outputCallback),
        userData(callbackData),
        openDevice(std::move(deviceFactory)),
        device(openDevice(format)),
        deviceIsOpen(device != nullptr) {}

  ~OpaqueAudioQueue() { stop(); }

  BufferSlot* slotOf(AudioQueueBufferRef buffer) {
    for (auto& slot : slots) {
      if (&slot->buffer == buffer) return slot.get();
    }
    return nullptr;
  }

  bool onOwnThread() const { return playerId.load() == std::this_thread::get_id(); }

  void start() {
    if (player.joinable()) {
      if (!stopRequest.stop_requested()) return;  // already playing
      player.join();  // stopped from its own callback; that thread has finished or will
    }
    stopRequest = std::stop_source();
    player = std::thread([this, stop = stopRequest.get_token()] { play(stop); });
  }

  void stop() {
    if (!player.joinable()) return;
    stopRequest.request_stop();
    if (onOwnThread()) return;  // the loop ends when the running callback returns
    player.join();
    std::scoped_lock lock(mutex);
    for (BufferSlot* slot : pending) slot->queued = false;
    pending.clear();
  }

  // The queue's thread: hands each queued buffer to the device, then back to its owner.
  void play(std::stop_token stop) {
    playerId.store(std::this_thread::get_id());
    while (BufferSlot* slot = nextBuffer(stop)) {
      auto bytes =
          std::span<const std::uint8_t>(slot->bytes.get(), slot->buffer.mAudioDataByteSize);
      const float level = gain.load(std::memory_order_relaxed);
      if (level != 1.0f) {
        applyGain(bytes, level, scaled);
        bytes = scaled;
      }
      playWhole(bytes, stop);
      if (stop.stop_requested()) break;
      callback(userData, this, &slot->buffer);
    }
    if (device) device->drop();
    playerId.store(std::thread::id());
  }

  // Plays all of `bytes`, on whichever device is open or opens next, unless stopped first.
  void playWhole(std::span<const std::uint8_t> bytes, std::stop_token stop) {
    while (!bytes.empty() && !stop.stop_requested()) {
      if (!device && !awaitDevice(stop)) return;
      bytes = bytes.subspan(device->play(bytes, stop));
      if (!bytes.empty() && !stop.stop_requested()) {
        device.reset();
        deviceChanged(false);
      }
    }
  }

  // Tries to open a device about once a second until one opens (true) or the queue stops.
  bool awaitDevice(std::stop_token stop) {
    std::mutex waitMutex;
    std::condition_variable_any retry;
    std::unique_lock lock(waitMutex);
    while (!retry.wait_for(lock, stop, kDeviceRetryInterval, [] { return false; }) &&
           !stop.stop_requested()) {
      if ((device = openDevice(format))) {
        deviceChanged(true);
        return true;
      }
    }
    return false;
  }

  void deviceChanged(bool open) {
    deviceIsOpen.store(open);
    if (listener) listener(listenerData, this, kAudioQueueProperty_DeviceIsOpen);
  }

  BufferSlot* nextBuffer(std::stop_token stop) {
    std::unique_lock lock(mutex);
    if (!wake.wait(lock, stop, [this] { return !pending.empty(); })) return nullptr;
    BufferSlot* slot = pending.front();
    pending.pop_front();
    slot->queued = false;
    return slot;
  }

  const AudioStreamBasicDescription format;
  const AudioQueueOutputCallback callback;
  void* const userData;
  const AudioDeviceFactory openDevice;
  std::unique_ptr<AudioDevice> device;  // the queue's thread only, once started
  std::atomic<bool> deviceIsOpen;
  AudioQueuePropertyListenerProc listener = nullptr;  // set before the start
  void* listenerData = nullptr;
  std::atomic<float> gain = 1.0f;

  std::mutex mutex;
  std::condition_variable_any wake;
  std::vector<std::unique_ptr<BufferSlot>> slots;  // guarded by mutex
  std::deque<BufferSlot*> pending;                 // guarded by mutex

  std::vector<std::uint8_t> scaled;  // the queue's thread only
  std::stop_source stopRequest;      // written before the player starts; then shared with it
  std::thread player;                // the caller's thread only
  std::atomic<std::thread::id> playerId;
};

OSStatus AudioQueueNewOutput(const AudioStreamBasicDescription* inFormat,
                             AudioQueueOutputCallback inCallbackProc, void* inUserData,
                             CFRunLoopRef inCallbackRunLoop, CFStringRef inCallbackRunLoopMode,
                             UInt32 inFlags, AudioQueueRef* outAQ,
                             const AudioDeviceFactory& inDevice) {
  if (outAQ == nullptr) return kAudioQueueErr_InvalidParameter;
  *outAQ = nullptr;
  if (inFormat == nullptr || inCallbackProc == nullptr || inCallbackRunLoop != nullptr ||
      inCallbackRunLoopMode != nullptr || inFlags != 0 || !inDevice) {
    return kAudioQueueErr_InvalidParameter;
  }
  *outAQ = new OpaqueAudioQueue(*inFormat, inCallbackProc, inUserData, inDevice);
  return noErr;
}

OSStatus AudioQueueAllocateBuffer(AudioQueueRef inAQ, UInt32 inBufferByteSize,
                                  AudioQueueBufferRef* outBuffer) {
  if (outBuffer == nullptr) return kAudioQueueErr_InvalidParameter;
  *outBuffer = nullptr;
  if (inAQ == nullptr || inBufferByteSize == 0) return kAudioQueueErr_InvalidParameter;
  std::scoped_lock lock(inAQ->mutex);
  inAQ->slots.push_back(std::make_unique<BufferSlot>(inBufferByteSize));
  *outBuffer = &inAQ->slots.back()->buffer;
  return noErr;
}

OSStatus AudioQueueEnqueueBuffer(AudioQueueRef inAQ, AudioQueueBufferRef inBuffer,
                                 UInt32 /*inNumPacketDescs*/,
                                 const AudioStreamPacketDescription* /*inPacketDescs*/) {
  if (inAQ == nullptr) return kAudioQueueErr_InvalidParameter;
  std::scoped_lock lock(inAQ->mutex);
  BufferSlot* slot = inAQ->slotOf(inBuffer);
  if (slot == nullptr) return kAudioQueueErr_InvalidBuffer;
  if (slot->queued) return kAudioQueueErr_BufferInQueue;
  const UInt32 size = inBuffer->mAudioDataByteSize;
  // An empty buffer would come straight back and spin the queue's thread.
  if (size == 0) return kAudioQueueErr_BufferEmpty;
  const UInt32 frameBytes = inAQ->format.mBytesPerFrame;
  if (size > inBuffer->mAudioDataBytesCapacity || (frameBytes != 0 && size % frameBytes != 0)) {
    return kAudioQueueErr_InvalidParameter;
  }
  slot->queued = true;
  inAQ->pending.push_back(slot);
  inAQ->wake.notify_one();
  return noErr;
}

OSStatus AudioQueueSetParameter(AudioQueueRef inAQ, AudioQueueParameterID inParamID,
                                AudioQueueParameterValue inValue) {
  if (inAQ == nullptr || inParamID != kAudioQueueParam_Volume || !(inValue >= 0.0f) ||
      inValue > 1.0f) {
    return kAudioQueueErr_InvalidParameter;
  }
  inAQ->gain.store(inValue, std::memory_order_relaxed);
  return noErr;
}

OSStatus AudioQueueGetProperty(AudioQueueRef inAQ, AudioQueuePropertyID inID, void* outData,
                               UInt32* ioDataSize) {
  if (inAQ == nullptr || outData == nullptr || ioDataSize == nullptr) {
    return kAudioQueueErr_InvalidParameter;
  }
  if (inID != kAudioQueueProperty_DeviceIsOpen) return kAudioQueueErr_InvalidProperty;
  if (*ioDataSize < sizeof(UInt32)) return kAudioQueueErr_InvalidPropertySize;
  const UInt32 open = inAQ->deviceIsOpen.load() ? 1 : 0;
  std::memcpy(outData, &open, sizeof open);
  *ioDataSize = sizeof open;
  return noErr;
}

OSStatus AudioQueueAddPropertyListener(AudioQueueRef inAQ, AudioQueuePropertyID inID,
                                       AudioQueuePropertyListenerProc inProc, void* inUserData) {
  if (inAQ == nullptr || inProc == nullptr) return kAudioQueueErr_InvalidParameter;
  if (inID != kAudioQueueProperty_DeviceIsOpen) return kAudioQueueErr_InvalidProperty;
  inAQ->listener = inProc;
  inAQ->listenerData = inUserData;
  return noErr;
}

OSStatus AudioQueueStart(AudioQueueRef inAQ, const AudioTimeStamp* inStartTime) {
  if (inAQ == nullptr || inStartTime != nullptr) return kAudioQueueErr_InvalidParameter;
  if (inAQ->onOwnThread()) return kAudioQueueErr_InvalidRunState;
  inAQ->start();
  return noErr;
}

OSStatus AudioQueueStop(AudioQueueRef inAQ, Boolean /*inImmediate*/) {
  if (inAQ == nullptr) return kAudioQueueErr_InvalidParameter;
  inAQ->stop();
  return noErr;
}

OSStatus AudioQueueDispose(AudioQueueRef inAQ, Boolean /*inImmediate*/) {
  if (inAQ == nullptr) return kAudioQueueErr_InvalidParameter;
  if (inAQ->onOwnThread()) return kAudioQueueErr_InvalidRunState;
  delete inAQ;
  return noErr;
}

}  // namespace sonicsend::platform
