#include "playAudio.h"

#include <cstdio>
#include <string_view>

using sonicsend::Layout;
using sonicsend::MessageBuffer;

const UInt32 gBufferSizeBytes = 65536;

namespace {

std::u16string_view text(const SharedText& shared) {
  return shared ? std::u16string_view(*shared) : std::u16string_view();
}

// Over-limit credentials would not fit the message buffer; such a start plays nothing.
void logRefused(Layout layout, std::size_t units) {
  const int limit = layout == Layout::framed ? sonicsend::kMaxFramedCredentialUnits
                                             : sonicsend::kMaxBareCredentialUnits;
  std::fprintf(stderr, "playAudio: SSID and key are %zu UTF-16 code units together, at most %d fit; nothing is sent\n",
               units, limit);
}

}  // namespace

playAudio::playAudio() = default;

playAudio::~playAudio() = default;

std::unique_ptr<playAudio> playAudio::initWithSendSsid(SharedText ssid, SharedText key) {
  auto sender = std::make_unique<playAudio>();
  sender->writeStreamFormat();
  sender->buildSignal(Layout::bare, ssid, key);
  sender->renderStage();
  sender->dataPos = 0;
  return sender;
}

void playAudio::setSsid(SharedText ssid, SharedText key) {
  ssid_in = std::move(ssid);
  key_in = std::move(key);
}

void playAudio::startConnect() {
  bStop = 0;
  writeStreamFormat();
  buildSignal(Layout::framed, ssid_in, key_in);
  renderStage();
  dataPos = 0;
}

void playAudio::stopConnect() { bStop = 1; }

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
  sonicsend::render(samples, std::span<std::uint8_t>(fileData, samples.size() * sonicsend::kPcmBytesPerFrame));
  dataLen = static_cast<UInt32>(samples.size() * sonicsend::kPcmBytesPerFrame);
}
