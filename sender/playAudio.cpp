#include "playAudio.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/AudioQueue.h"

using sonicsend::Layout;
using sonicsend::LogLevel;
using sonicsend::MessageBuffer;
using sonicsend::SendState;
using namespace sonicsend::platform;

const UInt32 gBufferSizeBytes = 65536;

namespace {

constexpr auto kBytesPerFrame = static_cast<UInt32>(sonicsend::kPcmBytesPerFrame);
constexpr float kStartVolume = 0.65f;    // startConnect
constexpr float kBareSendVolume = 0.8f;  // initWithSendSsid
constexpr AudioQueueParameterValue kQueueGain = 1.0f;

std::u16string_view text(const SharedText& shared) {
  return shared ? std::u16string_view(*shared) : std::u16string_view();
}

// Over-limit credentials would not fit the message buffer; such a start plays nothing.
void logRefused(Layout layout, std::size_t units) {
  const int limit = sonicsend::maxCredentialUnits(layout);
  sonicsend::logLine(LogLevel::error, "playAudio: SSID and key are " + std::to_string(units) +
                                          " UTF-16 code units together, at most " +
                                          std::to_string(limit) + " fit; nothing is sent");
}

// Sending while the queue has an open device, waiting for one otherwise.
SendState playingState(AudioQueueRef queue) {
  UInt32 open = 0;
  UInt32 size = sizeof open;
  AudioQueueGetProperty(queue, kAudioQueueProperty_DeviceIsOpen, &open, &size);
  return open != 0 ? SendState::sending : SendState::waitingForDevice;
}

}  // namespace

void sdCallback(void* inUserData, AudioQueueRef inAQ, AudioQueueBufferRef buffer) {
  // The queue is stopped and disposed of before its sender goes, so the sender is alive here.
  auto* sender = static_cast<playAudio*>(inUserData);
  sender->sdQueueOutputWithQueue(inAQ, buffer);
}

playAudio::playAudio() : playAudio(sonicsend::systemSoundOutput()) {}

playAudio::playAudio(sonicsend::SoundOutput soundOutput) : output_(std::move(soundOutput)) {}

playAudio::~playAudio() {
  disposeQueue();
}

std::unique_ptr<playAudio> playAudio::initWithSendSsid(SharedText ssid, SharedText key) {
  return initWithSendSsid(std::move(ssid), std::move(key), sonicsend::systemSoundOutput());
}

std::unique_ptr<playAudio> playAudio::initWithSendSsid(SharedText ssid, SharedText key,
                                                       sonicsend::SoundOutput output) {
  auto sender = std::make_unique<playAudio>(std::move(output));
  sender->writeStreamFormat();
  sender->buildSignal(Layout::bare, ssid, key);
  sender->setOutputVolume(kBareSendVolume);
  sender->renderStage();
  sender->dataPos = 0;
  sender->startQueue();
  return sender;
}

void playAudio::setSsid(SharedText ssid, SharedText key) {
  ssid_in = std::move(ssid);
  key_in = std::move(key);
}

void playAudio::startConnect() {
  // A running queue reads fileData and dataPos: stop it before they are rewritten.
  disposeQueue();
  bStop = 0;
  writeStreamFormat();
  buildSignal(Layout::framed, ssid_in, key_in);
  setOutputVolume(kStartVolume);
  renderStage();
  dataPos = 0;
  startQueue();
}

void playAudio::stopConnect() {
  // The stop returns once no callback can follow, so nothing is refilled after it.
  AudioQueueStop(queue.load(), true);
  bStop = 1;
  setState(SendState::idle);
}

void playAudio::setState(SendState state) {
  const SendState previous = state_.exchange(state);
  if (previous == state) return;
  if (state == SendState::waitingForDevice) {
    sonicsend::logLine(LogLevel::warning,
                       "playAudio: no sound output device; trying again every second");
  } else if (state == SendState::sending && previous == SendState::waitingForDevice) {
    sonicsend::logLine(LogLevel::info, "playAudio: a sound output device is open; sending");
  }
  if (stateHandler_) stateHandler_(state);
}

// The queue's property listener: its device opened or went away. A device that opens after the
// start (the sound server came up late or restarted) finds the server's own level, so the send's
// level is set again before the device plays anything.
void playAudio::deviceChanged(void* inUserData, AudioQueueRef inAQ, UInt32) {
  auto* sender = static_cast<playAudio*>(inUserData);
  const SendState state = playingState(inAQ);
  if (state == SendState::sending) sender->applyOutputVolume();
  sender->setState(state);
}

void playAudio::setOutputVolume(float volume) {
  sendVolume_ = volume;
  applyOutputVolume();
}

void playAudio::applyOutputVolume() const {
  if (output_.setVolume) output_.setVolume(sendVolume_.load());
}

void playAudio::setQueue(AudioQueueRef newQueue) {
  if (newQueue == queue.load()) return;
  disposeQueue();
  queue = newQueue;
  setState(SendState::idle);
}

