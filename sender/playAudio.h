// The sender: hands an SSID and a key to a listening device as a looped multi-tone signal.
//
// The class keeps the fields and operations its callers know, in their order: a few of them
// (audioFile, bufferByteSize, inbuf, wavFile, packetDescs) have no use in a sender that plays
// from memory and stay null or zero.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "encoder.h"
#include "logSink.h"
#include "platform/CoreAudioTypes.h"
#include "platform/SoundOutput.h"

// A string shared with the caller; null reads as the empty string.
using SharedText = std::shared_ptr<const std::u16string>;

namespace sonicsend {

// How a sender's last start went.
enum class SendState {
  idle,              // not started, stopped, or nothing to send
  sending,           // the queue plays on an open device
  waitingForDevice,  // the queue runs but has no device; it tries to open one every second and
                     // plays from the start of the pass when one opens
  noDevice,          // the output queue could not be set up; nothing is sent until the next start
};

}  // namespace sonicsend

class playAudio {
 public:
  using UInt32 = sonicsend::platform::UInt32;
  using SInt64 = sonicsend::platform::SInt64;
  using AudioQueueRef = sonicsend::platform::AudioQueueRef;
  using AudioQueueBufferRef = sonicsend::platform::AudioQueueBufferRef;
  using AudioStreamBasicDescription = sonicsend::platform::AudioStreamBasicDescription;

  // PCM frames per queued chunk, and the buffers a queue keeps in circulation.
  static constexpr UInt32 kFramesPerChunk = 8192;
  static constexpr int kBufferCount = 3;

  // init: a new, idle sender that will play through the machine's sound output; no audio resource
  // is created yet.
  playAudio();
  // A new, idle sender that plays through `output` (tests: an in-process sink).
  explicit playAudio(sonicsend::SoundOutput output);
  // Stops and disposes of the queue first, so that no callback can reach a freed sender.
  ~playAudio();
  playAudio(const playAudio&) = delete;
  playAudio& operator=(const playAudio&) = delete;

  // A new sender that is already sending the bare message (SSID, 0x0D, key).
  static std::unique_ptr<playAudio> initWithSendSsid(SharedText ssid, SharedText key);
  static std::unique_ptr<playAudio> initWithSendSsid(SharedText ssid, SharedText key,
                                                     sonicsend::SoundOutput output);

  // Keeps the credentials for the next startConnect.
  void setSsid(SharedText ssid, SharedText key);
  // Builds the framed message from the kept credentials and sends it in a loop through a new
  // output queue. A queue still running is stopped first; the previous queue is disposed of.
  // sendState() says how the start went.
  void startConnect();
  // Stops sending at once: when it returns, no buffer is refilled any more.
  void stopConnect();

  sonicsend::SendState sendState() const { return state_.load(); }
  // Called with each new state: on the caller's thread from startConnect and stopConnect, on the
  // queue's thread when a device opens or goes away. Set it while no queue runs (a sender made
  // by initWithSendSsid is running already: read sendState() instead).
  void setStateHandler(std::function<void(sonicsend::SendState)> handler) {
    stateHandler_ = std::move(handler);
  }

  // Refill step, called through sdCallback when the queue has played `audioQueueBuffer`:
  // queues the next chunk of the pass, wrapping to its start. 0: queued; 1: nothing queued
  // (stopped, or the queue refused the chunk, which stays the next one).
  int sdQueueOutputWithQueue(AudioQueueRef audioQueue, AudioQueueBufferRef audioQueueBuffer);
  // Primes `buffer` with the next chunk on `queue`. 0: queued; 1: nothing queued.
  int readPacketsFromSD(AudioQueueBufferRef buffer);

  // The property `queue` (atomic). The sender owns the queue it holds: it disposes of it at its
  // next start and at teardown. The setter stops and disposes of the queue it replaces, whose
  // callbacks would otherwise go on reaching this sender (or a freed one), and leaves the
  // sender idle. Not to be called from a callback of the queue it replaces.
  AudioQueueRef getQueue() const { return queue.load(); }
  void setQueue(AudioQueueRef newQueue);