// A new queue with up to three primed buffers, at full gain, started at once; the state says
// whether it plays or waits for a device. When any step fails, or there is nothing to send, no
// queue is left.
void playAudio::startQueue() {
  if (dataLen == 0) return setState(SendState::idle);
  AudioQueueRef newQueue = nullptr;
  OSStatus status = AudioQueueNewOutput(&dataFormat, sdCallback, this, nullptr, nullptr, 0,
                                        &newQueue, output_.openDevice);
  queue = newQueue;
  numPacketsToRead = kFramesPerChunk;
  packetDescs = nullptr;
  packetIndex = 0;
  if (status == noErr) status = primeBuffers();
  if (status == noErr) {
    status = AudioQueueAddPropertyListener(newQueue, kAudioQueueProperty_DeviceIsOpen,
                                           deviceChanged, this);
  }
  if (status == noErr) {
    status = AudioQueueSetParameter(newQueue, kAudioQueueParam_Volume, kQueueGain);
  }
  if (status == noErr) {
    setState(playingState(newQueue));  // before the start: from then on the queue reports changes
    status = AudioQueueStart(newQueue, nullptr);
  }
  if (status != noErr) {
    sonicsend::logLine(LogLevel::error, "playAudio: the output queue could not be set up (status " +
                                            std::to_string(status) + "); nothing is sent");
    disposeQueue();
    setState(SendState::noDevice);
  }
}

// Allocates the buffers one by one and primes each with the next chunk of the pass; priming
// ends, and no further buffer is allocated, at the first buffer that nothing was queued in. A
// queue with no primed buffer would never call back, so that start has failed.
OSStatus playAudio::primeBuffers() {
  int primed = 0;
  for (AudioQueueBufferRef& buffer : buffers) {
    const OSStatus status = AudioQueueAllocateBuffer(queue.load(), gBufferSizeBytes, &buffer);
    if (status != noErr) return status;
    if (readPacketsFromSD(buffer) != 0) break;
    ++primed;
  }
  return primed > 0 ? noErr : kAudioQueueErr_BufferEmpty;
}

// Stops the queue of the last start, if any, and frees it with its buffers and its device.
void playAudio::disposeQueue() {
  if (AudioQueueRef old = queue.exchange(nullptr)) {
    AudioQueueStop(old, true);
    AudioQueueDispose(old, true);
  }
  std::fill(std::begin(buffers), std::end(buffers), nullptr);
}

int playAudio::readPacketsFromSD(AudioQueueBufferRef buffer) {
  if (dataPos > dataLen) return 1;
  return fillChunk(queue.load(), buffer) == noErr ? 0 : 1;
}

int playAudio::sdQueueOutputWithQueue(AudioQueueRef audioQueue,
                                      AudioQueueBufferRef audioQueueBuffer) {
  if (bStop == 1) return 1;
  if (dataPos > dataLen) return 1;
  if (fillChunk(audioQueue, audioQueueBuffer) != noErr) return 1;
  if (dataPos >= dataLen) dataPos = 0;  // the next chunk starts the pass again, with no gap
  return 0;
}

// Copies the next chunk (8192 frames, or the rest of the pass) into `buffer` and queues it.
// A chunk never crosses the end of the pass. The position moves only when the chunk was
// queued, so a chunk the queue refused is the next one queued and the pass stays whole.
OSStatus playAudio::fillChunk(AudioQueueRef target, AudioQueueBufferRef buffer) {
  const UInt32 numPackets = numPacketsToRead;
  const UInt32 pos = dataPos;
  const UInt32 numBytes =
      pos + numPackets * kBytesPerFrame > dataLen ? dataLen - pos : numPackets * kBytesPerFrame;
  std::memcpy(buffer->mAudioData, fileData + pos, numBytes);
  buffer->mAudioDataByteSize = numBytes;
  const OSStatus status = AudioQueueEnqueueBuffer(target, buffer, 0, nullptr);
  if (status != noErr) return status;
  dataPos = pos + numBytes;
  packetIndex += numPackets;
  return noErr;
}

void playAudio::writeStreamFormat() {
  dataFormat = AudioStreamBasicDescription{
      .mSampleRate = sonicsend::kSampleRate,
      .mFormatID = kAudioFormatLinearPCM,
      .mFormatFlags = kLinearPCMFormatFlagIsSignedInteger | kLinearPCMFormatFlagIsPacked,
      .mBytesPerPacket = sonicsend::kPcmBytesPerFrame,
      .mFramesPerPacket = 1,
      .mBytesPerFrame = sonicsend::kPcmBytesPerFrame,
      .mChannelsPerFrame = sonicsend::kPcmChannels,
      .mBitsPerChannel = 16,
      .mReserved = 0,
  };
}

// Builds the message into a zeroed 100-byte buffer and synthesises it. Credentials beyond
// the limit leave the buffer empty, which synthesises to no signal at all.
void playAudio::buildSignal(Layout layout, const SharedText& ssid, const SharedText& key) {
  MessageBuffer sData{};
  if (auto message = sonicsend::buildMessage(layout, text(ssid), text(key))) {
    sData = *message;
  } else {
    logRefused(layout, text(ssid).size() + text(key).size());
  }
  signal_gen_withkey(sData);
}

void playAudio::signal_gen_withkey(const MessageBuffer& key) {
  sampleLen = sonicsend::synthesize(key, signal_real).value_or(0);
}

void playAudio::getAframe(const MessageBuffer& key, int frame_pos, sonicsend::Frame& kout) const {
  sonicsend::buildFrame(key, frame_pos, kout);
}

void playAudio::renderStage() {
  const auto samples = std::span<const float>(signal_real, static_cast<std::size_t>(sampleLen));
  sonicsend::render(
      samples, std::span<std::uint8_t>(fileData, samples.size() * sonicsend::kPcmBytesPerFrame));
  dataLen = static_cast<UInt32>(samples.size() * sonicsend::kPcmBytesPerFrame);
}