  // Synthesises `key` (the whole message) into signal_real and sets sampleLen.
  void signal_gen_withkey(const sonicsend::MessageBuffer& key);
  // Builds message frame `frame_pos` of `key` into `kout`.
  void getAframe(const sonicsend::MessageBuffer& key, int frame_pos, sonicsend::Frame& kout) const;

  // Read-only views for tools and tests.
  int signalLength() const { return sampleLen; }
  UInt32 pcmLength() const { return dataLen; }
  const unsigned char* pcm() const { return fileData; }
  UInt32 readPosition() const { return dataPos.load(std::memory_order_relaxed); }
  // PCM frames queued since the start, 8192 per chunk (a short chunk counts whole).
  SInt64 packetsQueued() const { return packetIndex.load(std::memory_order_relaxed); }
  bool stopped() const { return bStop.load() == 1; }
  const AudioStreamBasicDescription& streamFormat() const { return dataFormat; }

 private:
  void writeStreamFormat();
  void buildSignal(sonicsend::Layout layout, const SharedText& ssid, const SharedText& key);
  void renderStage();
  void setOutputVolume(float volume);
  void applyOutputVolume() const;
  void startQueue();
  sonicsend::platform::OSStatus primeBuffers();
  void disposeQueue();
  sonicsend::platform::OSStatus fillChunk(AudioQueueRef target, AudioQueueBufferRef buffer);
  void setState(sonicsend::SendState state);
  static void deviceChanged(void* inUserData, AudioQueueRef inAQ, UInt32 inID);

  using AudioFileID = sonicsend::platform::AudioFileID;
  using AudioStreamPacketDescription = sonicsend::platform::AudioStreamPacketDescription;

  AudioFileID audioFile = nullptr;
  AudioStreamBasicDescription dataFormat{};    // PCM format given to the queue
  std::atomic<AudioQueueRef> queue = nullptr;  // queue of the current or last start
  std::atomic<SInt64> packetIndex = 0;         // advanced per queued chunk
  UInt32 numPacketsToRead = 0;                 // PCM frames per chunk: 8192
  UInt32 bufferByteSize = 0;
  std::uint8_t* inbuf = nullptr;
  AudioStreamPacketDescription* packetDescs = nullptr;  // buffers carry no packet descriptions
  AudioQueueBufferRef buffers[kBufferCount] = {};       // the buffers of `queue`
  std::FILE* wavFile = nullptr;
  std::atomic<UInt32> dataPos = 0;                     // next byte of fileData to queue
  UInt32 dataLen = 0;                                  // valid bytes of fileData
  float signal_real[sonicsend::kSignalCapacity] = {};  // the tone signal
  unsigned char fileData[sonicsend::kSignalCapacity * sonicsend::kPcmBytesPerFrame] = {};
  int sampleLen = 0;           // valid entries of signal_real
  SharedText ssid_in;          // SSID for the next start
  SharedText key_in;           // key for the next start
  std::atomic<int> bStop = 0;  // 1 after stopConnect: no more refills

  sonicsend::SoundOutput output_;      // the device queues play on, and the output level
  std::atomic<float> sendVolume_ = 0;  // the output level of the last start; read by the
                                       // queue's thread when a device opens
  std::atomic<sonicsend::SendState> state_ = sonicsend::SendState::idle;
  std::function<void(sonicsend::SendState)> stateHandler_;
};

// Capacity in bytes of each queue buffer; twice the largest chunk, shared by all senders.
extern const playAudio::UInt32 gBufferSizeBytes;

// The queue's output callback: refills `buffer` from the sender given as user data.
void sdCallback(void* inUserData, playAudio::AudioQueueRef inAQ,
                playAudio::AudioQueueBufferRef buffer);
